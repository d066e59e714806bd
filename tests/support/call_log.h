// The one call log of the recording link and console, and how a misuse of either is reported.
#pragma once

#include "standin/model/event_log.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One readable line per call ("write 1B 40", "pause 300", "readAvailable 64 -> 0",
// "setResultText ..."), shared by a link and a console so that their order shows across both;
// bytes written as the display's log writes them (hex(), event_log.h).
struct CallLog {
    std::vector<std::string> lines;
    void add(std::string line) { lines.push_back(std::move(line)); }
};

// A wide text as narrow ASCII: CR and LF as \r and \n, any other unit outside blank to tilde
// as \u followed by four hex digits, so that no difference is lost. The one narrowing of the
// tests and tools: call logs, failure messages, ports and paths.
std::string narrow(const wchar_t* text);
std::string narrow(const std::wstring& text);
// A text as a JSON string, quoted: quotes and backslashes escaped, any unit outside blank to
// tilde as \u and four hex digits.
std::string jsonString(const std::wstring& text);

// A call the fakes must never be given (a write on a closed link, scripting a link that passes
// calls on, a run that never ends) is added to the log as "misuse: WHAT", counted, and handed to
// the hook: by default stderr; in a GoogleTest program (test_support_gtest) a test failure.
void setMisuseHook(void (*hook)(const std::string& what));
void reportMisuse(CallLog& log, const std::string& what);
// How many misuses so far: a plain program fails when it is not 0.
int misuseCount();
