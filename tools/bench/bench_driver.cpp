// bench-driver: times LineDisplayTest.exe (and a baseline dialog program) under Wine for
// scripts/bench.sh, printing one line of KEY=VALUE fields per command; times are nanoseconds
// of the performance counter, which under Wine is the host's CLOCK_MONOTONIC_RAW.
//   bench-driver clock                      now
//   bench-driver test APP PORT TIMEOUT_MS   one test run: click, Test disabled, Test enabled,
//                                           the process's CPU time over the run, the verdict
// The CPU time comes from the Linux process behind the program (/proc/PID/stat, clock ticks),
// with the wineserver's beside it; GetProcessTimes of another process under Wine 8 reports more
// than the kernel counts for that process, and is printed only for comparison.
//   bench-driver startup EXE CAPTION        process creation until its dialog is shown
#include "tools/driver/emulator_client.h"
#include "tools/driver/gui_driver.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kTest = 1001;
constexpr int kExit = 1002;
constexpr int kResult = 1004;

unsigned long long nowNs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    unsigned long long f = static_cast<unsigned long long>(frequency.QuadPart);
    unsigned long long c = static_cast<unsigned long long>(counter.QuadPart);
    return c / f * 1000000000ull + c % f * 1000000000ull / f;
}

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
template <typename Ready> bool poll(Ready ready, unsigned long long timeoutNs) {
    unsigned long long start = nowNs();
    while (!ready()) {
        if (nowNs() - start > timeoutNs) {
            return false;
        }
        Sleep(1);
    }
    return true;
}

struct Process {
    PROCESS_INFORMATION info{};
    ~Process() {
        if (info.hProcess != nullptr) {
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) {
                TerminateProcess(info.hProcess, 99);
            }
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
    // token: an argument the program ignores, by which its Linux process is found.
    bool start(const std::wstring& exe, const std::wstring& token = L"") {
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        std::wstring commandLine = L"\"" + exe + L"\"" + (token.empty() ? L"" : L" " + token);
        return CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &info) != 0;
    }
    // Its visible top-level dialog with that caption; nullptr while there is none.
    HWND dialog(const wchar_t* caption) const {
        HWND window = nullptr;
        while ((window = FindWindowExW(nullptr, window, L"#32770", caption)) != nullptr) {
            if (GetWindowThreadProcessId(window, nullptr) == info.dwThreadId &&
                IsWindowVisible(window)) {
                return window;
            }
        }
        return nullptr;
    }
    DWORD exitCode(DWORD timeoutMs) const {
        DWORD code = STILL_ACTIVE;
        if (WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
            GetExitCodeProcess(info.hProcess, &code);
        }
        return code;
    }
};

const wchar_t kSilentReport[] = L"User set up mode start returned 0 bytes:  (Incorrect)\r\n"
                                L"Read Status information (Product type) returned 0 bytes:\r\n"
                                L" (Incorrect)\r\n";

int testRun(const std::wstring& app, const std::wstring& port, unsigned long timeoutMs) {
    if (!driver::setConfiguredPort(port)) {
        std::printf("error=registry\n");
        return 1;
    }
    Process process;
    std::string token =
        "ldt-bench-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount());
    if (!process.start(app, std::wstring(token.begin(), token.end()))) {
        std::printf("error=start-%lu\n", GetLastError());
        return 1;
    }
    HWND dialog = nullptr;
    poll(
        [&] {
            dialog = process.dialog(driver::kDialogCaption);
            return dialog != nullptr && GetDlgItem(dialog, kResult) != nullptr;
        },
        30000000000ull);
    if (dialog == nullptr) {
        std::printf("error=no-dialog\n");
        return 1;
    }
    HWND test = GetDlgItem(dialog, kTest);
    // Initialisation is over once the result box says so.
    if (!poll([&] { return driver::text(GetDlgItem(dialog, kResult)) == L"Ready"; },
              5000000000ull)) {
        std::printf("error=not-ready\n");
        return 1;
    }
    Sleep(200); // let the start-up's last paints go by
    unsigned long pid = unixPid(token);
    if (pid == 0) {
        std::printf("error=no-unix-process\n");
        return 1;
    }

    unsigned long long cpuBefore = cpuNs(process.info.hProcess);
    std::wstring unix = std::to_wstring(pid);
    unsigned long long ticksBefore = procTicks(unix);
    unsigned long long serverBefore = procTicks(L"self");
    unsigned long long click = nowNs();
    driver::click(test);
    bool began = poll([&] { return !IsWindowEnabled(test); }, 3000000000ull);
    unsigned long long disabled = nowNs();
    bool ended = began && poll([&] { return IsWindowEnabled(test) != 0; },
                               static_cast<unsigned long long>(timeoutMs) * 1000000ull);
    unsigned long long enabled = nowNs();
    unsigned long long cpuAfter = cpuNs(process.info.hProcess);
    unsigned long long ticksAfter = procTicks(unix);
    unsigned long long serverAfter = procTicks(L"self");
    if (!ended) {
        std::printf("error=run-did-not-end\n");
        return 1;
    }
    // Just after the run the program may not yet be back in its message loop, and a window
    // that has not read its messages for 5 s counts as hung: ask until it answers.
    std::wstring report;
    poll(
        [&] {
            report = driver::text(GetDlgItem(dialog, kResult));
            return report != L"<no answer>";
        },
        5000000000ull);
    const char* verdict = report.find(L"Test result: PASS.\r\n") != std::wstring::npos ? "pass"
                          : report == kSilentReport                                    ? "silent"
                                                                                       : "other";
    if (std::string(verdict) == "other") {
        std::string shown(report.begin(), report.end());
        std::fprintf(stderr, "bench-driver: unexpected report: %s\n", shown.c_str());
    }
    driver::click(GetDlgItem(dialog, kExit));
    DWORD code = process.exitCode(10000);
    std::printf("click_ns=%llu disabled_ns=%llu enabled_ns=%llu cpu_ticks=%llu server_ticks=%llu "
                "process_times_ns=%llu verdict=%s exit=%lu\n",
                click, disabled, enabled, ticksAfter - ticksBefore, serverAfter - serverBefore,
                cpuAfter - cpuBefore, verdict, code);
    return code == 0 ? 0 : 1;
}

int startup(const std::wstring& exe, const std::wstring& caption) {
    Process process;
    unsigned long long begin = nowNs();
    if (!process.start(exe)) {
        std::printf("error=start-%lu\n", GetLastError());
        return 1;
    }
    HWND dialog = nullptr;
    if (!poll([&] { return (dialog = process.dialog(caption.c_str())) != nullptr; },
              30000000000ull)) {
        std::printf("error=no-dialog\n");
        return 1;
    }
    unsigned long long shown = nowNs();
    PostMessageW(dialog, WM_CLOSE, 0, 0);
    DWORD code = process.exitCode(10000);
    std::printf("startup_ns=%llu exit=%lu\n", shown - begin, code);
    return code == 0 ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"clock" && argc == 2) {
        std::printf("now_ns=%llu\n", nowNs());
        return 0;
    }
    if (command == L"test" && argc == 5) {
        return testRun(argv[2], argv[3], std::wcstoul(argv[4], nullptr, 10));
    }
    if (command == L"startup" && argc == 4) {
        return startup(argv[2], argv[3]);
    }
    std::fprintf(stderr, "usage: bench-driver clock | test APP PORT TIMEOUT_MS | "
                         "startup EXE CAPTION\n");
    return 2;
}
