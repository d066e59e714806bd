// An emulated display from a Win32 program under Wine: its log read, its control file written.
#include "tools/driver/emulator_client.h"

#include "tools/driver/gui_driver.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

namespace {

using driver::wide;

// The harness's spelling of a display's name in its variables.
std::string variablePart(const std::string& name) {
    std::string out;
    for (char c : name) {
        out += c == '-' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// What scripts/with-displays.sh tells a program about display NAME, e.g. "gui-good", "PORT":
// LDT_DISPLAY_GUI_GOOD_PORT; empty when unset.
std::string displayVariable(const std::string& name, const char* field) {
    return driver::environment(("LDT_DISPLAY_" + variablePart(name) + "_" + field).c_str());
}

} // namespace

bool readShared(const std::wstring& path, std::string& content) {
    // Shared every way: the emulator keeps writing, and truncates the log on a new mode.
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

unsigned EmulatorClient::generation_ = 0;

std::wstring harnessPort(const std::string& name) {
    return wide(driver::environment(("LDT_PORT_" + variablePart(name)).c_str()));
}

bool EmulatorClient::connect(const std::string& name, std::string& error) {
    std::string ports = displayVariable(name, "PORTS");
    log_ = wide(displayVariable(name, "LOG"));
    control_ = wide(displayVariable(name, "CONTROL"));
    out_ = wide(displayVariable(name, "OUT"));
    pid_ = displayVariable(name, "PID");
    startPty_ = displayVariable(name, "PTY");
    if (ports.empty() || log_.empty()) {
        error = "LDT_DISPLAY_" + variablePart(name) + "_PORTS or _LOG missing: run under " +
                "scripts/with-displays.sh with --display or --standin " + name;
        return false;
    }
    std::istringstream words(ports);
    ports_.clear();
    for (std::string port; words >> port;) {
        ports_.push_back(wide(port));
    }
    return true;
}

void EmulatorClient::watch(const std::wstring& port, const std::wstring& log,
                           const std::wstring& out) {
    ports_ = {port};
    log_ = log;
    out_ = out;
    control_.clear();
    mark_ = 0;
}

std::string EmulatorClient::pty() const {
    for (const EmulatorEvent& e : parse(0)) {
        if (e.kind == "pty") {
            return e.details;
        }
    }
    return startPty_;
}

bool EmulatorClient::setMode(const std::string& options, std::string& error) {
    if (control_.empty()) {
        error = "a stand-in on a port has no modes";
        return false;
    }
    std::vector<EmulatorEvent> before = parse(0);
    if (!before.empty() && before[0].kind == "mode") {
        generation_ =
            std::max(generation_,
                     static_cast<unsigned>(std::strtoul(before[0].details.c_str(), nullptr, 10)));
    }
    std::string generation = std::to_string(++generation_);
    std::wstring temporary = control_ + L".new";
    // Whole and by rename: the emulator never reads half a command.
    std::string command = generation + " " + options + "\n";
    if (!driver::writeFile(temporary, command.data(), command.size()) ||
        !MoveFileExW(temporary.c_str(), control_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        error = "could not write the control file";
        return false;
    }
    mark_ = 0;
    for (int i = 0; i < 500; ++i) {
        std::vector<EmulatorEvent> log = parse(0);
        // The pty line follows the mode line: by then the links point at the fresh line.
        if (log.size() >= 2 && log[0].kind == "mode" && log[1].kind == "pty" &&
            (log[0].details + " ").rfind(generation + " ", 0) == 0) {
            return true;
        }
        for (const EmulatorEvent& e : log) {
            if (e.kind == "control-error" && e.details.rfind(generation + " ", 0) == 0) {
                error = "emulator refused the mode: " + e.details;
                return false;
            }
        }
        Sleep(10);
    }
    error = "emulator did not take mode " + generation + " (" + options + ") in 5 s";
    return false;
}

void EmulatorClient::mark() {
    std::string content;
    mark_ = readShared(log_, content) ? content.size() : 0;
}

std::vector<EmulatorEvent> EmulatorClient::events() const {
    return parse(mark_);
}

std::vector<EmulatorEvent> EmulatorClient::parse(size_t from) const {
    std::string content;
    if (!readShared(log_, content)) {
        return {};
    }
    // A log shorter than the mark was emptied by a mode another program set.
    return parseLog(content, from <= content.size() ? from : 0);
}

std::vector<std::string> EmulatorClient::events(const std::string& kind) const {
    return detailsOf(events(), kind);
}

std::string EmulatorClient::joined(const std::string& kind) const {
    std::string all;
    for (const std::string& chunk : events(kind)) {
        all += (all.empty() ? "" : " ") + chunk;
    }
    return all;
}

std::string EmulatorClient::waitForSettings(const std::string& expected, int timeoutMs) const {
    std::string last;
    driver::waitUntil(
        [&] {
            std::vector<std::string> settings = events("settings");
            last = settings.empty() ? "" : settings.back();
            return last == expected;
        },
        timeoutMs, 5);
    return last;
}

bool EmulatorClient::waitForBytes(const std::string& kind, size_t count, int timeoutMs) const {
    return driver::waitUntil(
        [&] {
            size_t bytes = 0;
            for (const std::string& chunk : events(kind)) {
                bytes += (chunk.size() + 1) / 3;
            }
            return bytes >= count;
        },
        timeoutMs, 5);
}

std::string EmulatorClient::receivedOnceItHas(const std::string& expected, int timeoutMs) const {
    waitForBytes("recv", (expected.size() + 1) / 3, timeoutMs);
    return received();
}

bool EmulatorClient::waitForEvent(const std::string& kind, int timeoutMs) const {
    return driver::waitUntil([&] { return !events(kind).empty(); }, timeoutMs, 5);
}

std::string EmulatorClient::console() const {
    std::string content;
    return !out_.empty() && readShared(out_, content) ? content : std::string();
}

std::vector<std::string> EmulatorClient::screen() const {
    std::vector<std::string> lines;
    std::istringstream in(console());
    for (std::string line; std::getline(in, line);) {
        // DisplayStandIn.exe writes its console lines to a file in text mode.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        size_t first = line.find_first_not_of(' ');
        lines.push_back(first == std::string::npos ? "" : line.substr(first));
    }
    auto between = [](const std::string& line) {
        return line.size() >= 2 && line.front() == '|' && line.back() == '|';
    };
    // A frame: a border, the two lines between bars, the same border again; the last line
    // may still be being written.
    for (size_t end = lines.size(); end >= 4; --end) {
        const std::string* frame = &lines[end - 4];
        if (frame[0].rfind("+-", 0) == 0 && frame[3] == frame[0] && between(frame[1]) &&
            between(frame[2])) {
            return {frame[1].substr(1, frame[1].size() - 2),
                    frame[2].substr(1, frame[2].size() - 2)};
        }
    }
    return {};
}
