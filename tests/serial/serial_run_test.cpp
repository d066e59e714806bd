// The whole test run and the release over the real link under Wine, against the emulated display.
#include "display/test_run.h"
#include "serial/win32_serial_link.h"
#include "tools/driver/emulator_client.h"
#include "tests/serial/recording.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// The line's settings before each run, as the emulator reports them.
const std::string k9600TwoStops = "speed=9600 bits=8 parity=none stop=2 rtscts=off";

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
    run();
    EXPECT_EQ(std::vector<std::wstring>{L"setResultText " + c.report}, console_.calls);
    EXPECT_EQ(c.answered, DisplayAnswered);
    EXPECT_EQ(kFullRunCalls, recording_.callsOutsideCollection());
    EXPECT_EQ(kWholeRun, receivedOnceItHas(kWholeRun));
    EXPECT_EQ(k9600TwoStops, emulator_.waitForSettings(k9600TwoStops, 2000));
    std::vector<std::string> settings = emulator_.events("settings");
    EXPECT_NE(settings.end(), std::find(settings.begin(), settings.end(),
                                        "speed=38400 bits=8 parity=none stop=1 rtscts=on"));
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
            gaps.push_back((e.micros - before) / 1000);
        }
        before = e.micros;
    }
    ASSERT_EQ(2u, gaps.size());
    EXPECT_GE(gaps[0], 300u);
    EXPECT_GE(gaps[1], 200u);

    console_.calls.clear();
    releaseDisplay(path_, console_, recording_);
    const std::wstring capacity = std::to_wstring(emulator_.port().size() + 1);
    EXPECT_EQ(
        (std::vector<std::wstring>{L"portTextLength", L"getPortText " + capacity, L"postQuit 0"}),
        console_.calls);
    EXPECT_EQ(kWholeRun + " " + kInitialise, receivedOnceItHas(kWholeRun + " " + kInitialise));
    EXPECT_EQ(k9600TwoStops, emulator_.waitForSettings(k9600TwoStops, 2000));
    std::vector<std::string> settings = emulator_.events("settings");
    EXPECT_NE(settings.end(), std::find(settings.begin(), settings.end(),
                                        "speed=38400 bits=8 parity=none stop=1 rtscts=off"));
}

// The one slow case: two silences of 50 empty reads 100 ms apart.
TEST_F(SerialRunTest, SilentDisplayGetsBothCommandsAndAnIncorrectReportAfterTwoSilences) {
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
    EXPECT_GE(ms, 10500u);
    EXPECT_LT(ms, 14000u);
}

// A device that never stops sending: the drain gives up after 64 reads of 64 bytes and the run
// goes on; the replies are the filler, cut at the report's capacity.
TEST_F(SerialRunTest, NeverEndingSenderDoesNotHoldTheRun) {
    mode("--flood --silent");
    DWORD ms = run();
    EXPECT_LT(ms, 3000u);
    // How much each drain read finds depends on how fast the filler comes; that it finds some
    // every time is what keeps the drain going.
    std::vector<std::string> calls;
    for (const std::string& c : recording_.callsOutsideCollection()) {
        bool found = c.rfind("readAvailable 64 -> ", 0) == 0 && c != "readAvailable 64 -> 0";
        calls.push_back(found ? "readAvailable 64 -> some" : c);
    }
    std::vector<std::string> expected(kFullRunCalls.begin(), kFullRunCalls.begin() + 6);
    expected.insert(expected.end(), 64, "readAvailable 64 -> some");
    expected.insert(expected.end(), kFullRunCalls.begin() + 7, kFullRunCalls.end());
    EXPECT_EQ(joined(expected), joined(calls));
    ASSERT_EQ(1u, console_.calls.size());
    const std::wstring& shown = console_.calls[0];
    const std::wstring head = L"setResultText User set up mode start returned ";
    EXPECT_EQ(head, shown.substr(0, head.size()));
    EXPECT_EQ(std::wstring(L"setResultText ").size() + 255, shown.size());
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(kWholeRun, receivedOnceItHas(kWholeRun));
}

// The display goes away once it has the greeting: the next write fails, the run says so
// once in the result box and once in a box, and puts back and closes the port.
TEST_F(SerialRunTest, HangUpMidRunEndsInTheWriteFailure) {
    mode("--hangup-after 27");
    DWORD ms = run();
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
