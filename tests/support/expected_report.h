// The report a run shows for two replies, built apart from the product as the tests' oracle,
// and the bytes a run writes, taken from the display's commands (commands_test pins them).
#pragma once

#include "display/commands.h"

#include <string>
#include <vector>

// A command's bytes as the call log and the display's log write them: "1F 28 65 40 30".
std::string hex(const Command& command);
// Every byte one test run writes, so written: ESC @, the greeting and its NUL, set-up mode
// start, the product-type request, set-up mode end, "Test OK" and its NUL.
extern const std::string kTestRunBytes;

// The set-up acknowledgement, 28 65 01 00. Inline, so that tests' own constants may use it.
inline const std::string kSetupAckReply("\x28\x65\x01\x00", 4);
// The two product types that pass, blanks included.
constexpr const char* kKnownTypes[] = {"CU20029-T307A  ", "CU20029T307A01 "};
// A product-type reply: 28 65 40 and the 15 bytes of type.
std::string productReply(const std::string& type);

// The result box's capacity in units: a report is cut there.
constexpr size_t kReportUnits = 255;

// Safe in the initialisers of other files' constants: it uses no constant of its own file.
// The result box's text after a run whose collections gathered these two replies: each dump
// with its verdict, then "Test result: " with PASS for a known product or the unrecognised
// type's FAIL when the second reply is well-formed, all cut at the report's 255 units.
std::wstring expectedReport(const std::string& ackReply, const std::string& productReply);

// The calls of a run that goes through on `port`, reply collection left out, as the recording
// link and console log them: the greeting's drain finds the line empty, and the result box
// shows `report`.
std::vector<std::string> expectedGoodRunCalls(const std::wstring& port, const std::wstring& report);
// Their pauses: 300 ms after the greeting, 200 after set-up mode end, 200 after "Test OK".
constexpr uint32_t kRunPausesMs = 300 + 200 + 200;
// The calls of a release that goes through once the port box has named `port`.
std::vector<std::string> expectedReleaseCalls(const std::wstring& port);
