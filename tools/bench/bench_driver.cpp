// bench-driver: times LineDisplayTest.exe (and a baseline dialog program) under Wine for
// scripts/bench.sh, printing one line of KEY=VALUE fields per command; times are nanoseconds
// of the performance counter, which under Wine is the host's CLOCK_MONOTONIC_RAW.
//   bench-driver clock                      now
//   bench-driver mode DISPLAY [OPTION...]   gives display DISPLAY of scripts/with-displays.sh
//                                           (e.g. bench) a fresh line with those emulator
//                                           options (none: a good display) and an empty log
//   bench-driver test APP PORT TIMEOUT_MS   one test run: click, Test disabled, Test enabled,
//                                           the process's CPU time over the run, the verdict
//                                           (pass, silent or other)
// The CPU time comes from the Linux process behind the program (/proc/PID/stat, clock ticks),
// with the wineserver's beside it; GetProcessTimes of another process under Wine 8 reports more
// than the kernel counts for that process, and is printed only for comparison.
//   bench-driver startup EXE [CAPTION]      process creation until its dialog (by default the
//                                           utility's) is shown
//   bench-driver commands                   the product's commands in the order a run writes
//                                           them, one a line: NAME and its bytes in hex
#include "display/commands.h"
#include "tests/support/call_log.h"
#include "tests/support/expected_report.h"
#include "tools/driver/emulator_client.h"
#include "tools/driver/operator.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

using driver::nowNs;

unsigned long long cpuNs(HANDLE process) {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) {
        return 0;
    }
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return (ticks(kernel) + ticks(user)) * 100ull; // FILETIME counts 100 ns
}

// The Linux process whose command line holds token; 0 when there is none.
unsigned long unixPid(const std::string& token) {
    WIN32_FIND_DATAW entry;
    HANDLE found = FindFirstFileW(L"Z:\\proc\\*", &entry);
    if (found == INVALID_HANDLE_VALUE) {
        return 0;
    }
    unsigned long pid = 0;
    do {
        wchar_t* end = nullptr;
        unsigned long candidate = std::wcstoul(entry.cFileName, &end, 10);
        std::string commandLine;
        if (candidate != 0 && *end == L'\0' &&
            readShared(L"Z:\\proc\\" + std::wstring(entry.cFileName) + L"\\cmdline", commandLine) &&
            commandLine.find(token) != std::string::npos) {
            pid = candidate;
        }
    } while (pid == 0 && FindNextFileW(found, &entry));
    FindClose(found);
    return pid;
}

// User and system time of a Linux process, in clock ticks; ~0 when it can't be read. The
// wineserver opens files for its clients, so "self" is the wineserver.
unsigned long long procTicks(const std::wstring& pid) {
    std::string stat;
    if (!readShared(L"Z:\\proc\\" + pid + L"\\stat", stat)) {
        return ~0ull;
    }
    // After the name in parentheses: state is field 3, utime 14, stime 15.
    size_t at = stat.rfind(')');
    if (at == std::string::npos) {
        return ~0ull;
    }
    std::vector<std::string> fields;
    size_t from = at + 2;
    for (size_t blank; (blank = stat.find(' ', from)) != std::string::npos; from = blank + 1) {
        fields.push_back(stat.substr(from, blank - from));
    }
    if (fields.size() < 13) {
        return ~0ull;
    }
    return std::stoull(fields[11]) + std::stoull(fields[12]);
}

// Polls every millisecond: fine enough for runs of a second, light on the shared cores.
constexpr DWORD kPollMs = 1;

int testRun(const std::wstring& app, const std::wstring& port, unsigned long timeoutMs) {
    if (!driver::setConfiguredPort(port)) {
        std::printf("error=registry\n");
        return 1;
    }
    driver::Operator op(kPollMs);
    std::string token =
        "ldt-bench-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    std::string error;
    if (!op.start(app, error, driver::wide(token))) {
        std::fprintf(stderr, "bench-driver: %s\n", error.c_str());
        std::printf("error=start\n");
        return 1;
    }
    Sleep(200); // let the start-up's last paints go by
    unsigned long pid = unixPid(token);
    if (pid == 0) {
        std::printf("error=no-unix-process\n");
        return 1;
    }

    unsigned long long cpuBefore = cpuNs(op.app().process());
    std::wstring unix = std::to_wstring(pid);
    unsigned long long ticksBefore = procTicks(unix);
    unsigned long long serverBefore = procTicks(L"self");
    driver::Run run = op.runTest(timeoutMs);
    unsigned long long cpuAfter = cpuNs(op.app().process());
    unsigned long long ticksAfter = procTicks(unix);
    unsigned long long serverAfter = procTicks(L"self");
    if (!run.ended) {
        std::printf("error=run-did-not-end\n");
        return 1;
    }
    std::wstring report = op.result();
    const char* verdict = "other";
    if (run.boxes.empty() &&
        report == expectedReport(kSetupAckReply, productReply(kKnownTypes[0]))) {
        verdict = "pass";
    } else if (run.boxes.empty() && report == expectedReport("", "")) {
        verdict = "silent";
    }
    if (std::string(verdict) == "other") {
        std::fprintf(stderr, "bench-driver: unexpected report (%u boxes): %s\n",
                     static_cast<unsigned>(run.boxes.size()), narrow(report).c_str());
    }
    DWORD code = op.exit();
    std::printf("click_ns=%llu disabled_ns=%llu enabled_ns=%llu cpu_ticks=%llu server_ticks=%llu "
                "process_times_ns=%llu verdict=%s exit=%lu\n",
                run.clickNs, run.begunNs, run.endedNs, ticksAfter - ticksBefore,
                serverAfter - serverBefore, cpuAfter - cpuBefore, verdict, code);
    return code == 0 ? 0 : 1;
}

int startup(const std::wstring& exe, const std::wstring& caption) {
    driver::AppProcess process;
    unsigned long long begin = nowNs();
    if (!process.start(exe)) {
        std::printf("error=start-%lu\n", GetLastError());
        return 1;
    }
    HWND dialog = nullptr;
    if (!driver::waitUntil(
            [&] { return (dialog = process.findDialog(caption.c_str())) != nullptr; }, 30000,
            kPollMs)) {
        std::printf("error=no-dialog\n");
        return 1;
    }
    unsigned long long shown = nowNs();
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    DWORD code = process.waitForExit(10000);
    std::printf("startup_ns=%llu exit=%lu\n", shown - begin, code);
    return code == 0 ? 0 : 1;
}

// Switches the display to a fresh line with these options, as each timed run needs.
int mode(const std::string& display, const std::string& options) {
    EmulatorClient emulator;
    std::string error;
    if (!emulator.connect(display, error) || !emulator.setMode(options, error)) {
        std::fprintf(stderr, "bench-driver: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int commands() {
    const std::pair<const char*, const Command&> all[] = {
        {"initialise", kInitialiseDisplay}, {"greeting", kGreeting},
        {"setup_start", kSetupModeStart},   {"product_request", kReadProductType},
        {"setup_end", kSetupModeEnd},       {"final", kFinalMessage}};
    for (const auto& [name, command] : all) {
        std::printf("%s %s\n", name, hex(command).c_str());
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"clock" && argc == 2) {
        std::printf("now_ns=%llu\n", nowNs());
        return 0;
    }
    if (command == L"mode" && argc >= 3) {
        std::string options;
        for (int i = 3; i < argc; ++i) {
            options += (options.empty() ? "" : " ") + narrow(argv[i]);
        }
        return mode(narrow(argv[2]), options);
    }
    if (command == L"test" && argc == 5) {
        return testRun(argv[2], argv[3], std::wcstoul(argv[4], nullptr, 10));
    }
    if (command == L"startup" && (argc == 3 || argc == 4)) {
        return startup(argv[2], argc == 4 ? argv[3] : driver::kDialogCaption);
    }
    if (command == L"commands" && argc == 2) {
        return commands();
    }
    std::fprintf(stderr, "usage: bench-driver clock | mode DISPLAY [OPTION...] | "
                         "test APP PORT TIMEOUT_MS | startup EXE [CAPTION] | commands\n");
    return 2;
}
