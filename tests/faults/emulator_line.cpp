// Reading an emulator's log, switching its mode, and the Linux helper, from a Win32 test.
#include "tests/faults/emulator_line.h"

#include "tools/driver/gui_driver.h"

#include <windows.h>

#include <cstdlib>

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace

EmulatorLine::EmulatorLine(const std::string& name) {
    std::string dir = environment("LDT_FAULT_DIR");
    client_.attach(driver::windowsPath(dir + "/" + name + ".log"),
                   driver::windowsPath(dir + "/" + name + ".control"));
}

std::string EmulatorLine::pty() const {
    for (const LineEvent& e : events()) {
        if (e.kind == "pty") {
            return e.details;
        }
    }
    return "";
}

bool EmulatorLine::waitForEvent(const std::string& kind, unsigned timeoutMs) const {
    return driver::waitUntil(
        [&] {
            for (const LineEvent& e : events()) {
                if (e.kind == kind) {
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

std::string runLineHelper(const std::string& words, bool& ok) {
    static unsigned calls = 0;
    ok = false;
    std::string result = environment("LDT_FAULT_DIR") + "/helper-" +
                         std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++calls);
    std::string command = "/bin/sh " + environment("LDT_FAULT_HELPER") + " " + result + " " + words;
    std::wstring wide(command.begin(), command.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    // Wine starts a Linux program for a Z: path, but gives no handle to wait on: the helper
    // answers through its result file instead.
    if (!CreateProcessW(L"Z:\\bin\\sh", &wide[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return "could not start the helper";
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    std::wstring path = driver::windowsPath(result);
    std::string content;
    if (!driver::waitUntil([&] { return readShared(path, content); }, 10000)) {
        return "the helper gave no answer: " + command;
    }
    DeleteFileW(path.c_str());
    size_t rc = content.rfind("rc ");
    if (rc == std::string::npos) {
        return content;
    }
    ok = content.compare(rc, std::string::npos, "rc 0\n") == 0;
    return content.substr(0, rc);
}

std::string portHolders(const std::string& pty, bool hungUp) {
    bool ok = false;
    std::string holders = runLineHelper("holders " + pty + (hungUp ? " deleted" : ""), ok);
    return ok ? holders : "helper failed: " + holders;
}
