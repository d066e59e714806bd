// The guide's cause table: each situation a listed cause rests on, played on the core as Windows
// presents it, and the outcome it gives, for the guide check (tests/docs/check_guide.py) to hold
// against the part of the guide that lists the cause. Exit must reset the display only where the
// guide's marker says so.
// Usage: guide_causes CAUSES_JSON
#include "display/commands.h"
#include "display/test_run.h"
#include "tests/support/device_path.h"
#include "tests/support/expected_report.h"
#include "tests/support/outcomes.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const Command& command) {
    return Bytes(command.bytes, command.bytes + command.length);
}

// A CU20029 display that answers both questions at once.
void theRightDisplay(RecordingLink& link) {
    link.answerRequests(kSetupAckReply, productReply(kKnownTypes[0]));
}

// Writes taken, nothing ever comes back: the link's default.
void nothingComesBack(RecordingLink&) {}

// CTS never on: the first write times out with nothing sent (see ready-signal-missing).
void ctsNeverOn(RecordingLink& link) {
    theRightDisplay(link);
    link.shortWrite(1, 0);
}

// The read that collects the first answer fails.
void firstAnswerReadFails(RecordingLink& link) {
    theRightDisplay(link);
    link.failCall("readAvailable", 2);
}

// One physical situation, scripted as Windows presents it to the link's calls.
struct Situation {
    const char* name;
    void (*script)(RecordingLink& link);
    bool emptyPortBox;
};

// Each row names the documented Win32 behaviour it rests on.
const Situation kSituations[] = {
    // CreateFile of a communications resource must ask for exclusive access (share mode 0);
    // when another process is using it, CreateFile fails (ERROR_ACCESS_DENIED).
    {"port-held", [](RecordingLink& l) { l.failCall("open"); }, false},
    // OPEN_EXISTING on a device name that is not there: CreateFile fails
    // (ERROR_FILE_NOT_FOUND); a USB adapter's COM name goes away with the adapter.
    {"no-such-port", [](RecordingLink& l) { l.failCall("open"); }, false},
    // An empty box leaves the bare "\\.\", which names no device: CreateFile fails.
    {"empty-port-name", [](RecordingLink& l) { l.failCall("open"); }, true},
    // CreateFile opens any device (LPT1 too), but GetCommState fails on a handle that is no
    // communications device.
    {"not-a-serial-port", [](RecordingLink& l) { l.failCall("readSettings"); }, false},
    // A port driver that cannot report its DCB: GetCommState returns zero.
    {"driver-cannot-read-settings", [](RecordingLink& l) { l.failCall("readSettings"); }, false},
    // A driver that rejects a DCB value (speed, CTS flow): SetCommState returns zero.
    {"settings-refused", [](RecordingLink& l) { l.failCall("applyTestSettings"); }, false},
    // A driver that rejects the COMMTIMEOUTS: SetCommTimeouts returns zero.
    {"timeouts-refused", [](RecordingLink& l) { l.failCall("applyTimeouts"); }, false},
    // fOutxCtsFlow: while CTS is off, output is suspended; an unpowered or unplugged display
    // leaves CTS off (an open RS-232 input reads as off). The first write then ends at its
    // total time-out (2 ms a byte plus 4000 ms) and, as COMMTIMEOUTS documents, a timed-out
    // WriteFile returns TRUE with the count actually sent: here none.
    {"ready-signal-missing", ctsNeverOn, false},
    // A powered display whose ready output never reaches CTS (three wires, DSR, the wrong
    // crossing, its busy output off).
    {"handshake-wiring", ctsNeverOn, false},
    // The same after both answers came: the write of set-up mode end times out short.
    {"ready-signal-lost-after-answer",
     [](RecordingLink& l) {
         theRightDisplay(l);
         l.shortWrite(5, 0);
     },
     false},
    // A USB serial adapter completes WriteFile once its driver has taken the bytes, CTS or
    // not; with the MAXDWORD read interval ReadFile returns at once with what has arrived:
    // nothing, every time.
    {"adapter-nothing-connected", nothingComesBack, false},
    {"adapter-display-unpowered", nothingComesBack, false},
    // A powered display keeps CTS on at any speed, so every write completes; one that cannot
    // read the commands, or whose answers never reach the terminal, sends nothing back.
    {"display-other-speed", nothingComesBack, false},
    {"answer-wire-broken", nothingComesBack, false},
    // A printer, scanner or scale keeps CTS on, takes every write and never answers.
    {"other-device-silent", nothingComesBack, false},
    // The verdict reads the second answer alone: a spoiled first one still passes...
    {"first-answer-spoiled",
     [](RecordingLink& l) {
         std::string ack = kSetupAckReply;
         ack[1] = '\xE5';
         l.answerRequests(ack, productReply(kKnownTypes[0]));
     },
     false},
    // ...and a right first one fails with a silent second (through an adapter, writes go on).
    {"second-answer-missing", [](RecordingLink& l) { l.answerRequests(kSetupAckReply, ""); },
     false},
    // Another device on the line (here one that echoes what it gets): writes complete, and
    // what ReadFile returns has the wrong length and start.
    {"other-device-answers", [](RecordingLink& l) { l.echoWrites(); }, false},
    // A loopback plug joining TX-RX and RTS-CTS: its own RTS gives CTS, so every write
    // completes and comes straight back as input, later than the drain right after the
    // greeting can see it.
    {"loopback-plug", [](RecordingLink& l) { l.echoWrites(1); }, false},
    // A plug joining TX-RX alone leaves CTS off: the first write times out with nothing sent.
    {"loopback-plug-without-handshake",
     [](RecordingLink& l) {
         l.echoWrites(1);
         l.shortWrite(1, 0);
     },
     false},
    // Noise: ReadFile returns what the UART received, a byte added to one answer and one
    // spoiled in the other.
    {"noise-on-the-line",
     [](RecordingLink& l) {
         std::string product = productReply(kKnownTypes[0]);
         product[1] = '\xE5';
         l.answerRequests(kSetupAckReply + '\xFF', product);
     },
     false},
    // A display of the family but another model: well-formed answers naming another type.
    {"other-model",
     [](RecordingLink& l) { l.answerRequests(kSetupAckReply, productReply("CU40026-TW200A ")); },
     false},
    // A removed USB adapter's handle stays, but WriteFile and ReadFile on it fail.
    {"adapter-pulled-while-sending",
     [](RecordingLink& l) {
         theRightDisplay(l);
         l.failCall("write", 3);
     },
     false},
    {"adapter-pulled-while-reading", firstAnswerReadFails, false},
    // DCB fAbortOnError, left on by other software: after a framing error the driver ends
    // every read and write with an error until ClearCommError, which the program never calls.
    // Here the error comes with the first answer, or before the second question is written.
    {"framing-error-abort-on-error-read", firstAnswerReadFails, false},
    {"framing-error-abort-on-error-write",
     [](RecordingLink& l) {
         theRightDisplay(l);
         l.failCall("write", 4);
     },
     false},
    // A driver whose ReadFile fails from the start: the drain's first read.
    {"driver-fails-read", [](RecordingLink& l) { l.failCall("readAvailable", 1); }, false},
};

// What a situation showed: the guide's outcome name, and whether Exit reset the display.
struct Played {
    std::string outcome; // "" when no row of the outcome table names it
    std::wstring result;
    bool exitResets;
};

Played play(const Situation& situation) {
    CallLog log;
    RecordingLink link(log);
    RecordingConsole console(log);
    situation.script(link);
    console.portText = situation.emptyPortBox ? L"" : L"COM3";

    DevicePath path = pathOf(L"");
    takePortName(console, path);
    DisplayAnswered = false; // as the Test button leaves it
    runTest(path, LineSettings{}, console, link);

    Shown shown{console.resultText, {}};
    for (const RecordingConsole::Message& box : console.messages) {
        shown.boxes.push_back({box.caption, box.text});
    }
    Played played;
    played.outcome = outcomeOf(console.portText, shown);
    played.result = console.resultText;
    int opensBefore = link.opens();
    size_t wireBefore = link.wire().size();
    releaseDisplay(path, console, link);
    Bytes sent(link.wire().begin() + static_cast<std::ptrdiff_t>(wireBefore), link.wire().end());
    played.exitResets = link.opens() > opensBefore && sent == bytesOf(kInitialiseDisplay);
    return played;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: guide_causes CAUSES_JSON\n");
        return 2;
    }
    std::string json = "{\n";
    for (const Situation& s : kSituations) {
        Played played = play(s);
        json += std::string(json.size() > 2 ? ",\n" : "") + "  \"" + s.name +
                "\": {\"outcome\": \"" + played.outcome +
                "\", \"exit_resets\": " + (played.exitResets ? "true" : "false") +
                ", \"result\": " + jsonString(played.result) + "}";
    }
    json += "\n}\n";
    FILE* out = std::fopen(argv[1], "wb");
    bool written = out != nullptr && std::fputs(json.c_str(), out) >= 0;
    if (out == nullptr || std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "guide_causes: could not write %s\n", argv[1]);
        return 1;
    }
    return misuseCount() == 0 ? 0 : 1;
}
