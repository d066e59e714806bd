// The operator: works LineDisplayTest.exe's dialog as a technician would — start it, type a port,
// press Test, wait for the run's end, read and close its boxes, leave — for every program that
// drives it end to end (the GUI, fault and guide tests, the demo and the benchmark).
#pragma once

#include "tools/driver/gui_driver.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace driver {

// How a request to leave reaches the dialog while a run waits in its box. The close box and
// Alt+F4 can't: the window system ignores system commands to the disabled dialog.
enum class LeaveRequest { CloseMessage, ExitCommand };
// "CloseMessage" or "ExitCommand": names a test's rows (testing::PrintToStringParamName).
void PrintTo(LeaveRequest request, std::ostream* out);

// The exe under test, LDT_APP (set by ldt_add_display_test), as a Windows path.
std::wstring appUnderTest();

// The performance counter in nanoseconds; under Wine, the host's CLOCK_MONOTONIC_RAW.
unsigned long long nowNs();

// What the operator saw of one run; times are nowNs().
struct Run {
    bool began = false;                // Test went disabled
    bool ended = false;                // Test was enabled again
    std::vector<MessageBoxInfo> boxes; // every box the run showed, in order, read then closed
    unsigned long long clickNs = 0;
    unsigned long long begunNs = 0;
    unsigned long long endedNs = 0;
    unsigned long long inBoxesNs = 0; // while the run waited in its boxes
};

class Operator {
  public:
    // pollMs: how often a wait looks; 1 for a benchmark's timings.
    explicit Operator(DWORD pollMs = 20) : pollMs_(pollMs) {}

    // Starts the exe and waits for its dialog and its initialisation (the result box says
    // "Ready"); false, with error set, otherwise. arguments: see AppProcess::start.
    bool start(const std::wstring& exe, std::string& error, const std::wstring& arguments = L"");

    AppProcess& app() { return app_; }
    const AppProcess& app() const { return app_; }
    HWND dialog() const { return app_.dialog(); }
    HWND control(int id) const { return app_.control(id); }
    std::wstring text(int id) const { return driver::text(control(id)); }
    bool enabled(int id) const { return IsWindowEnabled(control(id)) != 0; }
    // The control that has the focus, by name (driver::focusName).
    std::string focusName() const { return driver::focusName(dialog(), app_.focus()); }
    void typePort(const std::wstring& port) { setText(control(kPortBox), port); }
    // The result box, asked until the program answers: just out of a long run it may not yet
    // be back in its message loop.
    std::wstring result() const;

    // Called with each box a run shows, once read and before it is closed.
    using BoxReader = std::function<void(const MessageBoxInfo&)>;
    // Presses Test and waits for the run to end, reading and closing every box it shows.
    Run runTest(DWORD timeoutMs, const BoxReader& onBox = {});
    // Presses Test for a run that shows no box; "" when it began and ended so, else what
    // went otherwise.
    std::string runWithoutBoxes(DWORD timeoutMs);
    // Presses Test; true once the run has begun.
    bool pressTest(Run* run = nullptr);
    // Waits, each wait up to timeoutMs, for a run begun with pressTest to end, reading and
    // closing every box it shows; false on time-out or a box that would not close.
    bool waitForRunEnd(DWORD timeoutMs, Run* run = nullptr, const BoxReader& onBox = {});

    // Presses Clear; true once the result box says "Ready" and Test has the focus.
    bool clear();
    // Posts a control's click command to the dialog, which a disabled button can't send.
    void postCommand(int id);
    void requestLeave(LeaveRequest request);
    // Presses Exit and returns the exit code, STILL_ACTIVE on time-out; boxSeen: whether any
    // message box opened on the way out.
    DWORD exit(bool* boxSeen = nullptr, DWORD timeoutMs = 10000);

  private:
    DWORD pollMs_;
    AppProcess app_;
};

} // namespace driver
