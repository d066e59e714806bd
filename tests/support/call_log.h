// The one call log of the recording link and console, and how a misuse of either is reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One readable line per call ("write 1B 40", "pause 300", "readAvailable 64 -> 0",
// "setResultText ..."), shared by a link and a console so that their order shows across both.
struct CallLog {
    std::vector<std::string> lines;
    void add(std::string line) { lines.push_back(std::move(line)); }
};

// "1B 40" for the bytes 1B 40.
std::string hexBytes(const uint8_t* bytes, size_t n);
// A wide text as narrow ASCII: CR and LF as \r and \n, any other unit outside blank to tilde
// as \u followed by four hex digits, so that no difference is lost.
std::string narrow(const wchar_t* text);
std::string narrow(const std::wstring& text);

// A call the fakes must never be given (a write on a closed link, scripting a link that passes
// calls on, a run that never ends) is added to the log as "misuse: WHAT" and handed to the
// hook. Without a hook it goes to stderr; a GoogleTest program links test_support_gtest, whose
// hook makes it a test failure. Plain programs may also look at misuseCount().
using MisuseHook = void (*)(const std::string& what);
// Returns the hook it replaces.
MisuseHook setMisuseHook(MisuseHook hook);
void reportMisuse(CallLog& log, const std::string& what);
int misuseCount();
