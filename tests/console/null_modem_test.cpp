// End-to-end tests of LineDisplayTest.exe through a null modem (socat joining two ptys, started
// by scripts/with-displays.sh): the display stand-in as a technician runs it on a laptop as a
// loopback plug (nm-loopback), and the Windows stand-in on one end of a bare null modem
// (nm-windows) with the utility on the other. The Linux stand-in as the display is the guide's
// stand-in outcome, which the guide's scenarios play and hold to its row.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <sstream>
#include <string>

#include "tests/support/expected_report.h"
#include "tests/support/outcomes.h"
#include "tools/driver/emulator_client.h"
#include "tools/driver/operator.h"

namespace {

const std::vector<std::string> kTestOkScreen = {"Test OK             ", "                    "};
const std::string kPass = narrow(expectedShown(outcomeRow("standin"), L"").result);

class NullModemTest : public testing::Test {
  protected:
    // Types port into the utility's box and presses Test; the result box once the run ended.
    std::string testOn(const std::wstring& port) {
        std::string error;
        if (!op_.start(driver::appUnderTest(), error)) {
            ADD_FAILURE() << error;
            return "";
        }
        op_.typePort(port);
        std::string went = op_.runWithoutBoxes(15000);
        EXPECT_EQ(went, "");
        return narrow(op_.result());
    }

    // The stand-in's log holds the utility's exact bytes, and its screen reads "Test OK".
    static void expectSawGoodRun(const EmulatorClient& standIn) {
        EXPECT_EQ(standIn.receivedOnceItHas(kTestRunBytes), kTestRunBytes);
        EXPECT_TRUE(driver::waitUntil([&] { return standIn.screen() == kTestOkScreen; }, 3000))
            << testing::PrintToString(standIn.screen());
    }

    driver::Operator op_;
};

// A loopback plug answers each request with the request itself, and whatever of the greeting's
// echo the drain left: how the echo splits between the two answers depends on timing, so what
// is checked is that the two answers, joined, are the tail of what the utility had sent.
TEST_F(NullModemTest, ShowsBothAnswersIncorrectHoldingOnlyItsOwnBytesAgainstALoopbackPlug) {
    EmulatorClient loopback;
    std::string error;
    ASSERT_TRUE(loopback.connect("nm-loopback", error)) << error;
    std::string report = testOn(loopback.port());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        report, m,
        std::regex(R"(User set up mode start returned \d+ bytes: ((?:[0-9A-F]{2} )+) \(Incorrect\))"
                   R"(\\r\\nRead Status information \(Product type\) returned \d+ bytes:\\r\\n)"
                   R"(((?:[0-9A-F]{2} )+) \(Incorrect\)\\r\\n)")))
        << report;
    std::string joined = m[1].str() + m[2].str();
    joined.pop_back();
    const std::string request = hex(kReadProductType);
    std::string sent = kTestRunBytes.substr(0, kTestRunBytes.find(request) + request.size());
    EXPECT_TRUE(sent.size() >= joined.size() &&
                sent.compare(sent.size() - joined.size(), joined.size(), joined) == 0)
        << "answers: " << joined << "\nsent:    " << sent;
    EXPECT_EQ(op_.exit(), 0u);
}

// DisplayStandIn.exe (LDT_STANDIN_EXE) on the first end of the null modem nm-windows, the
// utility on the second.
TEST_F(NullModemTest, PassesAgainstTheWindowsStandInOnTheOtherEndOfANullModem) {
    std::istringstream words(driver::environment("LDT_NULL_MODEM_NM_WINDOWS_PORTS"));
    std::string standInPort, utilityPort;
    ASSERT_TRUE(words >> standInPort >> utilityPort) << "run with --null-modem nm-windows";
    std::string dir = driver::environment("LDT_RUN_DIR");
    std::wstring log = driver::windowsPath(dir + "/nm-windows.log");
    std::wstring out = driver::windowsPath(dir + "/nm-windows.out");
    driver::AppProcess program;
    ASSERT_TRUE(program.start(driver::windowsPath(driver::environment("LDT_STANDIN_EXE")),
                              driver::wide(standInPort) + L" --log " + log, out));
    EmulatorClient windows;
    windows.watch(driver::wide(standInPort), log, out);
    ASSERT_TRUE(windows.waitForEvent("settings", 10000)) << "the stand-in did not take its port";

    EXPECT_EQ(testOn(driver::wide(utilityPort)), kPass);
    expectSawGoodRun(windows);
    EXPECT_EQ(op_.exit(), 0u);
}

} // namespace
