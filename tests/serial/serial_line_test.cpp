// The real serial link under Wine against the display emulator: what reaches the tty.
#include "serial/win32_serial_link.h"
#include "tests/support/emulator_test.h"
#include "tests/support/expected_report.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

class SerialLineTest : public EmulatorTest {
  protected:
    SerialLineTest() : EmulatorTest("serial-line") {}

    // Open the emulator's port and read its settings.
    void openPort() {
        ASSERT_TRUE(link_.open(pathOf(emulator_.port())));
        ASSERT_TRUE(link_.readSettings());
    }

    Win32SerialLink link_;
};

// The test settings for these selectors, or the release settings (no selectors).
struct SelectorCase {
    std::optional<LineSettings> settings;
    std::string line; // as the emulator sees the tty
};

void PrintTo(const SelectorCase& c, std::ostream* os) {
    *os << c.line;
}

class SerialLineSelectorTest : public SerialLineTest,
                               public testing::WithParamInterface<SelectorCase> {};

// The line starts at 4800 baud with two stop bits and RTS/CTS, which no case asks for.
TEST_P(SerialLineSelectorTest, SelectorsReachTheLineAsTheTableSays) {
    mode("--initial 4800,8N2,rtscts");
    openPort();
    const std::optional<LineSettings>& settings = GetParam().settings;
    ASSERT_TRUE(settings ? link_.applyTestSettings(*settings) : link_.applyReleaseSettings());
    EXPECT_EQ(GetParam().line, emulator_.waitForSettings(GetParam().line, 2000));
    link_.restoreSettings();
    link_.close();
}

INSTANTIATE_TEST_SUITE_P(
    Selectors, SerialLineSelectorTest,
    testing::Values(
        SelectorCase{LineSettings{0, 0, 1}, kTestDefaults},
        SelectorCase{LineSettings{1, 0, 1}, "speed=19200 bits=8 parity=none stop=1 rtscts=on"},
        SelectorCase{LineSettings{2, 1, 0}, k9600TwoStops},
        // DSR output flow has no tty counterpart: the handshake is simply off.
        SelectorCase{LineSettings{3, 0, 2}, "speed=115200 bits=8 parity=none stop=1 rtscts=off"},
        SelectorCase{LineSettings{7, 2, 3}, kRelease},
        // The release turns the handshake off.
        SelectorCase{std::nullopt, kRelease}));

TEST_F(SerialLineTest, RestorePutsBackTheSettingsFromBeforeTheOpen) {
    mode("--initial 9600,8N2");
    openPort();
    ASSERT_TRUE(link_.applyTestSettings(LineSettings{}));
    ASSERT_TRUE(link_.applyTimeouts(4000));
    ASSERT_EQ(kTestDefaults, emulator_.waitForSettings(kTestDefaults, 2000));
    uint32_t written = 0;
    ASSERT_TRUE(link_.write(kInitialiseDisplay.bytes, kInitialiseDisplay.length, &written));
    link_.restoreSettings();
    link_.close();
    EXPECT_EQ(k9600TwoStops, emulator_.waitForSettings(k9600TwoStops, 2000));
    std::vector<std::string> settings = emulator_.events("settings");
    EXPECT_EQ(k9600TwoStops, settings.front());
    EXPECT_NE(settings.end(), std::find(settings.begin(), settings.end(), kTestDefaults));
    // The emulator may notice the restored settings before it reads the bytes.
    EXPECT_EQ(hex(kInitialiseDisplay), emulator_.receivedOnceItHas(hex(kInitialiseDisplay)));
}

TEST_F(SerialLineTest, ReadsReturnAtOnceWithWhatHasArrived) {
    mode("");
    openPort();
    ASSERT_TRUE(link_.applyTestSettings(LineSettings{}));
    ASSERT_TRUE(link_.applyTimeouts(4000));
    uint8_t buffer[64];
    uint32_t count = 99;
    DWORD begin = GetTickCount();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(link_.readAvailable(buffer, 64, &count));
        EXPECT_EQ(0u, count);
    }
    // Reads that waited (for data, or for a time-out such as the 4000 ms write constant) would
    // take seconds; the bound leaves room for Wine's round trips on a loaded 2-core machine.
    EXPECT_LT(GetTickCount() - begin, 1000u) << "ten empty reads must not wait";

    ASSERT_TRUE(link_.write(kSetupModeStart.bytes, kSetupModeStart.length, &count));
    EXPECT_EQ(kSetupModeStart.length, count);
    ASSERT_TRUE(emulator_.waitForBytes("send", 4, 2000));
    // Bytes the emulator has sent need not be readable yet: the pty hands them on in its own
    // time and a read takes only what has arrived, so gather them over several reads.
    std::vector<uint8_t> got;
    DWORD asked = GetTickCount();
    while (got.size() < 4 && GetTickCount() - asked < 2000) {
        ASSERT_TRUE(link_.readAvailable(buffer, 64, &count));
        ASSERT_LE(count, 64u);
        got.insert(got.end(), buffer, buffer + count);
        Sleep(count == 0 ? 5 : 0);
    }
    EXPECT_EQ(hex(kSetupAckReply), hex(got.data(), got.size()));
    EXPECT_EQ(hex(kSetupModeStart), emulator_.received());
    link_.restoreSettings();
    link_.close();
}

TEST_F(SerialLineTest, TwoDigitPortOpensThroughTheDevicePrefix) {
    std::wstring twoDigit;
    for (const std::wstring& p : emulator_.ports()) {
        if (p.size() > 4) {
            twoDigit = p;
        }
    }
    ASSERT_FALSE(twoDigit.empty())
        << "scripts/ports.table must give serial-line a name of COM10 or above";
    mode("");
    ASSERT_TRUE(link_.open(pathOf(twoDigit)));
    ASSERT_TRUE(link_.readSettings());
    ASSERT_TRUE(link_.applyTimeouts(1000));
    uint32_t written = 0;
    EXPECT_TRUE(link_.write(kInitialiseDisplay.bytes, kInitialiseDisplay.length, &written));
    EXPECT_EQ(kInitialiseDisplay.length, written);
    link_.close();
    EXPECT_EQ(hex(kInitialiseDisplay), emulator_.receivedOnceItHas(hex(kInitialiseDisplay)));
}

TEST_F(SerialLineTest, APortThatDoesNotExistFailsToOpen) {
    uint32_t count = 0;
    uint8_t byte = 0;
    for (const wchar_t* name : {L"COM99", L"NOSUCHPORT", L""}) {
        EXPECT_FALSE(link_.open(pathOf(name))) << name;
        EXPECT_FALSE(link_.readSettings());
        EXPECT_FALSE(link_.write(&byte, 1, &count));
        link_.close();
    }
}

} // namespace
