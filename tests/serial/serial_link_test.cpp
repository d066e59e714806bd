// Tests of Win32SerialLink against the recording table of the communications functions.
#include "serial/win32_serial_link.h"
#include "tests/support/device_path.h"
#include "tests/support/recording_comm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

// The settings a line is given: for the test settings or the release.
struct LineCase {
    DWORD baud;
    BYTE stopBits;
    DWORD cts;
    DWORD dsr;
};

// A port record with every field distinct from what the link writes, so that a field the link
// should leave alone but overwrites shows up; with `line`, the record as the link should leave
// it: the fields the line owns set, every other field as the port had it.
DCB portRecord(bool flagsSet, const LineCase* line = nullptr) {
    DCB d;
    std::memset(&d, flagsSet ? 0xFF : 0x00, sizeof d);
    d.DCBlength = sizeof(DCB);
    d.BaudRate = line ? line->baud : 1200;
    d.ByteSize = line ? 8 : 7;
    d.Parity = line ? NOPARITY : EVENPARITY;
    d.StopBits = line ? line->stopBits : ONE5STOPBITS;
    d.fDtrControl = line ? DTR_CONTROL_ENABLE : DTR_CONTROL_HANDSHAKE;
    d.fRtsControl = line ? RTS_CONTROL_ENABLE : RTS_CONTROL_TOGGLE;
    // The flags the line owns; the port's are all set or all clear, from the fill above.
    if (line) {
        d.fOutxCtsFlow = line->cts;
        d.fOutxDsrFlow = line->dsr;
        d.fParity = 0;
        d.fDsrSensitivity = 0;
        d.fOutX = 0;
        d.fInX = 0;
    }
    d.XonLim = 11;
    d.XoffLim = 22;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.ErrorChar = '?';
    d.EofChar = 0x1A;
    d.EvtChar = '\n';
    return d;
}

std::string dcbFields(const DCB& d) {
    return "len=" + std::to_string(d.DCBlength) + " baud=" + std::to_string(d.BaudRate) +
           " size=" + std::to_string(d.ByteSize) + " parity=" + std::to_string(d.Parity) +
           " stop=" + std::to_string(d.StopBits) + " cts=" + std::to_string(d.fOutxCtsFlow) +
           " dsr=" + std::to_string(d.fOutxDsrFlow) + " dtr=" + std::to_string(d.fDtrControl) +
           " rts=" + std::to_string(d.fRtsControl) + " fParity=" + std::to_string(d.fParity) +
           " dsrSens=" + std::to_string(d.fDsrSensitivity) + " outX=" + std::to_string(d.fOutX) +
           " inX=" + std::to_string(d.fInX) + " binary=" + std::to_string(d.fBinary) +
           " txCont=" + std::to_string(d.fTXContinueOnXoff) +
           " errChar=" + std::to_string(d.fErrorChar) + " null=" + std::to_string(d.fNull) +
           " abort=" + std::to_string(d.fAbortOnError) + " dummy2=" + std::to_string(d.fDummy2) +
           " xonLim=" + std::to_string(d.XonLim) + " xoffLim=" + std::to_string(d.XoffLim) +
           " chars=" + std::to_string(d.XonChar) + "," + std::to_string(d.XoffChar) + "," +
           std::to_string(d.ErrorChar) + "," + std::to_string(d.EofChar) + "," +
           std::to_string(d.EvtChar) + " reserved=" + std::to_string(d.wReserved) + "," +
           std::to_string(d.wReserved1);
}

bool sameBytes(const DCB& a, const DCB& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING (3), no flags.
std::string openCall(const std::string& port) {
    return "CreateFileW \\\\.\\" + port +
           " access=C0000000 share=0 security=none disposition=3 flags=0 template=none";
}
const std::string kOpenCom7 = openCall("COM7");

class Win32SerialLinkTest : public testing::Test {
  protected:
    // The table stays reachable until the link has let go of its port.
    Win32SerialLinkTest() { recordingComm = &comm_; }
    ~Win32SerialLinkTest() override {
        link_.close();
        recordingComm = nullptr;
    }

    // Open and read settings from a port that reports `record`; clears the call list.
    void openWithRecord(const DCB& record) {
        comm_.reported = record;
        ASSERT_TRUE(link_.open(pathOf(L"COM7")));
        ASSERT_TRUE(link_.readSettings());
        comm_.calls.clear();
    }

    RecordingComm comm_;
    Win32SerialLink link_{kRecordingCommApi};
};

TEST_F(Win32SerialLinkTest, OpenAsksForExclusiveSynchronousReadWriteAccess) {
    EXPECT_TRUE(link_.open(pathOf(L"COM10")));
    EXPECT_EQ(std::vector<std::string>{openCall("COM10")}, comm_.calls);
}

TEST_F(Win32SerialLinkTest, OpenFailsWhenTheInvalidHandleComesBackAndLeavesTheLinkClosed) {
    comm_.openResult = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(link_.open(pathOf(L"COM3")));
    comm_.calls.clear();
    uint32_t count = 99;
    uint8_t byte = 0;
    EXPECT_FALSE(link_.readSettings());
    EXPECT_FALSE(link_.applyTestSettings(LineSettings{}));
    EXPECT_FALSE(link_.applyReleaseSettings());
    EXPECT_FALSE(link_.applyTimeouts(4000));
    EXPECT_FALSE(link_.write(&byte, 1, &count));
    EXPECT_EQ(0u, count);
    count = 99;
    EXPECT_FALSE(link_.readAvailable(&byte, 1, &count));
    EXPECT_EQ(0u, count);
    link_.restoreSettings();
    link_.close();
    EXPECT_EQ(std::vector<std::string>{}, comm_.calls);
}

TEST_F(Win32SerialLinkTest, OpenRefusesAPathWithoutTerminatorAndASecondOpen) {
    DevicePath unterminated;
    for (wchar_t& unit : unterminated.units) {
        unit = L'A';
    }
    EXPECT_FALSE(link_.open(unterminated));
    EXPECT_EQ(std::vector<std::string>{}, comm_.calls);
    ASSERT_TRUE(link_.open(pathOf(L"COM7")));
    EXPECT_FALSE(link_.open(pathOf(L"COM8")));
    link_.close();
    link_.close();
    EXPECT_EQ((std::vector<std::string>{kOpenCom7, "CloseHandle"}), comm_.calls);
}

TEST_F(Win32SerialLinkTest, ReadSettingsPassesAZeroedRecordAndRestoreWritesBackWhatCame) {
    comm_.receivedByGet = portRecord(true);
    openWithRecord(portRecord(true));
    DCB zero{};
    EXPECT_TRUE(sameBytes(zero, comm_.receivedByGet)) << dcbFields(comm_.receivedByGet);
    EXPECT_EQ(0u, comm_.receivedByGet.DCBlength);

    ASSERT_TRUE(link_.applyTestSettings(LineSettings{}));
    link_.restoreSettings();
    link_.restoreSettings();
    ASSERT_EQ(3u, comm_.setRecords.size());
    EXPECT_TRUE(sameBytes(comm_.reported, comm_.setRecords[1])) << dcbFields(comm_.setRecords[1]);
    EXPECT_TRUE(sameBytes(comm_.reported, comm_.setRecords[2])) << dcbFields(comm_.setRecords[2]);
}

TEST_F(Win32SerialLinkTest, NothingIsAppliedOrRestoredWithoutTheSettingsOfThisOpen) {
    ASSERT_TRUE(link_.open(pathOf(L"COM7")));
    EXPECT_FALSE(link_.applyTestSettings(LineSettings{}));
    EXPECT_FALSE(link_.applyReleaseSettings());
    link_.restoreSettings();
    comm_.getResult = FALSE;
    EXPECT_FALSE(link_.readSettings());
    EXPECT_FALSE(link_.applyTestSettings(LineSettings{}));
    link_.restoreSettings();
    link_.close();
    // A new open starts without the settings of the last one.
    comm_.getResult = TRUE;
    ASSERT_TRUE(link_.open(pathOf(L"COM7")));
    ASSERT_TRUE(link_.readSettings());
    link_.close();
    ASSERT_TRUE(link_.open(pathOf(L"COM7")));
    link_.restoreSettings();
    EXPECT_EQ((std::vector<std::string>{kOpenCom7, "GetCommState", "CloseHandle", kOpenCom7,
                                        "GetCommState", "CloseHandle", kOpenCom7}),
              comm_.calls);
    EXPECT_TRUE(comm_.setRecords.empty());
}

// One way to set the line: the test settings for these selectors, or the release settings
// (no selectors), and what the port record should hold afterwards.
struct SelectorCase {
    const char* name;
    std::optional<LineSettings> settings;
    LineCase line;
};

void PrintTo(const SelectorCase& c, std::ostream* os) {
    *os << c.name;
}

class Win32SerialLinkSelectorTest : public Win32SerialLinkTest,
                                    public testing::WithParamInterface<SelectorCase> {};

// From a port whose flags were all set and one whose flags were all clear: only the fields the
// line owns change.
TEST_P(Win32SerialLinkSelectorTest, SettingsChangeOnlyTheirOwnFields) {
    const SelectorCase& c = GetParam();
    for (bool flagsSet : {true, false}) {
        comm_.setRecords.clear();
        openWithRecord(portRecord(flagsSet));
        ASSERT_TRUE(c.settings ? link_.applyTestSettings(*c.settings)
                               : link_.applyReleaseSettings());
        DCB expected = portRecord(flagsSet, &c.line);
        ASSERT_EQ(1u, comm_.setRecords.size());
        EXPECT_EQ(dcbFields(expected), dcbFields(comm_.setRecords[0])) << flagsSet;
        EXPECT_TRUE(sameBytes(expected, comm_.setRecords[0]));
        link_.close();
    }
}

// Selectors out of range fall back to 38400 baud, one stop bit and no handshake; the
// release's settings are fixed and drop both handshakes.
INSTANTIATE_TEST_SUITE_P(
    Selectors, Win32SerialLinkSelectorTest,
    testing::Values(
        SelectorCase{"Defaults", LineSettings{0, 0, 1}, {CBR_38400, ONESTOPBIT, 1, 0}},
        SelectorCase{"Baud19200", LineSettings{1, 0, 1}, {CBR_19200, ONESTOPBIT, 1, 0}},
        SelectorCase{"Baud9600TwoStops", LineSettings{2, 1, 0}, {CBR_9600, TWOSTOPBITS, 0, 0}},
        SelectorCase{"DsrHandshake", LineSettings{3, 2, 2}, {CBR_115200, ONESTOPBIT, 0, 1}},
        SelectorCase{"OutOfRange", LineSettings{4, 255, 3}, {CBR_38400, ONESTOPBIT, 0, 0}},
        SelectorCase{"MostlyOutOfRange", LineSettings{255, 1, 255}, {CBR_38400, TWOSTOPBITS, 0, 0}},
        SelectorCase{"Release", std::nullopt, {CBR_38400, ONESTOPBIT, 0, 0}}),
    [](const testing::TestParamInfo<SelectorCase>& info) { return std::string(info.param.name); });

TEST_F(Win32SerialLinkTest, FailuresOfTheCallsAreReported) {
    openWithRecord(portRecord(false));
    comm_.setResult = FALSE;
    EXPECT_FALSE(link_.applyTestSettings(LineSettings{}));
    EXPECT_FALSE(link_.applyReleaseSettings());
    EXPECT_FALSE(link_.applyTimeouts(4000));
    comm_.setResult = TRUE;
    EXPECT_TRUE(link_.applyTimeouts(1000));
    comm_.getResult = FALSE;
    EXPECT_FALSE(link_.readSettings());
}

TEST_F(Win32SerialLinkTest, TimeoutsMakeReadsReturnAtOnceAndBoundWrites) {
    openWithRecord(portRecord(false));
    ASSERT_TRUE(link_.applyTimeouts(4000));
    ASSERT_TRUE(link_.applyTimeouts(1000));
    EXPECT_EQ((std::vector<std::string>{"SetCommTimeouts FFFFFFFF 0 0 2 FA0",
                                        "SetCommTimeouts FFFFFFFF 0 0 2 3E8"}),
              comm_.calls);
}

TEST_F(Win32SerialLinkTest, WriteAndReadPassTheCallersBufferSynchronouslyAndReportTheCount) {
    openWithRecord(portRecord(false));
    uint8_t bytes[64] = {0x1B, 0x40};
    uint32_t count = 0;

    comm_.ioCount = 2;
    EXPECT_TRUE(link_.write(bytes, 2, &count));
    EXPECT_EQ(2u, count);
    EXPECT_EQ(static_cast<const void*>(bytes), comm_.ioBuffer);
    EXPECT_FALSE(comm_.ioOverlapped);

    // A write cut short by its time-out reports success with the smaller count.
    comm_.ioCount = 1;
    EXPECT_TRUE(link_.write(bytes, 25, &count));
    EXPECT_EQ(1u, count);

    comm_.ioCount = 0;
    EXPECT_TRUE(link_.readAvailable(bytes + 4, 60, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(static_cast<const void*>(bytes + 4), comm_.ioBuffer);
    EXPECT_FALSE(comm_.ioOverlapped);

    comm_.ioResult = FALSE;
    comm_.ioCount = 3;
    EXPECT_FALSE(link_.readAvailable(bytes, 64, &count));
    EXPECT_EQ(3u, count);
    EXPECT_FALSE(link_.write(bytes, 7, &count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ((std::vector<std::string>{"WriteFile 2", "WriteFile 25", "ReadFile 60", "ReadFile 64",
                                        "WriteFile 7"}),
              comm_.calls);
}

TEST_F(Win32SerialLinkTest, PauseSleepsOpenOrNotAndCloseHappensOnce) {
    link_.pause(300);
    EXPECT_EQ((std::vector<std::string>{"Sleep 300"}), comm_.calls);
    openWithRecord(portRecord(false));
    link_.pause(20);
    link_.close();
    link_.close();
    EXPECT_EQ((std::vector<std::string>{"Sleep 20", "CloseHandle"}), comm_.calls);
}

TEST_F(Win32SerialLinkTest, ALinkDroppedWhileOpenClosesItsPort) {
    {
        Win32SerialLink link(kRecordingCommApi);
        ASSERT_TRUE(link.open(pathOf(L"COM7")));
        Win32SerialLink never(kRecordingCommApi);
    }
    EXPECT_EQ("CloseHandle", comm_.calls.back());
    EXPECT_EQ(2u, comm_.calls.size());
}

} // namespace
