// The console's lines, built alike on every kind of line.
#include "console_text.h"

#include "event_log.h"

#include <cstdio>

std::string clockText(int hours, int minutes, int seconds, int millis) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", hours % 100, minutes % 100,
                  seconds % 100, millis % 1000);
    return text;
}

std::vector<std::string> receivedLines(const std::string& clock, const uint8_t* bytes, size_t n,
                                       const Reception& reception, bool pending,
                                       const Screen& screen, bool showScreen) {
    std::string names;
    for (const Item& item : reception.items) {
        names += (names.empty() ? "" : ", ") + describe(item);
    }
    if (pending) {
        names += names.empty() ? "(a command, continued in the next chunk)" : ", ...";
    }
    std::vector<std::string> lines = {clock + " received " + hex(bytes, n) + " = " + names};
    if (showScreen && reception.screenChanged) {
        const std::string indent(clock.size() + 1, ' ');
        for (const std::string& row : screen.frame()) {
            lines.push_back(indent + row);
        }
    }
    return lines;
}

std::string sentLine(const std::string& clock, const Bytes& reply, bool loopback) {
    std::string name = loopback ? "echo" : describeReply(reply);
    return clock + " sent " + hex(reply.data(), reply.size()) + (name.empty() ? "" : " = " + name);
}

std::string eventLine(const std::string& clock, const std::string& text) {
    return clock + " " + text;
}

std::string playingText(bool loopback, const std::string& port) {
    return std::string(loopback ? "a loopback plug" : "a CU20029 display") + " on " + port +
           " (Ctrl+C ends)";
}

std::string settingsText(const std::string& speed, int bits, const char* parity,
                         const char* stopBits, bool rtscts) {
    return "speed=" + speed + " bits=" + std::to_string(bits) + " parity=" + parity +
           " stop=" + stopBits + " rtscts=" + (rtscts ? "on" : "off");
}

std::string modemText(bool cts, bool dsr) {
    return std::string("CTS ") + (cts ? "on" : "off") + ", DSR " + (dsr ? "on" : "off");
}
