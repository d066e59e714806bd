// The release on leaving: when it opens the port, what it sends, and postQuit(0) on every path.
#include "display/test_run.h"
#include "tests/support/device_path.h"
#include "tests/support/expected_report.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kReleaseCalls = expectedReleaseCalls(L"COM4");

class ReleaseDisplayTest : public testing::Test {
  protected:
    void SetUp() override {
        DisplayAnswered = true;
        path = pathOf(L"COM3"); // what the last test used
        console.portText = L"COM4";
    }
    void release() { releaseDisplay(path, console, link); }

    CallLog log;
    RecordingLink link{log};
    RecordingConsole console{log};
    DevicePath path;
};

TEST_F(ReleaseDisplayTest, NothingIsOpenedWhenTheDisplayDidNotAnswer) {
    DisplayAnswered = false;
    release();
    EXPECT_EQ(log.lines, std::vector<std::string>{"postQuit 0"});
}

TEST_F(ReleaseDisplayTest, AnsweredDisplayIsInitialisedAgainOnThePortNowNamed) {
    release();
    EXPECT_EQ(log.lines, kReleaseCalls);
    EXPECT_TRUE(DisplayAnswered);
    EXPECT_EQ(link.now(), 20u);
}

TEST_F(ReleaseDisplayTest, LongNameIsCutSilentlyToSixteenCharacters) {
    console.portText = L"COM12345678901234567"; // 20 characters
    release();
    std::vector<std::string> want = {"portTextLength -> 20", "getPortText 17",
                                     "setPortText COM1234567890123",
                                     "open \\\\.\\COM1234567890123"};
    want.insert(want.end(), kReleaseCalls.begin() + 3, kReleaseCalls.end());
    EXPECT_EQ(log.lines, want);
    EXPECT_EQ(console.portText, L"COM1234567890123");
}

// The failing call (its operation), what it returned, and the call the release goes on with;
// the port box names COM4 unless the row says otherwise.
struct ReleaseFailureCase {
    const char* name;
    const char* op;
    const char* result; // "fail", or the count a short write wrote
    const char* resumesAt;
    const wchar_t* portText = L"COM4";
};

void PrintTo(const ReleaseFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class ReleaseFailureTest : public ReleaseDisplayTest,
                           public testing::WithParamInterface<ReleaseFailureCase> {};

TEST_P(ReleaseFailureTest, FailureOnlyShortensTheSequence) {
    const ReleaseFailureCase& c = GetParam();
    console.portText = c.portText;
    if (std::string(c.result) == "fail") {
        link.failCall(c.op);
    } else {
        link.shortWrite(1, std::stoi(c.result));
    }
    release();
    // The successful release's calls up to the failing one, marked, then from where it goes on.
    const std::vector<std::string> calls = expectedReleaseCalls(c.portText);
    auto failed = std::find_if(calls.begin(), calls.end(),
                               [&](const std::string& call) { return call.rfind(c.op, 0) == 0; });
    auto resumed = std::find(failed, calls.end(), c.resumesAt);
    ASSERT_NE(resumed, calls.end()) << c.resumesAt;
    std::vector<std::string> want(calls.begin(), failed);
    want.push_back(*failed + " -> " + c.result);
    want.insert(want.end(), resumed, calls.end());
    EXPECT_EQ(log.lines, want);
    EXPECT_EQ(link.opens(), link.closes());
    EXPECT_FALSE(link.isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, ReleaseFailureTest,
    testing::Values(ReleaseFailureCase{"open", "open", "fail", "postQuit 0"},
                    // An empty box leaves the bare prefix, which names no device.
                    ReleaseFailureCase{"openEmptyPortBox", "open", "fail", "postQuit 0", L""},
                    ReleaseFailureCase{"getSettings", "readSettings", "fail", "close"},
                    ReleaseFailureCase{"setSettings", "applyReleaseSettings", "fail", "close"},
                    // No write under unknown time-outs, but the settings still go back.
                    ReleaseFailureCase{"timeouts", "applyTimeouts", "fail", "restoreSettings"},
                    ReleaseFailureCase{"write", "write", "fail", "pause 20"},
                    ReleaseFailureCase{"shortWrite", "write", "1", "pause 20"}),
    [](const testing::TestParamInfo<ReleaseFailureCase>& info) {
        return std::string(info.param.name);
    });

TEST(TakePortNameTest, CutsOnlyNamesLongerThanSixteen) {
    struct Case {
        std::wstring text;
        std::wstring name;
        bool cut;
    };
    const Case cases[] = {{L"", L"", false},
                          {L"COM3", L"COM3", false},
                          {L"COM4567890123456", L"COM4567890123456", false},
                          {L"COM45678901234567", L"COM4567890123456", true},
                          {std::wstring(200, L'X'), std::wstring(16, L'X'), true}};
    for (const Case& c : cases) {
        CallLog log;
        RecordingConsole console(log);
        console.portText = c.text;
        DevicePath path = pathOf(L"");
        std::fill(path.name(), path.units + kDevicePathUnits, L'#'); // must be overwritten
        EXPECT_EQ(takePortName(console, path), c.cut) << narrow(c.text);
        EXPECT_EQ(std::wstring(path.units), L"\\\\.\\" + c.name);
        EXPECT_EQ(console.portText, c.cut ? c.name : c.text);
    }
}

TEST(DevicePathTest, ResetZeroFillsAndSetsThePrefix) {
    DevicePath path;
    std::fill(path.units, path.units + kDevicePathUnits, L'#');
    path.reset();
    EXPECT_EQ(std::wstring(path.units, 4), L"\\\\.\\");
    for (size_t i = 4; i < kDevicePathUnits; ++i) {
        EXPECT_EQ(path.units[i], L'\0') << i;
    }
}

} // namespace
