// ldt-demo: runs one test of LineDisplayTest.exe unattended and prints what the operator would
// see. Usage: ldt-demo EXE PNG — starts EXE, presses Test, prints the result box (and any
// message box), saves the dialog as PNG, presses Exit and prints the exit code.
#include "tools/driver/gui_driver.h"

#include <cstdio>
#include <string>

namespace {

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        if (c != L'\r') {
            out += c < 0x80 ? static_cast<char>(c) : '?';
        }
    }
    return out;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: ldt-demo EXE PNG\n");
        return 2;
    }
    driver::AppProcess app;
    if (!app.start(argv[1])) {
        std::fprintf(stderr, "ldt-demo: could not start the program (error %lu)\n", GetLastError());
        return 1;
    }
    HWND dialog = app.waitForDialog();
    if (dialog == nullptr) {
        std::fprintf(stderr, "ldt-demo: the dialog did not appear\n");
        return 1;
    }
    HWND test = app.control(1001);
    HWND result = app.control(1004);
    std::printf("Port box: %s\n", narrow(driver::text(app.control(1005))).c_str());
    std::printf("Pressing Test...\n");
    std::fflush(stdout);
    driver::click(test);
    // A run ends with Test enabled again; a failure shows a box first, which is read and closed.
    driver::waitUntil([&] { return !IsWindowEnabled(test); }, 2000);
    bool done = driver::waitUntil(
        [&] {
            if (HWND box = app.openMessageBox()) {
                driver::MessageBoxInfo info = driver::describeMessageBox(box);
                std::printf("Message box \"%s\": %s\n", narrow(info.caption).c_str(),
                            narrow(info.text).c_str());
                driver::dismiss(box);
                driver::waitUntil([&] { return !IsWindow(box); }, 5000);
            }
            return IsWindowEnabled(test) && !driver::text(result).empty();
        },
        30000);
    if (!done) {
        std::fprintf(stderr, "ldt-demo: the test did not finish\n");
        return 1;
    }
    std::printf("Result box:\n%s\n", narrow(driver::text(result)).c_str());
    if (driver::saveWindowPng(dialog, argv[2])) {
        std::printf("Screenshot: %s\n", narrow(argv[2]).c_str());
    } else {
        std::printf("Screenshot failed\n");
    }
    std::printf("Pressing Exit...\n");
    driver::click(app.control(1002));
    DWORD code = app.waitForExit();
    std::printf("Exit code: %ld\n", static_cast<long>(code));
    return code == 0 ? 0 : 1;
}
