// The test run against a scripted link: bytes, pauses, replies, report, failures and undoing.
#include "display/test_run.h"
#include "tests/support/device_path.h"
#include "tests/support/expected_report.h"
#include "tests/support/outcomes.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const std::string kUnknownType = "CU20029-T999Z  ";
const std::wstring kPassReport = expectedReport(kSetupAckReply, productReply(kKnownTypes[0]));

// "N" empty reads of a reply collection, each followed by its 100 ms pause.
void addSilence(std::vector<std::string>& lines, int n) {
    for (int i = 0; i < n; ++i) {
        lines.push_back("readAvailable 4096 -> 0");
        lines.push_back("pause 100");
    }
}

// The oracle's own anchors, letter by letter: a passing display's report (200 units), an
// unknown product's (227, the longest that well-formed replies give), a silent display's (127).
TEST(ExpectedReportTest, PinsTheReportsOfPassingUnknownAndSilentDisplays) {
    struct Case {
        std::string ack;
        std::string product;
        size_t units;
        std::wstring report;
    };
    const Case cases[] = {{kSetupAckReply, productReply(kKnownTypes[0]), 200,
                           L"User set up mode start returned 4 bytes: 28 65 01 00  (OK)\r\n"
                           L"Read Status information (Product type) returned 18 bytes:\r\n"
                           L"28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20  (OK)\r\n"
                           L"Test result: PASS.\r\n"},
                          {kSetupAckReply, productReply(kUnknownType), 227,
                           L"User set up mode start returned 4 bytes: 28 65 01 00  (OK)\r\n"
                           L"Read Status information (Product type) returned 18 bytes:\r\n"
                           L"28 65 40 43 55 32 30 30 32 39 2D 54 39 39 39 5A 20 20  (OK)\r\n"
                           L"Test result: FAIL - unrecognised product type\r\n"},
                          {"", "", 127,
                           L"User set up mode start returned 0 bytes:  (Incorrect)\r\n"
                           L"Read Status information (Product type) returned 0 bytes:\r\n"
                           L" (Incorrect)\r\n"}};
    for (const Case& c : cases) {
        EXPECT_EQ(narrow(expectedReport(c.ack, c.product)), narrow(c.report));
        EXPECT_EQ(c.report.size(), c.units);
    }
}

class TestRunTest : public testing::Test {
  protected:
    void SetUp() override {
        DisplayAnswered = false;
        std::memset(ReplyBuffer, 0xEE, sizeof ReplyBuffer);
        path = pathOf(L"COM3");
    }

    void answerGood() { link.answerRequests(kSetupAckReply, productReply(kKnownTypes[0])); }

    void run() { runTest(path, settings, console, link); }

    // The calls of a run against a display that answers each request at once, in one read.
    static std::vector<std::string> goodRun(const std::wstring& report, size_t ack = 4,
                                            size_t product = 18) {
        std::vector<std::string> calls = expectedGoodRunCalls(L"COM3", report);
        // Each collection's one read follows its request.
        auto ackRead = std::find(calls.begin(), calls.end(), "write " + hex(kSetupModeStart)) + 1;
        auto request = calls.insert(ackRead, "readAvailable 4096 -> " + std::to_string(ack)) + 1;
        calls.insert(request + 1, "readAvailable 4096 -> " + std::to_string(product));
        return calls;
    }

    CallLog log;
    RecordingLink link{log};
    RecordingConsole console{log};
    DevicePath path;
    LineSettings settings;
};

TEST_F(TestRunTest, SelectorsReachTheLink) {
    settings = LineSettings{3, 1, 2};
    answerGood();
    run();
    EXPECT_EQ(log.lines[2], "applyTestSettings 3 1 2");
}

// Each row: the two replies the collections gather, whether the display counts as answered,
// whether each reply comes whole in one read, and how the display sends them when not simply
// at once. None is a failure: the report is shown, then set-up mode end and "Test OK" are
// still written and the port put back.
struct ReportCase {
    const char* name;
    std::string ack;
    std::string product;
    bool answered;
    bool oneReadEach;
    std::function<void(RecordingLink&)> display = nullptr;
};

void PrintTo(const ReportCase& c, std::ostream* os) {
    *os << c.name;
}

class TestRunReportTest : public TestRunTest, public testing::WithParamInterface<ReportCase> {};

TEST_P(TestRunReportTest, ShowsTheRepliesDumpedWithTheirVerdictsAndFinishes) {
    const ReportCase& c = GetParam();
    if (c.display) {
        c.display(link);
    } else {
        link.answerRequests(c.ack, c.product);
    }
    run();
    const std::wstring report = expectedReport(c.ack, c.product);
    EXPECT_EQ(narrow(console.resultText), narrow(report));
    EXPECT_EQ(DisplayAnswered, c.answered);
    EXPECT_EQ(link.opens(), 1);
    EXPECT_EQ(link.closes(), 1);
    // The product reply stays in the receive area after the run.
    EXPECT_EQ(std::string(ReplyBuffer, ReplyBuffer + c.product.size()), c.product);
    std::vector<std::string> good = goodRun(report, c.ack.size(), c.product.size());
    if (c.oneReadEach) {
        EXPECT_EQ(log.lines, good);
        EXPECT_EQ(link.now(), kRunPausesMs);
    } else {
        auto shown = std::find(log.lines.begin(), log.lines.end(), good[good.size() - 7]);
        EXPECT_EQ(std::vector<std::string>(shown, log.lines.end()),
                  std::vector<std::string>(good.end() - 7, good.end()));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Displays, TestRunReportTest,
    testing::Values(
        ReportCase{"FirstKnownProduct", kSetupAckReply, productReply(kKnownTypes[0]), true, true},
        ReportCase{"SecondKnownProduct", kSetupAckReply, productReply(kKnownTypes[1]), true, true},
        ReportCase{"UnknownProductFailsButCountsAsAnswered", kSetupAckReply,
                   productReply(kUnknownType), true, true},
        ReportCase{"NulInTheProductType", kSetupAckReply,
                   productReply(std::string("CU20029T307A01\0", 15)), true, true},
        // Dumped whole and marked incorrect; the run goes on to the product type.
        ReportCase{"FiveByteAcknowledgement", kSetupAckReply + '\0', productReply(kKnownTypes[0]),
                   true, true},
        ReportCase{"OneByteOverEach", kSetupAckReply + '\x2A',
                   productReply(kKnownTypes[0]) + '\x2A', false, true},
        // Four bytes are there when the first collection reaches its count; two more follow
        // and stand at the front of the product reply, which is judged on the shifted bytes.
        ReportCase{"LateAcknowledgementBytesShiftTheProductReply", kSetupAckReply,
                   "\xAB\xCD" + productReply(kKnownTypes[0]), false, false,
                   [](RecordingLink& link) {
                       link.answerRequests(kSetupAckReply, productReply(kKnownTypes[0]), 10);
                       link.arriveAt(305, {0xAB, 0xCD});
                   }},
        ReportCase{"HighBytesShowAsTwoUpperCaseDigits", "\x80\xFF\x9A\xC3", "", false, false},
        ReportCase{"OverlongRepliesAreCutAtTheReportCapacity", std::string(60, 0x41),
                   std::string(100, 0x42), false, true}),
    [](const testing::TestParamInfo<ReportCase>& info) { return std::string(info.param.name); });

TEST_F(TestRunTest, SilentDisplayReportsZeroBytesAfterTwoSilenceLimits) {
    run();
    const std::wstring expected = expectedReport("", "");
    EXPECT_EQ(console.resultText, expected);
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(link.now(), kRunPausesMs + 2 * 50 * 100u);

    std::vector<std::string> good = goodRun(expected);
    std::vector<std::string> want(good.begin(), good.begin() + 9);
    addSilence(want, 50);
    want.push_back("write " + hex(kReadProductType));
    addSilence(want, 50);
    want.insert(want.end(), good.begin() + 12, good.end());
    EXPECT_EQ(log.lines, want);
}

TEST_F(TestRunTest, AcknowledgementSplitAcrossReadsIsCollectedWhole) {
    link.limitReadChunk(2);
    answerGood();
    run();
    auto start = std::find(log.lines.begin(), log.lines.end(), "write " + hex(kSetupModeStart));
    ASSERT_NE(start, log.lines.end());
    std::vector<std::string> collect(start + 1, start + 4);
    EXPECT_EQ(collect, (std::vector<std::string>{"readAvailable 4096 -> 2", "pause 1",
                                                 "readAvailable 4094 -> 2"}));
    EXPECT_EQ(console.resultText, kPassReport);
    // One 1 ms pause for the ack, eight for the product reply.
    EXPECT_EQ(link.now(), kRunPausesMs + 9u);
}

TEST_F(TestRunTest, EveryReportLengthIsCutExactlyAtCapacity) {
    // First replies of every length around the point where the report fills up.
    for (size_t n = 0; n < 90; ++n) {
        SetUp();
        log.lines.clear();
        RecordingLink fresh(log);
        fresh.answerRequests(std::string(n, 0x28), productReply(kUnknownType));
        runTest(path, settings, console, fresh);
        EXPECT_EQ(narrow(console.resultText),
                  narrow(expectedReport(std::string(n, 0x28), productReply(kUnknownType))))
            << n;
        EXPECT_LE(console.resultText.size(), 255u) << n;
    }
}

TEST_F(TestRunTest, StaleInputIsDrainedBeforeSetupModeStart) {
    link.arriveAt(0, std::vector<uint8_t>(100, 0x55));
    answerGood();
    run();
    std::vector<std::string> drain(log.lines.begin() + 6, log.lines.begin() + 10);
    EXPECT_EQ(drain, (std::vector<std::string>{"readAvailable 64 -> 64", "readAvailable 64 -> 36",
                                               "readAvailable 64 -> 0", "pause 300"}));
    EXPECT_EQ(console.resultText, kPassReport);
}

TEST_F(TestRunTest, DrainOfADeviceThatNeverStopsIsBoundedAndTheRunGoesOn) {
    link.sendForever(0x55, 10);
    run();
    // A buffer's worth of 64-byte reads: 64.
    EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "readAvailable 64 -> 10"), 64);
    // The replies then show what it sends: one read for the first, two for the second.
    EXPECT_EQ(narrow(console.resultText),
              narrow(expectedReport(std::string(10, 0x55), std::string(20, 0x55))));
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(log.lines.back(), "close");
}

struct SilenceCase {
    uint64_t secondHalfAt;
    uint32_t expectedCount;
};

void PrintTo(const SilenceCase& c, std::ostream* os) {
    *os << "at" << c.secondHalfAt;
}

// Reply collection on its own, from an open link.
class CollectReplyTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(link.open(pathOf(L""))); }

    CallLog log;
    RecordingLink link{log};
};

class CollectSilenceTest : public CollectReplyTest,
                           public testing::WithParamInterface<SilenceCase> {};

TEST_P(CollectSilenceTest, FiftyEmptyReadsInARowEndTheCollection) {
    link.arriveAt(0, {0x28, 0x65});
    link.arriveAt(GetParam().secondHalfAt, {0x01, 0x00});
    CollectResult result = collectReply(link, 4);
    EXPECT_FALSE(result.readFailed);
    EXPECT_EQ(result.count, GetParam().expectedCount);
}

// Empty reads happen at 1, 101, ..., 4901 ms: the 50th ends the collection.
INSTANTIATE_TEST_SUITE_P(Boundary, CollectSilenceTest,
                         testing::Values(SilenceCase{4850, 4}, SilenceCase{4901, 4},
                                         SilenceCase{4902, 2}, SilenceCase{9000, 2}));

TEST_F(CollectReplyTest, StopsWhenTheReceiveAreaIsFull) {
    link.sendForever(0x33, 1000);
    CollectResult result = collectReply(link, 5000);
    EXPECT_FALSE(result.readFailed);
    EXPECT_EQ(result.count, 4096u);
    // Four reads of 1000 and the last 96; no read is offered 0 bytes.
    std::vector<std::string> tail(log.lines.end() - 4, log.lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"readAvailable 1096 -> 1000", "pause 1",
                                              "readAvailable 96 -> 96", "pause 1"}));
}

TEST_F(CollectReplyTest, ReadFailureIsReportedWithTheCountSoFar) {
    link.arriveAt(0, {0x28, 0x65});
    link.failCall("readAvailable", 2);
    CollectResult result = collectReply(link, 4);
    EXPECT_TRUE(result.readFailed);
    EXPECT_EQ(result.count, 2u);
}

// One failure each: the start of the failing call's line in a good run; the nth call of op
// fails, or with a short count the nth write reports only that many bytes; whether the port
// is already closed when the texts appear (settings failures close first); the function the
// texts name; and whether the display counts as answered.
struct FailureCase {
    const char* name;
    std::string stem;
    const char* op;
    int nth;
    bool portAlreadyClosed;
    const char* function;
    bool answered;
    int shortCount = -1;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class TestRunFailureTest : public TestRunTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(TestRunFailureTest, ShowsLineThenBoxAndUndoesExactlyWhatWasDone) {
    const FailureCase& c = GetParam();
    answerGood();
    if (c.shortCount >= 0) {
        link.shortWrite(c.nth, c.shortCount);
    } else {
        link.failCall(c.op, c.nth);
    }
    bool openAtBox = false;
    console.whileBoxOpen = [&] { openAtBox = link.isOpen(); };
    run();

    std::vector<std::string> good = goodRun(kPassReport);
    // Everything up to the failing call, which is the good run's line of the same call.
    auto at = std::find_if(good.begin(), good.end(),
                           [&](const std::string& line) { return line.rfind(c.stem, 0) == 0; });
    ASSERT_NE(at, good.end()) << c.stem;
    std::vector<std::string> want(good.begin(), at);
    want.push_back(at->substr(0, at->rfind(" -> ")) + " -> " +
                   (c.shortCount >= 0 ? std::to_string(c.shortCount) : std::string("fail")));
    std::string line = narrow(failureLine(c.function));
    ShownBox shownBox = failureBox(c.function);
    std::string box = narrow(shownBox.text) + " | " + narrow(shownBox.caption);
    if (c.portAlreadyClosed) {
        want.insert(want.end(), {"close", "setResultText " + line, "showMessage " + box});
    } else {
        want.insert(want.end(),
                    {"setResultText " + line, "showMessage " + box, "restoreSettings", "close"});
    }
    EXPECT_EQ(log.lines, want);
    EXPECT_EQ(openAtBox, !c.portAlreadyClosed);
    EXPECT_EQ(DisplayAnswered, c.answered);
    EXPECT_EQ(link.opens(), 1);
    EXPECT_EQ(link.closes(), 1);
}

const FailureCase kFailures[] = {
    {"getSettings", "readSettings", "readSettings", 1, true, "GetCommState", false},
    {"setSettings", "applyTestSettings", "applyTestSettings", 1, true, "SetCommState", false},
    {"timeouts", "applyTimeouts", "applyTimeouts", 1, true, "SetCommTimeouts", false},
    {"writeInit", "write " + hex(kInitialiseDisplay), "write", 1, false, "WriteFile", false},
    {"writeGreeting", "write " + hex(kGreeting), "write", 2, false, "WriteFile", false},
    {"drainRead", "readAvailable 64", "readAvailable", 1, false, "ReadFile", false},
    {"writeSetupStart", "write " + hex(kSetupModeStart), "write", 3, false, "WriteFile", false},
    {"ackRead", "readAvailable 4096", "readAvailable", 2, false, "ReadFile", false},
    {"writeReadProduct", "write " + hex(kReadProductType), "write", 4, false, "WriteFile", false},
    {"productRead", "readAvailable 4096 -> 18", "readAvailable", 3, false, "ReadFile", false},
    {"writeSetupEnd", "write " + hex(kSetupModeEnd), "write", 5, false, "WriteFile", true},
    {"writeFinal", "write " + hex(kFinalMessage), "write", 6, false, "WriteFile", true},
    {"shortGreeting", "write " + hex(kGreeting), "write", 2, false, "WriteFile", false, 24},
    {"shortSetupEnd", "write " + hex(kSetupModeEnd), "write", 5, false, "WriteFile", true, 0},
};

INSTANTIATE_TEST_SUITE_P(EveryStep, TestRunFailureTest, testing::ValuesIn(kFailures),
                         [](const testing::TestParamInfo<FailureCase>& info) {
                             return std::string(info.param.name);
                         });

class OpenFailureTest : public TestRunTest, public testing::WithParamInterface<const wchar_t*> {};

TEST_P(OpenFailureTest, NamesThePortAndClosesNothing) {
    path = pathOf(GetParam());
    link.failCall("open");
    run();
    const Shown shown = expectedShown(outcomeRow("open-failure"), GetParam());
    const ShownBox& box = shown.boxes.at(0); // the box names the port
    EXPECT_EQ(log.lines, (std::vector<std::string>{"open \\\\.\\" + narrow(GetParam()) + " -> fail",
                                                   "setResultText " + narrow(shown.result),
                                                   "showMessage " + narrow(box.text) + " | " +
                                                       narrow(box.caption)}));
    EXPECT_EQ(link.closes(), 0);
    EXPECT_FALSE(DisplayAnswered);
}

INSTANTIATE_TEST_SUITE_P(Names, OpenFailureTest,
                         testing::Values(L"COM3", L"", L"COM1234567890123"));

} // namespace
