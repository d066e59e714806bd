// Tests of the stand-in on a COM port against the recording table of the communications
// functions: how it takes the port, what it answers, and what it puts back on every way out.
#include "com_line.h"
#include "tests/support/recording_comm.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// GENERIC_READ | GENERIC_WRITE, no sharing, OPEN_EXISTING (3), no flags.
const std::string kOpen = "CreateFileW \\\\.\\COM5 access=C0000000 share=0 security=none "
                          "disposition=3 flags=0 template=none";
const std::string kReadSetup = "ReadFile 4096 -> 1F 28 65 01 49 4E";
const std::string kPortSettings = "speed=9600 bits=7 parity=even stop=2 rtscts=on";

// The calls of taking the port, `calls`, then those of putting it back. Reads wait 100 ms (64)
// for their first byte; writes may take 2000 ms (7D0).
std::vector<std::string> served(std::vector<std::string> calls) {
    calls.insert(calls.begin(), {kOpen, "GetCommState", "SetCommState",
                                 "SetCommTimeouts FFFFFFFF FFFFFFFF 64 0 7D0", "GetCommState",
                                 "GetCommModemStatus"});
    calls.insert(calls.end(), {"SetCommState", "CloseHandle"});
    return calls;
}

class ComLineTest : public testing::Test {
  protected:
    ComLineTest() {
        recordingComm = &comm_;
        // A port as another program left it: 9600 7E2 with the RTS/CTS handshake.
        comm_.reported.BaudRate = CBR_9600;
        comm_.reported.ByteSize = 7;
        comm_.reported.Parity = EVENPARITY;
        comm_.reported.StopBits = TWOSTOPBITS;
        comm_.reported.fOutxCtsFlow = 1;
        comm_.writeWhole = true;
        comm_.modemResult = FALSE; // as under Wine on a pty
        comm_.reads = {{0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E}};
        comm_.readsDone = [this] { stop_ = true; };
    }
    ~ComLineTest() override { recordingComm = nullptr; }

    int run(const std::vector<std::string>& args) {
        EmulatorOptions options;
        std::string error;
        EXPECT_TRUE(parseCommandLine(args, options, error)) << error;
        Win32SerialLink link(kRecordingCommApi);
        ComConsole console{[this](const std::string& line) { shown_.push_back(line.substr(13)); },
                           [this](const std::string& line) { errors_.push_back(line); }};
        return runComLine(options, link, console, stop_);
    }

    RecordingComm comm_;
    std::atomic<bool> stop_{false};
    std::vector<std::string> shown_; // without their time of day
    std::vector<std::string> errors_;
};

// With modem lines, which are looked at before every read and shown when they change.
TEST_F(ComLineTest, TakesThePortAsTheDisplaysSideAnswersAndPutsItBackOnAStop) {
    comm_.modemResult = TRUE;
    comm_.modemLines = MS_CTS_ON;
    comm_.readsDone = [this] { comm_.modemLines = MS_DSR_ON, stop_ = shown_.size() >= 6; };
    EXPECT_EQ(kExitStopped, run({"COM5"}));
    EXPECT_EQ(served({"GetCommModemStatus", kReadSetup, "WriteFile 4", "GetCommModemStatus",
                      "ReadFile 4096", "GetCommModemStatus", "ReadFile 4096"}),
              comm_.calls);
    EXPECT_EQ((std::vector<uint8_t>{0x28, 0x65, 0x01, 0x00}), comm_.wire);
    // 38400 8N1, DTR and RTS on, no flow control; then the port's own record back.
    ASSERT_EQ(2u, comm_.setRecords.size());
    const DCB& set = comm_.setRecords[0];
    EXPECT_EQ((std::vector<DWORD>{CBR_38400, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE,
                                  RTS_CONTROL_ENABLE, 0, 0, 0, 0}),
              (std::vector<DWORD>{set.BaudRate, set.ByteSize, set.Parity, set.StopBits,
                                  set.fDtrControl, set.fRtsControl, set.fOutxCtsFlow,
                                  set.fOutxDsrFlow, set.fOutX, set.fInX}));
    EXPECT_EQ(0, std::memcmp(&comm_.reported, &comm_.setRecords[1], sizeof(DCB)));
    EXPECT_EQ((std::vector<std::string>{
                  "a CU20029 display on COM5 (Ctrl+C ends)", "settings " + kPortSettings,
                  "modem lines CTS on, DSR off", "received 1F 28 65 01 49 4E = set-up mode start",
                  "sent 28 65 01 00 = set-up mode acknowledged", "modem lines CTS off, DSR on",
                  "stopped; the port's settings are put back"}),
              shown_);
}

// Every other way out: the calls, the exit code and the last word. A port that can't be used
// is named with the reason on stderr; one that goes away while it runs is put back and closed.
struct WayOut {
    const char* name;
    void (*arrange)(RecordingComm&);
    std::vector<std::string> calls;
    int exitCode;
    std::string message;
};

void PrintTo(const WayOut& c, std::ostream* os) {
    *os << c.name;
}

class ComLineWayOutTest : public ComLineTest, public testing::WithParamInterface<WayOut> {};

TEST_P(ComLineWayOutTest, CallsAndWords) {
    const WayOut& c = GetParam();
    c.arrange(comm_);
    EXPECT_EQ(c.exitCode, run({"COM5", "--loopback"}));
    EXPECT_EQ(c.calls, comm_.calls);
    const std::vector<std::string>& words = c.exitCode == kExitBadPort ? errors_ : shown_;
    ASSERT_FALSE(words.empty());
    EXPECT_EQ(c.message, words.back());
    if (c.exitCode != kExitBadPort) {
        EXPECT_EQ("COM5 reports no modem lines (a virtual port?): CTS and DSR not shown",
                  shown_[2]);
    }
}

void failOpen(RecordingComm& comm, DWORD error) {
    comm.openResult = INVALID_HANDLE_VALUE;
    comm.openError = error;
}

INSTANTIATE_TEST_SUITE_P(
    Ways, ComLineWayOutTest,
    testing::Values(
        // An adapter pulled out: the failing read ends it at once, never tried again.
        WayOut{"ReadFails",
               [](RecordingComm& c) {
                   c.readsDone = [&c] { c.ioResult = FALSE, c.failError = ERROR_BAD_COMMAND; };
               },
               served({kReadSetup, "WriteFile 6", "ReadFile 4096"}), kExitWentAway,
               "COM5 went away (ReadFile failed with error 22)"},
        // Wine's answer to a write on a null modem whose other end has closed.
        WayOut{"WriteFails",
               [](RecordingComm& c) { c.ioResult = FALSE, c.failError = ERROR_NOT_READY; },
               served({kReadSetup, "WriteFile 6"}), kExitWentAway,
               "COM5 went away (WriteFile failed with error 21)"},
        WayOut{"WriteTakesNothing", [](RecordingComm& c) { c.writeWhole = false; },
               served({kReadSetup, "WriteFile 6"}), kExitWentAway,
               "COM5 went away (WriteFile sent nothing in 2000 ms)"},
        WayOut{"Missing",
               [](RecordingComm& c) { failOpen(c, ERROR_FILE_NOT_FOUND); },
               {kOpen},
               kExitBadPort,
               "DisplayStandIn: COM5: no such port"},
        WayOut{"Held",
               [](RecordingComm& c) { failOpen(c, ERROR_ACCESS_DENIED); },
               {kOpen},
               kExitBadPort,
               "DisplayStandIn: COM5: held by another program"},
        WayOut{"OtherError",
               [](RecordingComm& c) { failOpen(c, ERROR_GEN_FAILURE); },
               {kOpen},
               kExitBadPort,
               "DisplayStandIn: COM5: can't be opened (error 31)"},
        WayOut{"NoSerialPort",
               [](RecordingComm& c) { c.getResult = FALSE; },
               {kOpen, "GetCommState", "CloseHandle"},
               kExitBadPort,
               "DisplayStandIn: COM5: not a serial port"},
        WayOut{"SettingsRefused",
               [](RecordingComm& c) { c.setResult = FALSE, c.failError = ERROR_INVALID_PARAMETER; },
               {kOpen, "GetCommState", "SetCommState", "SetCommState", "CloseHandle"},
               kExitBadPort,
               "DisplayStandIn: COM5: can't be set to 38400 8N1 (error 87)"}),
    [](const testing::TestParamInfo<WayOut>& info) { return std::string(info.param.name); });

} // namespace
