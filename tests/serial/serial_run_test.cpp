// The whole test run and the release over the real link under Wine, against the emulated display.
#include "display/test_run.h"
#include "serial/win32_serial_link.h"
#include "tests/support/emulator_test.h"
#include "tests/support/expected_report.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Room above a run's own waiting for Wine and a loaded 2-core machine: a run that takes longer
// is waiting for something it should not.
constexpr DWORD kLoadAllowanceMs = 3000;
// How late the emulator may read a chunk on a loaded machine; its time stamps say when it read
// the bytes, not when the run wrote them.
constexpr uint64_t kReadLagMicros = 50000;

// One call a line, so that a long list prints whole when it differs.
std::string joined(const std::vector<std::string>& calls) {
    std::string text;
    for (const std::string& c : calls) {
        text += c + "\n";
    }
    return text;
}

// The count a recorded "readAvailable MAX -> COUNT" gave; false for any other call.
bool readCount(const std::string& call, unsigned& max, unsigned& count) {
    char rest = 0;
    return std::sscanf(call.c_str(), "readAvailable %u -> %u%c", &max, &count, &rest) == 2;
}

// Empty when the calls are one drain as the run must make it, whatever the line's timing:
// reads of 64 bytes with nothing between them, ending at the first empty read or after the
// 64th read; else what is wrong.
std::string drainProblem(const std::vector<std::string>& drain) {
    if (drain.empty()) {
        return "no drain";
    }
    if (drain.size() > 64) {
        return std::to_string(drain.size()) + " reads, more than 64";
    }
    for (size_t i = 0; i < drain.size(); ++i) {
        unsigned max = 0;
        unsigned count = 0;
        const std::string at = "call " + std::to_string(i + 1) + " of the drain ";
        if (!readCount(drain[i], max, count) || max != 64) {
            return at + "is " + drain[i];
        }
        if (count > max) {
            return at + "brought more than it asked for";
        }
        if (count == 0 && i + 1 < drain.size()) {
            return at + "was empty, and the drain went on";
        }
    }
    if (drain.back() != "readAvailable 64 -> 0" && drain.size() != 64) {
        return "the drain stopped after " + std::to_string(drain.size()) +
               " reads that all brought bytes";
    }
    return "";
}

// The bytes gathered by the reads between two recorded calls.
unsigned gatheredBetween(const std::vector<std::string>& calls, const std::string& from,
                         const std::string& to) {
    auto begin = std::find(calls.begin(), calls.end(), from);
    unsigned total = 0;
    for (auto c = begin; c != calls.end() && *c != to; ++c) {
        unsigned max = 0;
        unsigned count = 0;
        if (readCount(*c, max, count)) {
            total += count;
        }
    }
    return total;
}

class SerialRunTest : public EmulatorTest {
  protected:
    SerialRunTest() : EmulatorTest("serial-run") {}

    void SetUp() override {
        EmulatorTest::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        path_ = pathOf(emulator_.port());
        console_.portText = emulator_.port();
        DisplayAnswered = false; // as the dialog does before each test
    }

    // Runs one test; returns its length in milliseconds.
    DWORD run() {
        DWORD begin = GetTickCount();
        runTest(path_, LineSettings{}, console_, recording_);
        return GetTickCount() - begin;
    }

    DevicePath path_;
    CallLog log_;
    RecordingConsole console_{log_};
    Win32SerialLink link_;
    RecordingLink recording_{log_, link_};
};

// The replies the emulator's mode gives, as the collections gather them.
struct RunCase {
    const char* name;
    std::string mode;
    std::string ack;
    std::string product;
    bool answered;
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class SerialRunModeTest : public SerialRunTest, public testing::WithParamInterface<RunCase> {};

// Every display the run can meet without a failure: the run writes every command, shows the
// report, and puts the line back as it found it.
TEST_P(SerialRunModeTest, RunWritesEveryCommandAndReportsWhatCameBack) {
    const RunCase& c = GetParam();
    mode(c.mode + " --initial 9600,8N2");
    // The emulator polls the settings: look while the run holds the line in its 300 ms pause.
    std::string duringRun;
    recording_.beforePause = [&](uint32_t ms) {
        if (ms == 300) {
            duringRun = emulator_.waitForSettings(kTestDefaults, 2000);
        }
    };
    run();
    EXPECT_EQ(joined(expectedGoodRunCalls(emulator_.port(), expectedReport(c.ack, c.product))),
              joined(recording_.callsOutsideCollection()));
    EXPECT_EQ(c.answered, DisplayAnswered);
    EXPECT_EQ(kTestRunBytes, emulator_.receivedOnceItHas(kTestRunBytes));
    EXPECT_EQ(kTestDefaults, duringRun);
    EXPECT_EQ(k9600TwoStops, emulator_.waitForSettings(k9600TwoStops, 2000));
}

INSTANTIATE_TEST_SUITE_P(
    Displays, SerialRunModeTest,
    testing::Values(RunCase{"FirstKnownProduct", "", kSetupAckReply, productReply(kKnownTypes[0]),
                            true},
                    RunCase{"SecondKnownProduct", "--product t307a01", kSetupAckReply,
                            productReply(kKnownTypes[1]), true},
                    RunCase{"UnknownProduct", "--product unknown", kSetupAckReply,
                            productReply("CU40026-TW200A "), true},
                    // Every byte a read apart: the collection still gathers both replies whole.
                    RunCase{"TrickledReplies", "--trickle 20", kSetupAckReply,
                            productReply(kKnownTypes[0]), true},
                    RunCase{"OverlongReplies", "--overlong 1", kSetupAckReply + "\x2A",
                            productReply(kKnownTypes[0]) + "\x2A", false}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

TEST_F(SerialRunTest, PassingRunKeepsItsPausesOnTheLineAndTheReleaseReinitialises) {
    mode("--initial 9600,8N2");
    run();
    ASSERT_TRUE(DisplayAnswered);
    ASSERT_EQ(kTestRunBytes, emulator_.receivedOnceItHas(kTestRunBytes));
    // 300 ms between the greeting and set-up mode start; 200 ms between its end and "Test OK".
    std::vector<EmulatorEvent> log = emulator_.events();
    uint64_t before = 0;
    std::vector<uint64_t> gaps;
    for (const EmulatorEvent& e : log) {
        if (e.kind != "recv") {
            continue;
        }
        if (e.details.rfind(hex(kSetupModeStart), 0) == 0 ||
            e.details.rfind(hex(kFinalMessage), 0) == 0) {
            gaps.push_back(e.micros - before);
        }
        before = e.micros;
    }
    // A pause cut short, or bytes held back and sent together, shows as a gap short by more
    // than the emulator's lateness in reading the earlier chunk.
    ASSERT_EQ(2u, gaps.size());
    EXPECT_GE(gaps[0], 300000u - kReadLagMicros);
    EXPECT_GE(gaps[1], 200000u - kReadLagMicros);

    log_.lines.clear();
    std::string duringRelease;
    recording_.beforePause = [&](uint32_t ms) {
        if (ms == 20) {
            duringRelease = emulator_.waitForSettings(kRelease, 2000);
        }
    };
    releaseDisplay(path_, console_, recording_);
    EXPECT_EQ(joined(expectedReleaseCalls(emulator_.port())), joined(log_.lines));
    EXPECT_EQ(kTestRunBytes + " " + hex(kInitialiseDisplay),
              emulator_.receivedOnceItHas(kTestRunBytes + " " + hex(kInitialiseDisplay)));
    EXPECT_EQ(kRelease, duringRelease);
    EXPECT_EQ(k9600TwoStops, emulator_.waitForSettings(k9600TwoStops, 2000));
}

// The one slow case: two silences of 50 empty reads 100 ms apart.
TEST_F(SerialRunTest, SilentDisplayGetsBothCommandsAndAnIncorrectReportAfterTwoSilences) {
    const DWORD waitsMs = kRunPausesMs + 2 * 50 * 100;
    // Sleep never returns early, but it runs on the real-time clock and GetTickCount counts
    // whole milliseconds: the measured length may fall a little short of the waits.
    const DWORD clockSlackMs = 200;
    mode("--silent");
    DWORD ms = run();
    EXPECT_EQ(joined(expectedGoodRunCalls(emulator_.port(), expectedReport("", ""))),
              joined(recording_.callsOutsideCollection()));
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(kTestRunBytes, emulator_.receivedOnceItHas(kTestRunBytes));
    EXPECT_GE(ms, waitsMs - clockSlackMs);
    EXPECT_LT(ms, waitsMs + kLoadAllowanceMs);
}

// A device that never stops sending. The emulator fills the line before the mode begins and
// tops it up every millisecond, but a read may still find it empty for a moment, as the pty and
// the scheduler have it: then the drain rightly ends early. Its exact bound is proven against
// the fake link; here what holds whatever the line's timing: the drain keeps its rules and ends,
// the run goes on with every command, and the report is the filler that came, cut at capacity.
TEST_F(SerialRunTest, NeverEndingSenderDoesNotHoldTheRun) {
    mode("--flood --silent");
    DWORD ms = run();
    EXPECT_LT(ms, kRunPausesMs + kLoadAllowanceMs);

    const std::vector<std::string>& calls = log_.lines;
    auto greeting = std::find(calls.begin(), calls.end(), "write " + hex(kGreeting));
    auto pause = std::find(greeting, calls.end(), "pause 300");
    ASSERT_NE(calls.end(), pause) << joined(calls);
    std::vector<std::string> drain(greeting + 1, pause);
    EXPECT_EQ("", drainProblem(drain)) << joined(drain);
    // A collection ends on reaching its count (a flood is never silent), one read may bring
    // far more; the report shows exactly what the reads brought.
    unsigned ack =
        gatheredBetween(calls, "write " + hex(kSetupModeStart), "write " + hex(kReadProductType));
    unsigned product =
        gatheredBetween(calls, "write " + hex(kReadProductType), "write " + hex(kSetupModeEnd));
    EXPECT_GE(ack, 4u);
    EXPECT_GE(product, 18u);
    // Outside the drain and the collections, the calls of a full run, with that report.
    std::vector<std::string> rest;
    for (const std::string& c : recording_.callsOutsideCollection()) {
        if (c.rfind("readAvailable 64 ", 0) != 0) {
            rest.push_back(c);
        }
    }
    std::vector<std::string> expected = expectedGoodRunCalls(
        emulator_.port(), expectedReport(std::string(ack, '\x2A'), std::string(product, '\x2A')));
    expected.erase(std::find(expected.begin(), expected.end(), "readAvailable 64 -> 0"));
    EXPECT_EQ(joined(expected), joined(rest));
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(kTestRunBytes, emulator_.receivedOnceItHas(kTestRunBytes));
}

// The display goes away once it has the greeting: the next write fails, the run says so
// once in the result box and once in a box, and puts back and closes the port.
TEST_F(SerialRunTest, HangUpMidRunEndsInTheWriteFailure) {
    mode("--hangup-after " + std::to_string(kInitialiseDisplay.length + kGreeting.length));
    DWORD ms = run();
    // Shorter than a silence limit: the run does not wait out a dead line.
    EXPECT_LT(ms, 5000u);
    std::vector<std::string> expected = expectedGoodRunCalls(emulator_.port(), L"");
    expected.resize(8); // up to the 300 ms pause
    expected.insert(expected.end(), {"write " + hex(kSetupModeStart) + " -> fail",
                                     "setResultText ERROR: WriteFile() returned error.",
                                     "showMessage WriteFile() returned error. | Error.",
                                     "restoreSettings", "close"});
    EXPECT_EQ(joined(expected), joined(recording_.callsOutsideCollection()));
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(hex(kInitialiseDisplay) + " " + hex(kGreeting), emulator_.received());
    EXPECT_EQ(std::vector<std::string>{"27"}, emulator_.events("hangup"));
}

} // namespace
