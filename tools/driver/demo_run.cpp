// ldt-demo: runs one test of LineDisplayTest.exe unattended and prints what the operator would
// see. Usage: ldt-demo EXE PNG — starts EXE, presses Test, prints the result box (and any
// message box), saves the dialog as PNG, presses Exit and prints the exit code.
#include "tools/driver/operator.h"

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
    driver::Operator op;
    std::string error;
    if (!op.start(argv[1], error)) {
        std::fprintf(stderr, "ldt-demo: %s\n", error.c_str());
        return 1;
    }
    std::printf("Port box: %s\n", narrow(op.text(driver::kPortBox)).c_str());
    std::printf("Pressing Test...\n");
    std::fflush(stdout);
    driver::Run run = op.runTest(30000, [](const driver::MessageBoxInfo& box) {
        std::printf("Message box \"%s\": %s\n", narrow(box.caption).c_str(),
                    narrow(box.text).c_str());
    });
    if (!run.ended) {
        std::fprintf(stderr, "ldt-demo: %s\n",
                     run.began ? "the test did not finish" : "pressing Test began no run");
        return 1;
    }
    std::printf("Result box:\n%s\n", narrow(op.result()).c_str());
    if (driver::saveWindowPng(op.dialog(), argv[2])) {
        std::printf("Screenshot: %s\n", narrow(argv[2]).c_str());
    } else {
        std::printf("Screenshot failed\n");
    }
    std::printf("Pressing Exit...\n");
    DWORD code = op.exit();
    std::printf("Exit code: %ld\n", static_cast<long>(code));
    return code == 0 ? 0 : 1;
}
