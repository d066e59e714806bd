// The test run against a scripted link: bytes, pauses, replies, report, failures and undoing.
#include "display/commands.h"
#include "display/test_run.h"
#include "tests/fakes/fake_console.h"
#include "tests/fakes/fake_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

const std::vector<uint8_t> kSetupStart = {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E};
const std::vector<uint8_t> kReadProduct = {0x1F, 0x28, 0x65, 0x40, 0x30};
const std::vector<uint8_t> kAck = {0x28, 0x65, 0x01, 0x00};

std::vector<uint8_t> productReply(const char* type) {
    std::vector<uint8_t> reply = {0x28, 0x65, 0x40};
    reply.insert(reply.end(), type, type + 15);
    return reply;
}

void openLink(FakeLink& link) {
    DevicePath path;
    path.reset();
    ASSERT_TRUE(link.open(path));
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// "N" empty reads of a reply collection, each followed by its 100 ms pause.
void addSilence(std::vector<std::string>& lines, int n) {
    for (int i = 0; i < n; ++i) {
        lines.push_back("readAvailable 4096 -> 0");
        lines.push_back("pause 100");
    }
}

const char* const kGreetingHex =
    "4E 6F 72 69 74 61 6B 65 20 49 74 72 6F 6E 0D 0A 56 46 44 20 74 65 73 74 00";

const std::wstring kPassReport =
    L"User set up mode start returned 4 bytes: 28 65 01 00  (OK)\r\n"
    L"Read Status information (Product type) returned 18 bytes:\r\n"
    L"28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20  (OK)\r\n"
    L"Test result: PASS.\r\n";

class TestRunTest : public testing::Test {
protected:
    void SetUp() override {
        DisplayAnswered = false;
        std::memset(ReplyBuffer, 0xEE, sizeof ReplyBuffer);
        path.reset();
        std::wcscpy(path.name(), L"COM3");
    }

    void answerGood(const char* type = "CU20029-T307A  ") {
        link.answer(kSetupStart, kAck);
        link.answer(kReadProduct, productReply(type));
    }

    void run() { runTest(path, settings, console, link); }

    // The calls of a run against a display that answers each request at once.
    static std::vector<std::string> goodRun(const std::string& report) {
        return {"open \\\\.\\COM3",
                "readSettings",
                "applyTestSettings 0 0 1",
                "applyTimeouts 4000",
                "write 1B 40",
                std::string("write ") + kGreetingHex,
                "readAvailable 64 -> 0",
                "pause 300",
                "write 1F 28 65 01 49 4E",
                "readAvailable 4096 -> 4",
                "write 1F 28 65 40 30",
                "readAvailable 4096 -> 18",
                "setResultText " + report,
                "write 1F 28 65 02 4F 55 54",
                "pause 200",
                "write 54 65 73 74 20 4F 4B 00",
                "pause 200",
                "restoreSettings",
                "close"};
    }

    CallLog log;
    FakeLink link{log};
    FakeConsole console{log};
    DevicePath path;
    LineSettings settings;
};

TEST_F(TestRunTest, GoodDisplaySendsEveryCommandInOrderAndPasses) {
    answerGood();
    run();
    EXPECT_EQ(log.lines, goodRun(narrow(kPassReport.c_str())));
    EXPECT_EQ(console.resultText, kPassReport);
    EXPECT_EQ(console.resultText.size(), 200u);
    EXPECT_TRUE(DisplayAnswered);
    EXPECT_EQ(link.now(), 700u); // 300 + 200 + 200
    EXPECT_EQ(link.opens(), 1);
    EXPECT_EQ(link.closes(), 1);
    // The product reply stays in the receive area after the run.
    EXPECT_EQ(hexBytes(ReplyBuffer, 18), "28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20");
}

TEST_F(TestRunTest, SecondKnownProductTypePasses) {
    answerGood("CU20029T307A01 ");
    run();
    EXPECT_EQ(console.resultText.substr(console.resultText.size() - 20), L"Test result: PASS.\r\n");
    EXPECT_TRUE(DisplayAnswered);
}

TEST_F(TestRunTest, SelectorsReachTheLink) {
    settings = LineSettings{3, 1, 2};
    answerGood();
    run();
    EXPECT_EQ(log.lines[2], "applyTestSettings 3 1 2");
}

TEST_F(TestRunTest, UnknownProductFailsButCountsAsAnswered) {
    answerGood("CU20029-T999Z  ");
    run();
    const std::wstring expected =
        L"User set up mode start returned 4 bytes: 28 65 01 00  (OK)\r\n"
        L"Read Status information (Product type) returned 18 bytes:\r\n"
        L"28 65 40 43 55 32 30 30 32 39 2D 54 39 39 39 5A 20 20  (OK)\r\n"
        L"Test result: FAIL - unrecognised product type\r\n";
    EXPECT_EQ(console.resultText, expected);
    EXPECT_EQ(console.resultText.size(), 227u);
    EXPECT_TRUE(DisplayAnswered);
    // Set-up mode is still left and "Test OK" still written.
    EXPECT_EQ(log.lines, goodRun(narrow(expected.c_str())));
}

TEST_F(TestRunTest, SilentDisplayReportsZeroBytesAfterTwoSilenceLimits) {
    run();
    const std::wstring expected = L"User set up mode start returned 0 bytes:  (Incorrect)\r\n"
                                  L"Read Status information (Product type) returned 0 bytes:\r\n"
                                  L" (Incorrect)\r\n";
    EXPECT_EQ(console.resultText, expected);
    EXPECT_EQ(console.resultText.size(), 127u);
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(link.now(), 10700u); // 300 + 2 * 50 * 100 + 200 + 200

    std::vector<std::string> good = goodRun(narrow(expected.c_str()));
    std::vector<std::string> want(good.begin(), good.begin() + 9);
    addSilence(want, 50);
    want.push_back("write 1F 28 65 40 30");
    addSilence(want, 50);
    want.insert(want.end(), good.begin() + 12, good.end());
    EXPECT_EQ(log.lines, want);
}

TEST_F(TestRunTest, FiveByteAcknowledgementIsDumpedAndMarkedIncorrect) {
    link.answer(kSetupStart, concat(kAck, {0x00}));
    link.answer(kReadProduct, productReply("CU20029-T307A  "));
    run();
    const std::wstring first =
        L"User set up mode start returned 5 bytes: 28 65 01 00 00  (Incorrect)\r\n";
    EXPECT_EQ(console.resultText.substr(0, first.size()), first);
    EXPECT_NE(console.resultText.find(L"Test result: PASS.\r\n"), std::wstring::npos);
    EXPECT_TRUE(DisplayAnswered);
}

TEST_F(TestRunTest, AcknowledgementSplitAcrossReadsIsCollectedWhole) {
    link.limitReadChunk(2);
    answerGood();
    run();
    std::vector<std::string> lines = log.lines;
    auto start = std::find(lines.begin(), lines.end(), "write 1F 28 65 01 49 4E");
    ASSERT_NE(start, lines.end());
    std::vector<std::string> collect(start + 1, start + 4);
    EXPECT_EQ(collect, (std::vector<std::string>{"readAvailable 4096 -> 2", "pause 1",
                                                 "readAvailable 4094 -> 2"}));
    EXPECT_EQ(console.resultText, kPassReport);
    EXPECT_EQ(link.now(), 700u + 9); // one 1 ms pause for the ack, eight for the product reply
}

TEST_F(TestRunTest, LateAcknowledgementBytesShiftTheProductReply) {
    // Four bytes are there when the first collection reaches its count; two more follow.
    link.answer(kSetupStart, kAck);
    link.arriveAt(305, {0xAB, 0xCD});
    link.answer(kReadProduct, productReply("CU20029-T307A  "), 10);
    run();
    const std::wstring expected =
        L"User set up mode start returned 4 bytes: 28 65 01 00  (OK)\r\n"
        L"Read Status information (Product type) returned 20 bytes:\r\n"
        L"AB CD 28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20  (Incorrect)\r\n";
    EXPECT_EQ(console.resultText, expected);
    EXPECT_FALSE(DisplayAnswered);
}

TEST_F(TestRunTest, HighBytesShowAsTwoUpperCaseDigits) {
    link.answer(kSetupStart, {0x80, 0xFF, 0x9A, 0xC3});
    run();
    EXPECT_EQ(console.resultText.substr(0, 53),
              L"User set up mode start returned 4 bytes: 80 FF 9A C3 ");
}

TEST_F(TestRunTest, OverlongRepliesAreCutAtTheReportCapacityAndTheRunGoesOn) {
    link.answer(kSetupStart, std::vector<uint8_t>(60, 0x41));
    link.answer(kReadProduct, std::vector<uint8_t>(100, 0x42));
    run();
    EXPECT_EQ(console.resultText.size(), 255u);
    std::wstring expectedStart = L"User set up mode start returned 60 bytes: ";
    for (int i = 0; i < 60; ++i) {
        expectedStart += L"41 ";
    }
    EXPECT_EQ(console.resultText.substr(0, expectedStart.size()), expectedStart);
    EXPECT_EQ(console.resultText.substr(expectedStart.size(), 14), L" (Incorrect)\r\n");
    EXPECT_FALSE(DisplayAnswered);
    ASSERT_GE(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[log.lines.size() - 2], "restoreSettings");
    EXPECT_EQ(log.lines.back(), "close");
}

TEST_F(TestRunTest, EveryReportLengthStaysWithinCapacity) {
    // First replies of every length around the point where the report fills up.
    for (size_t n = 0; n < 90; ++n) {
        SetUp();
        log.lines.clear();
        FakeLink fresh(log);
        fresh.answer(kSetupStart, std::vector<uint8_t>(n, 0x28));
        fresh.answer(kReadProduct, productReply("CU20029-T999Z  "));
        runTest(path, settings, console, fresh);
        EXPECT_LE(console.resultText.size(), 255u) << n;
        EXPECT_EQ(console.resultText.substr(0, 32), L"User set up mode start returned ") << n;
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
    long drainReads = std::count(log.lines.begin(), log.lines.end(), "readAvailable 64 -> 10");
    EXPECT_EQ(drainReads, static_cast<long>(kDrainMaxReads));
    // The replies then show what it sends; the run ends normally.
    EXPECT_EQ(console.resultText.substr(0, 54),
              L"User set up mode start returned 10 bytes: 55 55 55 55 ");
    EXPECT_NE(console.resultText.find(L"returned 20 bytes:"), std::wstring::npos);
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(log.lines.back(), "close");
}

struct SilenceCase {
    uint64_t secondHalfAt;
    uint32_t expectedCount;
};

void PrintTo(const SilenceCase& c, std::ostream* os) { *os << "at" << c.secondHalfAt; }

class CollectSilenceTest : public testing::TestWithParam<SilenceCase> {};

TEST_P(CollectSilenceTest, FiftyEmptyReadsInARowEndTheCollection) {
    CallLog log;
    FakeLink link(log);
    openLink(link);
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

TEST(CollectReplyTest, StopsWhenTheReceiveAreaIsFull) {
    CallLog log;
    FakeLink link(log);
    openLink(link);
    link.sendForever(0x33, 1000);
    CollectResult result = collectReply(link, 5000);
    EXPECT_FALSE(result.readFailed);
    EXPECT_EQ(result.count, 4096u);
    // Four reads of 1000 and the last 96; no read is offered 0 bytes.
    std::vector<std::string> tail(log.lines.end() - 4, log.lines.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"readAvailable 1096 -> 1000", "pause 1",
                                              "readAvailable 96 -> 96", "pause 1"}));
}

TEST(CollectReplyTest, ReadFailureIsReportedWithTheCountSoFar) {
    CallLog log;
    FakeLink link(log);
    openLink(link);
    link.arriveAt(0, {0x28, 0x65});
    link.failCall("readAvailable", 2);
    CollectResult result = collectReply(link, 4);
    EXPECT_TRUE(result.readFailed);
    EXPECT_EQ(result.count, 2u);
}

// One failure each: which call fails, the line it leaves in the log, and what follows it.
struct FailureCase {
    const char* name;
    const char* op;
    int nth;
    uint32_t shortCount; // for "short": the count the nth write reports
    const char* stem;    // the start of the failing call's line in a good run
    const char* outcome; // what the failing call's line ends with
    bool portAlreadyClosed; // settings failures close before the texts appear
    const char* function;
    bool answered;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class TestRunFailureTest : public TestRunTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(TestRunFailureTest, ShowsLineThenBoxAndUndoesExactlyWhatWasDone) {
    const FailureCase& c = GetParam();
    answerGood();
    if (std::string(c.op) == "short") {
        link.shortWrite(c.nth, c.shortCount);
    } else {
        link.failCall(c.op, c.nth);
    }
    bool openAtBox = false;
    console.whileBoxOpen = [&] { openAtBox = link.isOpen(); };
    run();

    std::vector<std::string> good = goodRun(narrow(kPassReport.c_str()));
    // Everything up to the failing call, which is the good run's line of the same call.
    std::string stem = c.stem;
    auto at = std::find_if(good.begin(), good.end(), [&](const std::string& line) {
        return line.rfind(stem, 0) == 0;
    });
    ASSERT_NE(at, good.end()) << stem;
    std::vector<std::string> want(good.begin(), at);
    std::string failedLine = *at;
    if (failedLine.find(" -> ") != std::string::npos) {
        failedLine.erase(failedLine.rfind(" -> "));
    }
    want.push_back(failedLine + c.outcome);
    std::string line = std::string("ERROR: ") + c.function + "() returned error.";
    std::string box = std::string(c.function) + "() returned error. | Error.";
    if (c.portAlreadyClosed) {
        want.insert(want.end(), {"close", "setResultText " + line, "showMessage " + box});
    } else {
        want.insert(want.end(), {"setResultText " + line, "showMessage " + box,
                                 "restoreSettings", "close"});
    }
    EXPECT_EQ(log.lines, want);
    EXPECT_EQ(openAtBox, !c.portAlreadyClosed);
    EXPECT_EQ(DisplayAnswered, c.answered);
    EXPECT_EQ(link.opens(), 1);
    EXPECT_EQ(link.closes(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, TestRunFailureTest,
    testing::Values(
        FailureCase{"getSettings", "readSettings", 1, 0, "readSettings", " -> fail", true,
                    "GetCommState", false},
        FailureCase{"setSettings", "applyTestSettings", 1, 0, "applyTestSettings", " -> fail",
                    true, "SetCommState", false},
        FailureCase{"timeouts", "applyTimeouts", 1, 0, "applyTimeouts", " -> fail", true,
                    "SetCommTimeouts", false},
        FailureCase{"writeInit", "write", 1, 0, "write 1B 40", " -> fail", false, "WriteFile",
                    false},
        FailureCase{"writeGreeting", "write", 2, 0, "write 4E 6F", " -> fail", false,
                    "WriteFile", false},
        FailureCase{"drainRead", "readAvailable", 1, 0, "readAvailable 64", " -> fail", false,
                    "ReadFile", false},
        FailureCase{"writeSetupStart", "write", 3, 0, "write 1F 28 65 01", " -> fail", false,
                    "WriteFile", false},
        FailureCase{"ackRead", "readAvailable", 2, 0, "readAvailable 4096", " -> fail", false,
                    "ReadFile", false},
        FailureCase{"writeReadProduct", "write", 4, 0, "write 1F 28 65 40", " -> fail", false,
                    "WriteFile", false},
        FailureCase{"writeSetupEnd", "write", 5, 0, "write 1F 28 65 02", " -> fail", false,
                    "WriteFile", true},
        FailureCase{"writeFinal", "write", 6, 0, "write 54 65", " -> fail", false, "WriteFile",
                    true},
        FailureCase{"shortGreeting", "short", 2, 24, "write 4E 6F", " -> 24", false, "WriteFile",
                    false},
        FailureCase{"shortSetupEnd", "short", 5, 0, "write 1F 28 65 02", " -> 0", false,
                    "WriteFile", true}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(TestRunTest, ProductReadFailureKeepsDisplayUnanswered) {
    answerGood();
    link.failCall("readAvailable", 3);
    run();
    EXPECT_EQ(console.resultText, L"ERROR: ReadFile() returned error.");
    EXPECT_FALSE(DisplayAnswered);
    EXPECT_EQ(std::count(log.lines.begin(), log.lines.end(), "write 1F 28 65 02 4F 55 54"), 0);
}

TEST_F(TestRunTest, FailedSetupEndReplacesTheShownReport) {
    answerGood();
    link.failCall("write", 5);
    run();
    EXPECT_EQ(console.resultText, L"ERROR: WriteFile() returned error.");
    EXPECT_TRUE(DisplayAnswered);
}

struct OpenFailureCase {
    const wchar_t* name;
    const char* openLine;
    const char* boxText;
};

void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.openLine; }

class OpenFailureTest : public TestRunTest, public testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, NamesThePortAndClosesNothing) {
    std::wcscpy(path.name(), GetParam().name);
    link.failCall("open");
    run();
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{
                  GetParam().openLine, "setResultText Error: Could not open COM port.",
                  std::string("showMessage ") + GetParam().boxText +
                      " | Error.  Could not open COM port:"}));
    EXPECT_EQ(link.closes(), 0);
    EXPECT_FALSE(DisplayAnswered);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OpenFailureTest,
    testing::Values(OpenFailureCase{L"COM3", "open \\\\.\\COM3 -> fail", "COM3"},
                    OpenFailureCase{L"", "open \\\\.\\ -> fail", ""},
                    OpenFailureCase{L"COM1234567890123", "open \\\\.\\COM1234567890123 -> fail",
                                    "COM1234567890123"}));

} // namespace
