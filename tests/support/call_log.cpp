// The call log's text rendering, and the misuse hook.
#include "tests/support/call_log.h"

#include <cstdio>

namespace {

void (*misuseHook)(const std::string&) = nullptr;
int misuses = 0;

} // namespace

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) {
        unsigned long unit = static_cast<unsigned long>(*text);
        if (unit == L'\r') {
            out += "\\r";
        } else if (unit == L'\n') {
            out += "\\n";
        } else if (unit < 0x20 || unit > 0x7E) {
            char escaped[16];
            std::snprintf(escaped, sizeof escaped, "\\u%04lX", unit);
            out += escaped;
        } else {
            out += static_cast<char>(unit);
        }
    }
    return out;
}

std::string narrow(const std::wstring& text) {
    return narrow(text.c_str());
}

std::string jsonString(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

void setMisuseHook(void (*hook)(const std::string& what)) {
    misuseHook = hook;
}

void reportMisuse(CallLog& log, const std::string& what) {
    ++misuses;
    log.add("misuse: " + what);
    if (misuseHook != nullptr) {
        misuseHook(what);
    } else {
        std::fprintf(stderr, "misuse of a recording fake: %s\n", what.c_str());
    }
}

int misuseCount() {
    return misuses;
}
