// The whole test run and the release over the real link under Wine, against the emulated display.
#include "display/test_run.h"
#include "serial/win32_serial_link.h"
#include "tests/serial/recording.h"
#include "tools/driver/emulator_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// What one run writes: ESC @; "Noritake Itron" CR LF "VFD test" NUL; set-up mode start;
// product-type request; set-up mode end; "Test OK" NUL.
const std::string kInitialise = "1B 40";
const std::string kGreeting =
    "4E 6F 72 69 74 61 6B 65 20 49 74 72 6F 6E 0D 0A 56 46 44 20 74 65 73 74 00";
const std::string kStart = "1F 28 65 01 49 4E";
const std::string kRequest = "1F 28 65 40 30";
const std::string kEnd = "1F 28 65 02 4F 55 54";
const std::string kFinal = "54 65 73 74 20 4F 4B 00";
const std::string kWholeRun =
    kInitialise + " " + kGreeting + " " + kStart + " " + kRequest + " " + kEnd + " " + kFinal;

// The line's settings before each run, during it, and during the release, as the emulator
// reports them.
const std::string k9600TwoStops = "speed=9600 bits=8 parity=none stop=2 rtscts=off";
const std::string kTestDefaults = "speed=38400 bits=8 parity=none stop=1 rtscts=on";
const std::string kRelease = "speed=38400 bits=8 parity=none stop=1 rtscts=off";

// A run's own pauses: 300 ms after the greeting, 200 after set-up mode end, 200 after "Test OK".
constexpr DWORD kRunPausesMs = 700;
// Room above a run's own waiting for Wine and a loaded 2-core machine: a run that takes longer
// is waiting for something it should not.
constexpr DWORD kLoadAllowanceMs = 3000;
// How late the emulator may read a chunk on a loaded machine; its time stamps say when it read
// the bytes, not when the run wrote them.
constexpr uint64_t kReadLagMicros = 50000;

const wchar_t kAckPiece[] = L"User set up mode start returned 4 bytes: 28 65 01 00  (OK)\r\n";
const wchar_t kProductHead[] = L"Read Status information (Product type) returned 18 bytes:\r\n";

// The link's calls outside reply collection on a run that goes through.
const std::vector<std::string> kFullRunCalls = {
    "open ok",      "readSettings ok", "applyTestSettings ok",  "applyTimeouts 4000 ok",
    "write 2 -> 2", "write 25 -> 25",  "readAvailable 64 -> 0", "pause 300",
    "write 6 -> 6", "write 5 -> 5",    "write 7 -> 7",          "pause 200",
    "write 8 -> 8", "pause 200",       "restoreSettings",       "close"};

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

// The report for replies of filler bytes 2A, ack and product bytes long: each dumped and
// marked incorrect, the whole cut at the report's 255 units.
std::wstring fillerReport(unsigned ack, unsigned product) {
    std::wstring report = L"User set up mode start returned " + std::to_wstring(ack) + L" bytes: ";
    for (unsigned i = 0; i < ack; ++i) {
        report += L"2A ";
    }
    report += L" (Incorrect)\r\nRead Status information (Product type) returned " +
              std::to_wstring(product) + L" bytes:\r\n";
    for (unsigned i = 0; i < product; ++i) {
        report += L"2A ";
    }
    return (report + L" (Incorrect)\r\n").substr(0, 255);
}

class SerialRunTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(emulator_.connect(error)) << error;
        path_.reset();
        std::wcsncpy(path_.name(), emulator_.port().c_str(), kPortNameMaxUnits);
        console_.portText = emulator_.port();
        DisplayAnswered = false; // as the dialog does before each test
    }

    void mode(const std::string& options) {
        std::string error;
        ASSERT_TRUE(emulator_.setMode(options, error)) << error;
    }

    // Runs one test; returns its length in milliseconds.
    DWORD run() {
        DWORD begin = GetTickCount();
        runTest(path_, LineSettings{}, console_, recording_);
        return GetTickCount() - begin;
    }

    // Waits for the emulator to have received `bytes` (hex) and returns what it received.
    std::string receivedOnceItHas(const std::string& bytes) {
        emulator_.waitForBytes("recv", (bytes.size() + 1) / 3, 2000);
        return emulator_.received();
    }

    EmulatorClient emulator_;
    DevicePath path_;
    RecordingConsole console_;
    Win32SerialLink link_;
    RecordingLink recording_{link_};
};

struct RunCase {
    const char* name;
    std::string mode;
    std::wstring report;
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
    EXPECT_EQ(std::vector<std::wstring>{L"setResultText " + c.report}, console_.calls);
    EXPECT_EQ(c.answered, DisplayAnswered);
    EXPECT_EQ(kFullRunCalls, recording_.callsOutsideCollection());
    EXPECT_EQ(kWholeRun, receivedOnceItHas(kWholeRun));
    EXPECT_EQ(kTestDefaults, duringRun);
    EXPECT_EQ(k9600TwoStops, emulator_.waitForSettings(k9600TwoStops, 2000));
}

INSTANTIATE_TEST_SUITE_P(
    Displays, SerialRunModeTest,
    testing::Values(
        RunCase{"FirstKnownProduct", "",
                std::wstring(kAckPiece) + kProductHead +
                    L"28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20  (OK)\r\n"
                    L"Test result: PASS.\r\n",
                true},
        RunCase{"SecondKnownProduct", "--product t307a01",
                std::wstring(kAckPiece) + kProductHead +
                    L"28 65 40 43 55 32 30 30 32 39 54 33 30 37 41 30 31 20  (OK)\r\n"
                    L"Test result: PASS.\r\n",
                true},
        RunCase{"UnknownProduct", "--product unknown",
                std::wstring(kAckPiece) + kProductHead +
                    L"28 65 40 43 55 34 30 30 32 36 2D 54 57 32 30 30 41 20  (OK)\r\n"
                    L"Test result: FAIL - unrecognised product type\r\n",
                true},
        // Every byte a read apart: the collection still gathers both replies whole.
        RunCase{"TrickledReplies", "--trickle 20",
                std::wstring(kAckPiece) + kProductHead +
                    L"28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20  (OK)\r\n"
                    L"Test result: PASS.\r\n",
                true},
        RunCase{"OverlongReplies", "--overlong 1",
                L"User set up mode start returned 5 bytes: 28 65 01 00 2A  (Incorrect)\r\n"
                L"Read Status information (Product type) returned 19 bytes:\r\n"
                L"28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20 2A  (Incorrect)\r\n",
                false}),
    [](const testing::TestParamInfo<RunCase>& info) { return std::string(info.param.name); });

TEST_F(SerialRunTest, PassingRunKeepsItsPausesOnTheLineAndTheReleaseReinitialises) {
    mode("--initial 9600,8N2");
    run();
    ASSERT_TRUE(DisplayAnswered);
    ASSERT_EQ(kWholeRun, receivedOnceItHas(kWholeRun));
    // 300 ms between the greeting and set-up mode start; 200 ms between its end and "Test OK".
    std::vector<EmulatorEvent> log = emulator_.events();
    uint64_t before = 0;
    std::vector<uint64_t> gaps;
    for (const EmulatorEvent& e : log) {
        if (e.kind != "recv") {
            continue;
        }
        if (e.details.rfind(kStart, 0) == 0 || e.details.rfind(kFinal, 0) == 0) {
            gaps.push_back(e.micros - before);
        }
        before = e.micros;
    }
    // A pause cut short, or bytes held back and sent together, shows as a gap short by more
    // than the emulator's lateness in reading the earlier chunk.
    ASSERT_EQ(2u, gaps.size());
    EXPECT_GE(gaps[0], 300000u - kReadLagMicros);
    EXPECT_GE(gaps[1], 200000u - kReadLagMicros);

    console_.calls.clear();
    recording_.calls.clear();
    std::string duringRelease;
    recording_.beforePause = [&](uint32_t ms) {
        if (ms == 20) {
            duringRelease = emulator_.waitForSettings(kRelease, 2000);
        }
    };
    releaseDisplay(path_, console_, recording_);
    const std::wstring capacity = std::to_wstring(emulator_.port().size() + 1);
    EXPECT_EQ(
        (std::vector<std::wstring>{L"portTextLength", L"getPortText " + capacity, L"postQuit 0"}),
        console_.calls);
    EXPECT_EQ((std::vector<std::string>{"open ok", "readSettings ok", "applyReleaseSettings ok",
                                        "applyTimeouts 1000 ok", "write 2 -> 2", "pause 20",
                                        "restoreSettings", "close"}),
              recording_.calls);
    EXPECT_EQ(kWholeRun + " " + kInitialise, receivedOnceItHas(kWholeRun + " " + kInitialise));
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
    const std::wstring report = L"User set up mode start returned 0 bytes:  (Incorrect)\r\n"
                                L"Read Status information (Product type) returned 0 bytes:\r\n"
                                L" (Incorrect)\r\n";
    EXPECT_EQ(127u, report.size());
    EXPECT_EQ(std::vector<std::wstring>{L"setResultText " + report}, console_.calls);
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(kFullRunCalls, recording_.callsOutsideCollection());
    EXPECT_EQ(kWholeRun, receivedOnceItHas(kWholeRun));
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

    const std::vector<std::string>& calls = recording_.calls;
    auto greeting = std::find(calls.begin(), calls.end(), "write 25 -> 25");
    auto pause = std::find(greeting, calls.end(), "pause 300");
    ASSERT_NE(calls.end(), pause) << joined(calls);
    std::vector<std::string> drain(greeting + 1, pause);
    EXPECT_EQ("", drainProblem(drain)) << joined(drain);
    // Outside the drain and the collections, the calls of a full run.
    std::vector<std::string> rest;
    for (const std::string& c : recording_.callsOutsideCollection()) {
        if (c.rfind("readAvailable 64 ", 0) != 0) {
            rest.push_back(c);
        }
    }
    std::vector<std::string> expected = kFullRunCalls;
    expected.erase(std::find(expected.begin(), expected.end(), "readAvailable 64 -> 0"));
    EXPECT_EQ(joined(expected), joined(rest));

    // A collection ends on reaching its count (a flood is never silent), one read may bring
    // far more; the report shows exactly what the reads brought.
    unsigned ack = gatheredBetween(calls, "write 6 -> 6", "write 5 -> 5");
    unsigned product = gatheredBetween(calls, "write 5 -> 5", "write 7 -> 7");
    EXPECT_GE(ack, 4u);
    EXPECT_GE(product, 18u);
    EXPECT_EQ(std::vector<std::wstring>{L"setResultText " + fillerReport(ack, product)},
              console_.calls);
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(kWholeRun, receivedOnceItHas(kWholeRun));
}

// The display goes away once it has the greeting: the next write fails, the run says so
// once in the result box and once in a box, and puts back and closes the port.
TEST_F(SerialRunTest, HangUpMidRunEndsInTheWriteFailure) {
    mode("--hangup-after 27");
    DWORD ms = run();
    // Shorter than a silence limit: the run does not wait out a dead line.
    EXPECT_LT(ms, 5000u);
    EXPECT_EQ((std::vector<std::wstring>{L"setResultText ERROR: WriteFile() returned error.",
                                         L"showMessage WriteFile() returned error. | Error."}),
              console_.calls);
    EXPECT_EQ((std::vector<std::string>{"open ok", "readSettings ok", "applyTestSettings ok",
                                        "applyTimeouts 4000 ok", "write 2 -> 2", "write 25 -> 25",
                                        "readAvailable 64 -> 0", "pause 300", "write 6 failed",
                                        "restoreSettings", "close"}),
              recording_.callsOutsideCollection());
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(kInitialise + " " + kGreeting, emulator_.received());
    EXPECT_EQ(std::vector<std::string>{"27"}, emulator_.events("hangup"));
}

} // namespace
