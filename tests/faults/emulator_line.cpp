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

bool readWhole(const std::wstring& path, std::string& content) {
    // Shared every way: the emulator keeps appending, and truncates the log on a new mode.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    content.clear();
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0) {
        content.append(buffer, n);
    }
    CloseHandle(file);
    return true;
}

bool writeWhole(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD n = 0;
    BOOL ok = WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &n, nullptr);
    CloseHandle(file);
    return ok && n == content.size();
}

} // namespace

unsigned EmulatorLine::generation_ = 0;

EmulatorLine::EmulatorLine(const std::string& name) {
    std::string dir = environment("LDT_FAULT_DIR");
    log_ = driver::windowsPath(dir + "/" + name + ".log");
    control_ = driver::windowsPath(dir + "/" + name + ".control");
}

bool EmulatorLine::setMode(const std::string& options, std::string& error) {
    std::string generation = std::to_string(++generation_);
    std::wstring temporary = control_ + L".new";
    // Whole and by rename: the emulator never reads half a command.
    if (!writeWhole(temporary, generation + " " + options + "\n") ||
        !MoveFileExW(temporary.c_str(), control_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = "could not write the control file";
        return false;
    }
    bool taken = driver::waitUntil(
        [&] {
            std::vector<LineEvent> log = events();
            for (const LineEvent& e : log) {
                if (e.kind == "control-error" && e.details.rfind(generation + " ", 0) == 0) {
                    error = "the emulator refused the mode: " + e.details;
                    return true;
                }
            }
            // The pty line follows the mode line: then the links point at the fresh line.
            return log.size() >= 2 && log[0].kind == "mode" && log[1].kind == "pty" &&
                   (log[0].details + " ").rfind(generation + " ", 0) == 0;
        },
        5000);
    if (!taken) {
        error = "the emulator did not take mode " + generation + " (" + options + ") in 5 s";
    }
    return taken && error.empty();
}

std::vector<LineEvent> EmulatorLine::events() const {
    std::string content;
    std::vector<LineEvent> result;
    if (!readWhole(log_, content)) {
        return result;
    }
    size_t start = 0;
    size_t end;
    // A last line without its newline is still being written: leave it for the next look.
    while ((end = content.find('\n', start)) != std::string::npos) {
        std::string line = content.substr(start, end - start);
        start = end + 1;
        size_t first = line.find(' ');
        if (first == std::string::npos) {
            continue;
        }
        size_t second = line.find(' ', first + 1);
        LineEvent e;
        e.micros = std::strtoull(line.c_str(), nullptr, 10);
        e.kind = line.substr(first + 1,
                             second == std::string::npos ? std::string::npos : second - first - 1);
        e.details = second == std::string::npos ? "" : line.substr(second + 1);
        result.push_back(e);
    }
    return result;
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

std::string EmulatorLine::joined(const std::string& kind) const {
    std::string bytes;
    for (const LineEvent& e : events()) {
        if (e.kind == kind) {
            bytes += (bytes.empty() ? "" : " ") + e.details;
        }
    }
    return bytes;
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
    if (!driver::waitUntil([&] { return readWhole(path, content); }, 10000)) {
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
