// ldt-demo: configures the OPOS line display's port and, given the exe, runs one test of
// LineDisplayTest.exe unattended and prints what the operator would see. Usage:
// ldt-demo PORT [EXE BMP] — with EXE and BMP it starts EXE, presses Test, prints the result box
// (and any message box), saves the dialog as BMP, presses Exit and prints the exit code.
#include "tools/driver/operator.h"

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: ldt-demo PORT [EXE BMP]\n");
        return 2;
    }
    if (!driver::setConfiguredPort(argv[1])) {
        std::fprintf(stderr, "ldt-demo: writing the OPOS port into the registry failed\n");
        return 1;
    }
    std::printf("OPOS line display configured on %s\n", narrow(argv[1]).c_str());
    if (argc == 2) {
        return 0;
    }
    driver::Operator op;
    std::string error;
    if (!op.start(argv[2], error)) {
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
    // Its line breaks spelled out, \r\n: demo.sh breaks the lines again.
    std::printf("Result box:\n%s\n", narrow(op.result()).c_str());
    if (driver::saveWindowBitmap(op.dialog(), argv[3])) {
        std::printf("Screenshot: %s\n", narrow(argv[3]).c_str());
    } else {
        std::printf("Screenshot failed\n");
    }
    std::printf("Pressing Exit...\n");
    DWORD code = op.exit();
    std::printf("Exit code: %ld\n", static_cast<long>(code));
    return code == 0 ? 0 : 1;
}
