// Fault scenarios end to end: LineDisplayTest.exe under Wine against displays that flood, answer
// at the edge of the silence limit, over-run the report, hang up, vanish, or are left while a run
// waits in its failure box. After each: no crash or hang, a usable window, the port closed, and
// exit code 0. Run under scripts/with-displays.sh with the displays "fault-main", whose mode each
// case sets, and "fault-doomed", which one case stops.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/emulator_test.h"
#include "tests/support/expected_report.h"
#include "tests/support/outcomes.h"
#include "tools/driver/operator.h"

namespace {

using driver::LeaveRequest;

constexpr int kTest = driver::kTestButton;
constexpr int kResult = driver::kResultBox;

// Runs line-helper.sh (LDT_FAULT_HELPER) with the words given and returns its output without
// the "rc" line; ok is false when it failed or gave no answer within 10 s.
std::string runLineHelper(const std::string& words, bool& ok) {
    static unsigned calls = 0;
    ok = false;
    std::string result = driver::environment("LDT_RUN_DIR") + "/helper-" +
                         std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++calls);
    std::string command =
        "/bin/sh " + driver::environment("LDT_FAULT_HELPER") + " " + result + " " + words;
    std::wstring wide = driver::wide(command);
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

// Every process but an emulator holding the pty open ("PID EXE" lines); empty when none.
// hungUp: the emulator has closed its end, so the pty is looked for by its deleted name.
std::string portHolders(const std::string& pty, bool hungUp) {
    bool ok = false;
    std::string holders = runLineHelper("holders " + pty + (hungUp ? " deleted" : ""), ok);
    return ok ? holders : "helper failed: " + holders;
}

// ESC @ and the greeting with its NUL: what a run writes before it drains.
const std::string kGreetingBytes = hex(kInitialiseDisplay) + " " + hex(kGreeting);

const std::string kProductReply = productReply(kKnownTypes[0]);

// Empty when report is the one for two replies of filler bytes 2A of the counts its headers
// show, cut at the report's capacity; else what is wrong. How many bytes a collection's reads
// bring depends on how full the line is at that moment, so the counts come from the report;
// each must reach what its collection asked for, since a flood is never silent.
std::string floodReportProblem(const std::wstring& report) {
    const std::wstring head = L"User set up mode start returned ";
    if (report.compare(0, head.size(), head) != 0) {
        return "the report does not begin with the first reply's header";
    }
    unsigned long ack = std::wcstoul(report.c_str() + head.size(), nullptr, 10);
    if (ack < 4) {
        return "the first reply has " + std::to_string(ack) + " bytes, fewer than asked for";
    }
    // The second count as far as the report shows it: digits cut off at the end are cut off
    // in the expected report too.
    unsigned long product = 18;
    const std::wstring returned = L"returned ";
    size_t at = report.find(returned, head.size());
    if (at != std::wstring::npos && at + returned.size() < report.size()) {
        wchar_t* end = nullptr;
        product = std::wcstoul(report.c_str() + at + returned.size(), &end, 10);
        if (std::wstring(end).rfind(L" bytes:", 0) == 0 && product < 18) {
            return "the product reply has " + std::to_string(product) + " bytes, fewer than asked";
        }
    }
    std::wstring expected = expectedReport(std::string(ack, '\x2A'), std::string(product, '\x2A'));
    if (report != expected) {
        return "the report is not the filler's, which reads:\n" + narrow(expected);
    }
    return "";
}

// The main display, "fault-main", is the fixture's.
class FaultTest : public EmulatorTest {
  protected:
    FaultTest() : EmulatorTest("fault-main") {}

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(EmulatorTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(mode(""));
    }

    // The port is typed into the port box, as an operator would: no registry value is set,
    // so these tests may run beside others that configure the port in the same prefix.
    void start(const std::wstring& port) {
        std::string error;
        ASSERT_TRUE(op_.start(driver::appUnderTest(), error)) << error;
        op_.typePort(port);
        ASSERT_EQ(op_.text(driver::kPortBox), port);
    }
    // Gives the main display that mode and starts on its port; line_ is the mode's pty.
    void startOn(const std::string& options) {
        ASSERT_NO_FATAL_FAILURE(mode(options));
        line_ = emulator_.pty();
        ASSERT_NO_FATAL_FAILURE(start(emulator_.port()));
    }

    void runGoodTest(EmulatorClient& line) {
        ASSERT_EQ(op_.runWithoutBoxes(5000), "");
        EXPECT_EQ(narrow(op_.text(kResult)), narrow(expectedReport(kSetupAckReply, kProductReply)));
        EXPECT_EQ(line.receivedOnceItHas(kTestRunBytes), kTestRunBytes);
    }

    // A run on a line that hangs up once ESC @ and the greeting are in, so that set-up mode
    // start can't be written: it waits in its failure box with the port (pty) still open. Then
    // a live display is on the port again: whatever the program now did on it would show.
    void runIntoHungUpBox(HWND& box) {
        ASSERT_NO_FATAL_FAILURE(startOn(outcomeRow("write-file").mode));
        ASSERT_TRUE(op_.pressTest()) << "no run began";
        box = op_.app().waitForMessageBox(writeFailure_.boxes.at(0).caption);
        ASSERT_NE(box, nullptr) << "no failure box; result: " << narrow(op_.text(kResult));
        EXPECT_EQ(driver::describeMessageBox(box).text, writeFailure_.boxes.at(0).text);
        EXPECT_EQ(op_.text(kResult), writeFailure_.result);
        EXPECT_EQ(emulator_.received(), kGreetingBytes);
        // Under the box the run still holds the port: this also shows the holder check sees it.
        EXPECT_NE(portHolders(line_, true), "");
        ASSERT_NO_FATAL_FAILURE(mode(""));
    }

    // A while after a request under that box: the run still waits in it, holding its port, and
    // the program has opened nothing and shown nothing more.
    void expectRunStillWaiting() {
        Sleep(700);
        EXPECT_TRUE(op_.app().running());
        EXPECT_TRUE(IsWindow(op_.dialog())) << "the dialog went while its run was suspended";
        EXPECT_EQ(op_.app().openMessageBoxCount(), 1);
        EXPECT_EQ(emulator_.received(), "")
            << "the port was opened while the run waited in its box";
        EXPECT_EQ(op_.text(kResult), writeFailure_.result);
        EXPECT_NE(portHolders(line_, true), "") << "the suspended run still holds its port";
    }

    // Clear answers and hands the focus to Test, so the window is not stuck in a run.
    void expectUsable() {
        EXPECT_TRUE(op_.clear()) << narrow(op_.text(kResult));
        EXPECT_EQ(op_.app().openMessageBoxCount(), 0);
    }

    // Exit ends the program with 0 and no message box.
    void exitWithZeroAndNoBox() {
        bool boxSeen = false;
        EXPECT_EQ(op_.exit(&boxSeen), 0u);
        EXPECT_FALSE(boxSeen);
    }

    // Exit, as above, re-initialises the main display, which answered.
    void exitReleasingTheDisplay() {
        exitWithZeroAndNoBox();
        std::string released = kTestRunBytes + " " + hex(kInitialiseDisplay);
        EXPECT_EQ(emulator_.receivedOnceItHas(released), released);
    }

    // After a fault: the window is usable, a good run on the same port works and closes it,
    // and Exit releases it.
    void finishWithGoodRunAndExit() {
        ASSERT_NO_FATAL_FAILURE(expectUsable());
        ASSERT_NO_FATAL_FAILURE(mode(""));
        ASSERT_NO_FATAL_FAILURE(runGoodTest(emulator_));
        EXPECT_EQ(portHolders(emulator_.pty(), false), "");
        exitReleasingTheDisplay();
    }

    std::string line_;
    driver::Operator op_;
    // What a run stopped by a failing write shows.
    const Shown writeFailure_ = expectedShown(outcomeRow("write-file"), L"");
};

// A device that never stops sending. The emulator fills the line before the mode begins and
// keeps topping it up, but a read may still find it empty for a moment, so how much the drain
// and each collection take is the line's business. What shows here is that the run ends, in
// time, with the report the filler that came makes, kept to its capacity; the drain's bound is
// checked against a fake link, its rules over the real link by the serial tests.
TEST_F(FaultTest, FloodingDisplayCannotHoldTheRunAndItsReportKeepsToItsCapacity) {
    ASSERT_NO_FATAL_FAILURE(startOn("--flood"));
    // Twice: the second run on the same flooding port must open it and end as well.
    for (int run = 1; run <= 2; ++run) {
        DWORD began = GetTickCount();
        ASSERT_EQ(op_.runWithoutBoxes(15000), "") << "run " << run << ": the flood held the window";
        // 700 ms of pauses, both collections end at once on their counts, and a drain that
        // stops by its bound is over in milliseconds: the rest is room for a loaded machine.
        EXPECT_LT(GetTickCount() - began, 5000u) << "run " << run;
        std::wstring report = op_.text(kResult);
        EXPECT_EQ(floodReportProblem(report), "") << "run " << run << ":\n" << narrow(report);
        EXPECT_EQ(portHolders(line_, false), "") << "run " << run << " left the port open";
    }
    finishWithGoodRunAndExit();
}

TEST_F(FaultTest, ReplyAfterNearlyFiveSecondsOfSilenceIsStillCollected) {
    // 4.6 s of silence before each reply, then its bytes 100 ms apart: the product reply takes
    // 6.3 s in all, so each byte must start the silence count afresh. The run gives up no
    // sooner than 49 pauses of 100 ms after its request: 300 ms to spare for a loaded machine.
    ASSERT_NO_FATAL_FAILURE(startOn("--delay 4600 --trickle 100"));
    ASSERT_EQ(op_.runWithoutBoxes(30000), "");
    EXPECT_EQ(narrow(op_.text(kResult)), narrow(expectedReport(kSetupAckReply, kProductReply)));
    EXPECT_EQ(portHolders(line_, false), "");

    // The line's own time stamps show the case took place as meant.
    std::vector<EmulatorEvent> log = emulator_.events();
    for (const std::string& request : {hex(kSetupModeStart), hex(kReadProductType)}) {
        auto asked = std::find_if(log.begin(), log.end(), [&](const EmulatorEvent& e) {
            return e.kind == "recv" && e.details == request;
        });
        ASSERT_NE(asked, log.end()) << request << " never came as one chunk";
        auto first =
            std::find_if(asked, log.end(), [](const EmulatorEvent& e) { return e.kind == "send"; });
        ASSERT_NE(first, log.end()) << "no answer to " << request;
        uint64_t silence = first->micros - asked->micros;
        // The emulator times a reply from the stamp of its request: the floor holds exactly.
        EXPECT_GE(silence, 4600000u) << request;
        EXPECT_LT(silence, 4900000u) << request << ": the emulator was too late for the case";
        if (request == hex(kReadProductType)) {
            uint64_t lastByte = first->micros;
            for (auto e = first; e != log.end() && e->kind != "recv"; ++e) {
                lastByte = e->kind == "send" ? e->micros : lastByte;
            }
            EXPECT_GE(lastByte - asked->micros, 6300000u);
        }
    }
    ASSERT_NO_FATAL_FAILURE(expectUsable());
    exitReleasingTheDisplay();
}

class OverlongReplyTest : public FaultTest, public testing::WithParamInterface<int> {};

TEST_P(OverlongReplyTest, ReportIsCutAtItsCapacityAndTheRunGoesOn) {
    std::string extra(static_cast<size_t>(GetParam()), '\x2A');
    ASSERT_NO_FATAL_FAILURE(startOn("--overlong " + std::to_string(GetParam())));
    ASSERT_EQ(op_.runWithoutBoxes(15000), "");
    std::wstring report = op_.text(kResult);
    EXPECT_EQ(narrow(report),
              narrow(expectedReport(kSetupAckReply + extra, kProductReply + extra)));
    EXPECT_EQ(report.size(), kReportUnits);
    // Set-up mode end and "Test OK" still went out, and the port was put back and closed.
    EXPECT_EQ(emulator_.receivedOnceItHas(kTestRunBytes), kTestRunBytes);
    EXPECT_EQ(portHolders(line_, false), "");
    finishWithGoodRunAndExit();
}

// 30 extra bytes cut the report inside the product reply's dump, 200 inside the first.
INSTANTIATE_TEST_SUITE_P(ExtraBytes, OverlongReplyTest, testing::Values(30, 200),
                         [](const testing::TestParamInfo<int>& info) {
                             return "Extra" + std::to_string(info.param);
                         });

// A second Test under the hung-up run's box: the button is disabled, so only a posted command
// can ask for it, and it must start nothing inside the waiting run.
TEST_F(FaultTest, HangUpInTheMiddleOfARunShowsTheWriteFailureAndClosesThePort) {
    HWND box = nullptr;
    ASSERT_NO_FATAL_FAILURE(runIntoHungUpBox(box));
    op_.postCommand(kTest);
    expectRunStillWaiting();

    driver::dismiss(box);
    ASSERT_TRUE(op_.waitForRunEnd(5000)) << "the run did not end after the box";
    EXPECT_EQ(portHolders(line_, true), "") << "the hung-up port was not closed";
    EXPECT_EQ(op_.text(kResult), writeFailure_.result);
    finishWithGoodRunAndExit();
}

// A request to leave under the hung-up run's box.
class LeaveWhileFailureBoxIsOpenTest : public FaultTest,
                                       public testing::WithParamInterface<LeaveRequest> {};

TEST_P(LeaveWhileFailureBoxIsOpenTest, RunFinishesFirstThenTheProgramEndsWithZero) {
    HWND box = nullptr;
    ASSERT_NO_FATAL_FAILURE(runIntoHungUpBox(box));
    op_.requestLeave(GetParam());
    expectRunStillWaiting();

    driver::dismiss(box);
    EXPECT_EQ(op_.app().waitForExit(), 0u)
        << "the request is carried out once the run has returned";
    EXPECT_EQ(portHolders(line_, true), "");
    EXPECT_EQ(emulator_.received(), "") << "no display answered, so leaving opens no port";
}

INSTANTIATE_TEST_SUITE_P(Requests, LeaveWhileFailureBoxIsOpenTest,
                         testing::Values(LeaveRequest::CloseMessage, LeaveRequest::ExitCommand),
                         testing::PrintToStringParamName());

TEST_F(FaultTest, HangUpDuringTheReleaseStillEndsWithZeroAndNoMessage) {
    // The run's bytes pass; the release's ESC @ makes the line hang up.
    size_t runBytes = (kTestRunBytes.size() + 1) / 3;
    ASSERT_NO_FATAL_FAILURE(startOn("--hangup-after " + std::to_string(runBytes + 1)));
    ASSERT_NO_FATAL_FAILURE(runGoodTest(emulator_));
    exitWithZeroAndNoBox();
    EXPECT_TRUE(emulator_.waitForEvent("hangup", 3000)) << "the release's bytes never came";
    EXPECT_EQ(emulator_.received(), kTestRunBytes + " " + hex(kInitialiseDisplay));
    EXPECT_EQ(portHolders(line_, true), "");
}

// How the port disappears between a good test and Exit.
enum class PortLoss { LinkRemoved, EmulatorStopped };

class PortGoneBeforeExitTest : public FaultTest, public testing::WithParamInterface<PortLoss> {};

TEST_P(PortGoneBeforeExitTest, ExitStillEndsWithZeroAndNoMessage) {
    bool linkRemoved = GetParam() == PortLoss::LinkRemoved;
    EmulatorClient doomed;
    std::string error;
    ASSERT_TRUE(doomed.connect("fault-doomed", error)) << error;
    EmulatorClient& line = linkRemoved ? emulator_ : doomed;
    std::string pty = line.pty();
    ASSERT_NO_FATAL_FAILURE(start(line.port()));
    ASSERT_NO_FATAL_FAILURE(runGoodTest(line));
    EXPECT_EQ(portHolders(pty, false), "");

    bool ok = false;
    std::string port = narrow(emulator_.port());
    std::transform(port.begin(), port.end(), port.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    std::string said = linkRemoved ? runLineHelper("unlink-port " + port, ok)
                                   : runLineHelper("stop " + doomed.pid(), ok);
    ASSERT_TRUE(ok) << said;
    exitWithZeroAndNoBox();
    EXPECT_EQ(line.received(), kTestRunBytes) << "the release reached a port that had gone";
}

INSTANTIATE_TEST_SUITE_P(Losses, PortGoneBeforeExitTest,
                         testing::Values(PortLoss::LinkRemoved, PortLoss::EmulatorStopped),
                         [](const testing::TestParamInfo<PortLoss>& info) {
                             return std::string(info.param == PortLoss::LinkRemoved
                                                    ? "LinkRemoved"
                                                    : "EmulatorStopped");
                         });

} // namespace
