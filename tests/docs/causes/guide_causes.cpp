// The guide's cause table: each listed cause, played on the core, gives its part's outcome.
// Each cause in docs/technician-guide.md is marked with a situation of kSituations, scripted on
// the recording link as Windows presents it; Exit must reset the display only where the marker
// says so.
#include "display/commands.h"
#include "display/test_run.h"
#include "tests/support/device_path.h"
#include "tests/support/expected_report.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const Command& command) {
    return Bytes(command.bytes, command.bytes + command.length);
}

// A CU20029 display that answers both questions at once.
void theRightDisplay(RecordingLink& link) {
    link.answerRequests(kSetupAckReply, productReply("CU20029-T307A  "));
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
         l.answerRequests(ack, productReply("CU20029-T307A  "));
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
         std::string product = productReply("CU20029-T307A  ");
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
    std::string outcome;
    bool exitResets;
};

std::string outcomeOfBox(const RecordingConsole::Message& box) {
    if (box.caption == L"Error.  Could not open COM port:") {
        return "open-failure";
    }
    static const std::map<std::wstring, std::string> kFunctions = {
        {L"GetCommState() returned error.", "get-comm-state"},
        {L"SetCommState() returned error.", "set-comm-state"},
        {L"SetCommTimeouts() returned error.", "set-comm-timeouts"},
        {L"WriteFile() returned error.", "write-file"},
        {L"ReadFile() returned error.", "read-file"},
    };
    auto found = kFunctions.find(box.text);
    return found != kFunctions.end() ? found->second : "box " + narrow(box.text);
}

std::string outcomeOfReport(const std::wstring& report) {
    if (report.find(L"Test result: PASS.") != std::wstring::npos) {
        return "pass";
    }
    if (report.find(L"Test result: FAIL - unrecognised product type") != std::wstring::npos) {
        return "unknown-product";
    }
    if (report.find(L"User set up mode start returned 0 bytes:") != std::wstring::npos &&
        report.find(L"(Product type) returned 0 bytes:") != std::wstring::npos) {
        return "silent";
    }
    if (report.find(L"(Incorrect)") != std::wstring::npos) {
        return "incorrect";
    }
    return "report " + narrow(report);
}

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

    Played played;
    played.outcome = console.messages.empty() ? outcomeOfReport(console.resultText)
                                              : outcomeOfBox(console.messages.front());
    int opensBefore = link.opens();
    size_t wireBefore = link.wire().size();
    releaseDisplay(path, console, link);
    Bytes sent(link.wire().begin() + static_cast<std::ptrdiff_t>(wireBefore), link.wire().end());
    played.exitResets = link.opens() > opensBefore && sent == bytesOf(kInitialiseDisplay);
    return played;
}

// One cause marker of the guide, where it stands.
struct Marker {
    int line;
    std::string situation;
    bool exitResets;
    std::vector<std::string> outcomes; // those of the part it stands in
};

struct Reading {
    std::vector<Marker> markers;
    std::vector<std::string> problems;
};

// Reads the markers. A part starts at an "outcome" marker; a cause list starts at "Likely
// causes" and runs to the next heading; each numbered item in it must carry a cause marker,
// and no cause marker may stand outside such an item.
Reading readGuide(const std::string& text) {
    static const std::regex kOutcome(R"(^<!--\s*outcome:\s*([a-z0-9 -]+?)\s*-->$)");
    static const std::regex kCause(R"(<!--\s*cause:\s*([^>]*?)\s*-->)");
    static const std::regex kMarkerBody(R"(^([a-z0-9-]+)(, exit resets the display)?$)");
    static const std::regex kItem(R"(^\d+\.\s)");
    Reading reading;
    std::vector<std::string> outcomes;
    bool inCauseList = false;
    std::string previous;
    bool inItem = false;
    int itemLine = 0;
    int itemMarkers = 0;
    auto endItem = [&] {
        if (inItem && itemMarkers == 0) {
            reading.problems.push_back("line " + std::to_string(itemLine) +
                                       ": a listed cause has no situation marker");
        }
        inItem = false;
    };

    std::istringstream lines(text);
    std::string line;
    bool blankBefore = false;
    for (int number = 1; std::getline(lines, line); ++number) {
        std::smatch found;
        if (std::regex_match(line, found, kOutcome)) {
            std::istringstream names(found[1].str());
            outcomes.assign(std::istream_iterator<std::string>(names), {});
        }
        if (line.rfind("#", 0) == 0) {
            endItem();
            inCauseList = false;
        } else if ((previous + " " + line).find("Likely causes") != std::string::npos) {
            // The words may be split over two lines.
            inCauseList = true;
        }
        previous = line;

        if (std::regex_search(line, kItem)) {
            endItem();
            inItem = inCauseList;
            itemLine = number;
            itemMarkers = 0;
        } else if (inItem && blankBefore && !line.empty() && line[0] != ' ') {
            endItem(); // a paragraph after the list
        }
        blankBefore = line.empty();

        for (auto at = std::sregex_iterator(line.begin(), line.end(), kCause);
             at != std::sregex_iterator(); ++at) {
            std::string body = (*at)[1].str();
            std::smatch parts;
            if (!std::regex_match(body, parts, kMarkerBody)) {
                reading.problems.push_back("line " + std::to_string(number) +
                                           ": unreadable cause marker \"" + body + "\"");
                continue;
            }
            if (!inItem) {
                reading.problems.push_back("line " + std::to_string(number) + ": cause " +
                                           parts[1].str() + " outside a listed cause");
                continue;
            }
            ++itemMarkers;
            reading.markers.push_back({number, parts[1].str(), parts[2].matched, outcomes});
        }
    }
    endItem();
    return reading;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        out += (out.empty() ? "" : " ") + name;
    }
    return out;
}

// Every problem with the guide's causes; empty when each gives what its part says.
std::vector<std::string> checkCauses(const std::string& guide) {
    Reading reading = readGuide(guide);
    std::vector<std::string> problems = reading.problems;
    std::map<std::string, int> used;
    for (const Marker& marker : reading.markers) {
        const Situation* situation =
            std::find_if(std::begin(kSituations), std::end(kSituations),
                         [&](const Situation& s) { return marker.situation == s.name; });
        std::string where = "line " + std::to_string(marker.line) + ": " + marker.situation;
        if (situation == std::end(kSituations)) {
            problems.push_back(where + " is no situation of the table");
            continue;
        }
        ++used[marker.situation];
        Played played = play(*situation);
        const std::vector<std::string>& listed = marker.outcomes;
        if (std::find(listed.begin(), listed.end(), played.outcome) == listed.end()) {
            problems.push_back(where + " gives " + played.outcome + ", but is listed under " +
                               (listed.empty() ? "no outcome" : joined(listed)));
        }
        if (played.exitResets != marker.exitResets) {
            problems.push_back(where + (played.exitResets
                                            ? ": Exit then resets the display; the marker "
                                              "does not say so"
                                            : ": Exit then leaves the port alone; the marker "
                                              "says it resets the display"));
        }
    }
    for (const Situation& s : kSituations) {
        if (used.count(s.name) == 0) {
            problems.push_back(std::string("situation ") + s.name + " is listed nowhere");
        }
    }
    return problems;
}

std::string readFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string lines(const std::vector<std::string>& problems) {
    std::string out;
    for (const std::string& p : problems) {
        out += "  " + p + "\n";
    }
    return out;
}

class GuideCausesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        guide_ = readFile(LDT_GUIDE);
        ASSERT_FALSE(guide_.empty()) << "cannot read " << LDT_GUIDE;
    }
    std::string guide_;
};

TEST_F(GuideCausesTest, EveryListedCauseGivesTheOutcomeOfItsPart) {
    std::vector<std::string> problems = checkCauses(guide_);
    EXPECT_TRUE(problems.empty()) << LDT_GUIDE << ":\n" << lines(problems);
}

// The check itself: a cause moved under a part its situation does not give, and a cause
// without its marker, must each be caught.
TEST_F(GuideCausesTest, CheckCatchesAMovedCauseAndAnUnmarkedOne) {
    std::string moved = guide_;
    size_t afterSilentList = moved.find("### Answers marked (Incorrect)");
    ASSERT_NE(afterSilentList, std::string::npos);
    moved.insert(afterSilentList,
                 "5. Another program holds the port. <!-- cause: port-held -->\n\n");
    std::string problems = lines(checkCauses(moved));
    EXPECT_NE(problems.find("port-held gives open-failure, but is listed under silent"),
              std::string::npos)
        << problems;

    std::string unmarked = guide_;
    size_t marker = unmarked.find("<!-- cause: no-such-port -->");
    ASSERT_NE(marker, std::string::npos);
    unmarked.erase(marker, std::strlen("<!-- cause: no-such-port -->"));
    problems = lines(checkCauses(unmarked));
    EXPECT_NE(problems.find("a listed cause has no situation marker"), std::string::npos)
        << problems;
}

} // namespace
