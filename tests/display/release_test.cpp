// The release on leaving: when it opens the port, what it sends, and postQuit(0) on every path.
#include "display/test_run.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class ReleaseDisplayTest : public testing::Test {
protected:
    void SetUp() override {
        DisplayAnswered = true;
        path.reset();
        std::wcscpy(path.name(), L"COM3"); // what the last test used
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
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "portTextLength -> 4", "getPortText 5", "open \\\\.\\COM4",
                             "readSettings", "applyReleaseSettings", "applyTimeouts 1000",
                             "write 1B 40", "pause 20", "restoreSettings", "close",
                             "postQuit 0"}));
    EXPECT_TRUE(DisplayAnswered);
    EXPECT_EQ(link.now(), 20u);
}

TEST_F(ReleaseDisplayTest, LongNameIsCutSilentlyToSixteenCharacters) {
    console.portText = L"COM12345678901234567"; // 20 characters
    release();
    EXPECT_EQ(log.lines, (std::vector<std::string>{
                             "portTextLength -> 20", "getPortText 17",
                             "setPortText COM1234567890123", "open \\\\.\\COM1234567890123",
                             "readSettings", "applyReleaseSettings", "applyTimeouts 1000",
                             "write 1B 40", "pause 20", "restoreSettings", "close",
                             "postQuit 0"}));
    EXPECT_EQ(console.portText, L"COM1234567890123");
}

TEST_F(ReleaseDisplayTest, EmptyPortBoxOpensTheBarePrefixAndEndsQuietly) {
    console.portText = L"";
    link.failCall("open");
    release();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"portTextLength -> 0", "getPortText 1",
                                                   "open \\\\.\\ -> fail", "postQuit 0"}));
}

struct ReleaseFailureCase {
    const char* name;
    const char* op;
    std::vector<std::string> tail; // the calls after the port name was read
};

void PrintTo(const ReleaseFailureCase& c, std::ostream* os) { *os << c.name; }

class ReleaseFailureTest : public ReleaseDisplayTest,
                           public testing::WithParamInterface<ReleaseFailureCase> {};

TEST_P(ReleaseFailureTest, FailureOnlyShortensTheSequence) {
    const ReleaseFailureCase& c = GetParam();
    if (std::string(c.op) == "short") {
        link.shortWrite(1, 1);
    } else {
        link.failCall(c.op);
    }
    release();
    std::vector<std::string> want = {"portTextLength -> 4", "getPortText 5"};
    want.insert(want.end(), c.tail.begin(), c.tail.end());
    EXPECT_EQ(log.lines, want);
    EXPECT_EQ(link.opens(), link.closes());
    EXPECT_FALSE(link.isOpen());
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, ReleaseFailureTest,
    testing::Values(
        ReleaseFailureCase{"open", "open", {"open \\\\.\\COM4 -> fail", "postQuit 0"}},
        ReleaseFailureCase{"getSettings",
                           "readSettings",
                           {"open \\\\.\\COM4", "readSettings -> fail", "close", "postQuit 0"}},
        ReleaseFailureCase{"setSettings",
                           "applyReleaseSettings",
                           {"open \\\\.\\COM4", "readSettings", "applyReleaseSettings -> fail",
                            "close", "postQuit 0"}},
        // No write under unknown time-outs, but the settings still go back.
        ReleaseFailureCase{"timeouts",
                           "applyTimeouts",
                           {"open \\\\.\\COM4", "readSettings", "applyReleaseSettings",
                            "applyTimeouts 1000 -> fail", "restoreSettings", "close",
                            "postQuit 0"}},
        ReleaseFailureCase{"write",
                           "write",
                           {"open \\\\.\\COM4", "readSettings", "applyReleaseSettings",
                            "applyTimeouts 1000", "write 1B 40 -> fail", "pause 20",
                            "restoreSettings", "close", "postQuit 0"}},
        ReleaseFailureCase{"shortWrite",
                           "short",
                           {"open \\\\.\\COM4", "readSettings", "applyReleaseSettings",
                            "applyTimeouts 1000", "write 1B 40 -> 1", "pause 20",
                            "restoreSettings", "close", "postQuit 0"}}),
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
        DevicePath path;
        path.reset();
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
