// The operator's flow through the dialog, on top of the GUI driver.
#include "tools/driver/operator.h"

namespace driver {

namespace {

// A pressed Test disables itself at once; seconds mean the click was lost.
constexpr DWORD kRunBeginsMs = 3000;

} // namespace

std::wstring appUnderTest() {
    return windowsPath(environment("LDT_APP"));
}

unsigned long long nowNs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    unsigned long long f = static_cast<unsigned long long>(frequency.QuadPart);
    unsigned long long c = static_cast<unsigned long long>(counter.QuadPart);
    return c / f * 1000000000ull + c % f * 1000000000ull / f;
}

bool Operator::start(const std::wstring& exe, std::string& error, const std::wstring& arguments) {
    if (!app_.start(exe, arguments)) {
        error = "could not start the program (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    if (app_.waitForDialog() == nullptr) {
        error = "the dialog did not appear";
        return false;
    }
    if (!waitUntil([&] { return text(kResultBox) == L"Ready"; }, 5000, pollMs_)) {
        error = "the result box never said Ready";
        return false;
    }
    return true;
}

std::wstring Operator::result() const {
    std::wstring shown;
    waitUntil(
        [&] {
            shown = text(kResultBox);
            return shown != L"<no answer>";
        },
        5000, pollMs_);
    return shown;
}

Run Operator::runTest(DWORD timeoutMs, const BoxReader& onBox) {
    Run run;
    if (pressTest(&run)) {
        waitForRunEnd(timeoutMs, &run, onBox);
    }
    return run;
}

std::string Operator::runWithoutBoxes(DWORD timeoutMs) {
    Run run = runTest(timeoutMs);
    if (!run.began) {
        return "no run began";
    }
    if (!run.ended) {
        return "the run did not end";
    }
    if (!run.boxes.empty()) {
        return "the run showed a box: " + narrow(run.boxes.front().caption);
    }
    return "";
}

bool Operator::pressTest(Run* run) {
    Run ignored;
    Run& r = run != nullptr ? *run : ignored;
    HWND test = control(kTestButton);
    r.clickNs = nowNs();
    click(test);
    r.began = waitUntil([&] { return !IsWindowEnabled(test); }, kRunBeginsMs, pollMs_);
    r.begunNs = nowNs();
    return r.began;
}

bool Operator::waitForRunEnd(DWORD timeoutMs, Run* run, const BoxReader& onBox) {
    Run ignored;
    Run& r = run != nullptr ? *run : ignored;
    HWND test = control(kTestButton);
    for (;;) {
        HWND box = nullptr;
        bool seen = waitUntil(
            [&] {
                box = app_.openMessageBox();
                return box != nullptr || IsWindowEnabled(test);
            },
            timeoutMs, pollMs_);
        if (!seen) {
            return false;
        }
        if (box == nullptr) {
            r.endedNs = nowNs();
            r.ended = true;
            return true;
        }
        unsigned long long opened = nowNs();
        r.boxes.push_back(describeMessageBox(box));
        if (onBox) {
            onBox(r.boxes.back());
        }
        dismiss(box);
        if (!waitUntil([&] { return !IsWindow(box); }, 5000, pollMs_)) {
            return false;
        }
        r.inBoxesNs += nowNs() - opened;
    }
}

bool Operator::clear() {
    click(control(kClearButton));
    return waitUntil(
        [&] { return text(kResultBox) == L"Ready" && app_.focus() == control(kTestButton); }, 3000,
        pollMs_);
}

void Operator::postCommand(int id) {
    PostMessageW(dialog(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(control(id)));
}

void PrintTo(LeaveRequest request, std::ostream* out) {
    *out << (request == LeaveRequest::CloseMessage ? "CloseMessage" : "ExitCommand");
}

void Operator::requestLeave(LeaveRequest request) {
    if (request == LeaveRequest::CloseMessage) {
        requestClose(dialog(), false);
    } else {
        postCommand(kExitButton);
    }
}

DWORD Operator::exit(bool* boxSeen, DWORD timeoutMs) {
    bool seen = false;
    click(control(kExitButton));
    DWORD code = STILL_ACTIVE;
    waitUntil(
        [&] {
            seen = seen || app_.openMessageBoxCount() > 0;
            code = app_.waitForExit(0);
            return code != STILL_ACTIVE;
        },
        timeoutMs, pollMs_);
    if (boxSeen != nullptr) {
        *boxSeen = seen;
    }
    return code;
}

} // namespace driver
