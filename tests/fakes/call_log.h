// One readable line per call, shared by the fakes so that their order shows across them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct CallLog {
    std::vector<std::string> lines;
    void add(std::string line) { lines.push_back(std::move(line)); }
};

// "1B 40" for the bytes 1B 40.
std::string hexBytes(const uint8_t* bytes, size_t n);
// A wide text as narrow ASCII, with CR and LF shown as \r and \n.
std::string narrow(const wchar_t* text);
