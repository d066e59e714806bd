// What other tests rely on in the support library: one log format, and misuse failing a test.
#include "display/test_run.h"
#include "tests/support/device_path.h"
#include "tests/support/expected_report.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Failure messages show every unit: control and non-ASCII units by their number.
TEST(NarrowTest, EscapesEveryUnitOutsidePrintableAscii) {
    EXPECT_EQ(narrow(L"A ~\r\n\x1B\x7F\xE9\x20AC"), "A ~\\r\\n\\u001B\\u007F\\u00E9\\u20AC");
}

struct PassCase {
    const char* name;
    std::function<void(RecordingLink&)> script;
};

void PrintTo(const PassCase& c, std::ostream* os) {
    *os << c.name;
}

class PassThroughTest : public testing::TestWithParam<PassCase> {};

// A link that passes calls on records exactly what the link it wraps records for itself: the
// serial tests read the same lines off the real port as the core's tests off the script.
TEST_P(PassThroughTest, RecordsWhatTheInnerLinkRecords) {
    CallLog innerLog;
    CallLog outerLog;
    CallLog consoleLog;
    RecordingLink inner(innerLog);
    RecordingLink outer(outerLog, inner);
    RecordingConsole console(consoleLog);
    GetParam().script(inner);
    DisplayAnswered = false;
    DevicePath path = pathOf(L"COM3");
    runTest(path, LineSettings{}, console, outer);
    DisplayAnswered = true;
    console.portText = L"COM3";
    releaseDisplay(path, console, outer);
    EXPECT_EQ(innerLog.lines, outerLog.lines);
    EXPECT_EQ(inner.wire(), outer.wire());
    EXPECT_EQ(inner.now(), outer.now());
    EXPECT_EQ(outer.opens(), outer.closes());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, PassThroughTest,
    testing::Values(PassCase{"Answers",
                             [](RecordingLink& link) {
                                 link.answerRequests(kSetupAckReply, "\x28\x65\x40");
                                 link.limitReadChunk(2);
                             }},
                    PassCase{"FailedRead",
                             [](RecordingLink& link) { link.failCall("readAvailable", 2); }},
                    PassCase{"FailedOpen", [](RecordingLink& link) { link.failCall("open"); }},
                    PassCase{"ShortWrite", [](RecordingLink& link) { link.shortWrite(2, 7); }}),
    [](const testing::TestParamInfo<PassCase>& info) { return std::string(info.param.name); });

struct MisuseCase {
    const char* name;
    std::function<void(RecordingLink& scripted, RecordingLink& passing)> act;
    std::vector<std::string> log;
};

void PrintTo(const MisuseCase& c, std::ostream* os) {
    *os << c.name;
}

class MisuseTest : public testing::TestWithParam<MisuseCase> {};

// Each misuse lands in the log, counts (a plain program's verdict) and fails the running test
// (a GoogleTest program's), which this test intercepts.
TEST_P(MisuseTest, IsLoggedCountedAndFailsTheTest) {
    CallLog log;
    CallLog innerLog;
    RecordingLink scripted(log);
    RecordingLink inner(innerLog);
    RecordingLink passing(log, inner);
    int before = misuseCount();
    testing::TestPartResultArray failures;
    {
        testing::ScopedFakeTestPartResultReporter intercept(
            testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &failures);
        GetParam().act(scripted, passing);
    }
    std::vector<std::string> expectedFailures;
    for (const std::string& line : GetParam().log) {
        if (line.rfind("misuse: ", 0) == 0) {
            expectedFailures.push_back("Failed\nmisuse of a recording fake: " + line.substr(8));
        }
    }
    std::vector<std::string> failed;
    for (int i = 0; i < failures.size(); ++i) {
        failed.push_back(failures.GetTestPartResult(i).message());
    }
    EXPECT_EQ(GetParam().log, log.lines);
    EXPECT_EQ(expectedFailures, failed);
    EXPECT_EQ(before + static_cast<int>(expectedFailures.size()), misuseCount());
}

INSTANTIATE_TEST_SUITE_P(
    Calls, MisuseTest,
    testing::Values(
        MisuseCase{"WriteOnAClosedLink",
                   [](RecordingLink& link, RecordingLink&) {
                       uint32_t written = 0;
                       const uint8_t init[] = {0x1B, 0x40};
                       link.write(init, 2, &written);
                   },
                   {"misuse: write on a link that is not open", "write 1B 40"}},
        MisuseCase{"SecondOpen",
                   [](RecordingLink& link, RecordingLink&) {
                       link.open(pathOf(L""));
                       link.open(pathOf(L""));
                   },
                   {"open \\\\.\\", "misuse: open while already open", "open \\\\.\\"}},
        MisuseCase{"ScriptingALinkThatPassesCallsOn",
                   [](RecordingLink&, RecordingLink& link) {
                       link.answer({0x1B}, {0x00});
                       link.sendForever(0x55, 1);
                   },
                   {"misuse: answer on a link that passes its calls on",
                    "misuse: sendForever on a link that passes its calls on"}},
        // A loop that never ends is stopped by failing its reads, once it has had its fill.
        MisuseCase{"RunThatNeverEnds",
                   [](RecordingLink& link, RecordingLink&) {
                       link.open(pathOf(L""));
                       link.sendForever(0x55, 1);
                       uint8_t byte = 0;
                       uint32_t read = 0;
                       int reads = 0;
                       while (link.readAvailable(&byte, 1, &read) &&
                              ++reads < 2 * RecordingLink::kCallLimit) {
                       }
                       EXPECT_EQ(RecordingLink::kCallLimit - 2, reads);
                       link.close();
                   },
                   [] {
                       std::vector<std::string> log = {"open \\\\.\\"};
                       log.insert(log.end(), RecordingLink::kCallLimit - 2, "readAvailable 1 -> 1");
                       log.push_back("misuse: 10000 calls: the run does not end");
                       log.push_back("readAvailable 1 -> fail");
                       log.push_back("close");
                       return log;
                   }()}),
    [](const testing::TestParamInfo<MisuseCase>& info) { return std::string(info.param.name); });

} // namespace
