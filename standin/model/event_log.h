// The stand-in's log in one place for its writers and both its readers (the stand-in's own tests
// natively, EmulatorClient under Wine): one event a line, "MICROS EVENT DETAILS".
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

struct EmulatorEvent {
    uint64_t micros;
    std::string kind;    // mode, pty, settings, recv, send, hangup, control-error, stop
    std::string details; // the rest of the line
};

// "kind details", without the time stamp, so a failure shows what the display saw.
inline void PrintTo(const EmulatorEvent& event, std::ostream* out) {
    *out << event.kind << (event.details.empty() ? "" : " ") << event.details;
}

// One event as its writers put it in the log, its newline included.
inline std::string logLine(uint64_t micros, const std::string& event) {
    return std::to_string(micros) + " " + event + "\n";
}

// Bytes as the log writes them: "1B 40 4E ...".
inline std::string hex(const uint8_t* bytes, size_t n) {
    std::string text;
    char piece[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(piece, sizeof piece, i == 0 ? "%02X" : " %02X", bytes[i]);
        text += piece;
    }
    return text;
}

inline std::string hex(const std::string& bytes) {
    return hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// The events of the log's text from offset from on. A last line without its newline is still
// being written, and is left out.
inline std::vector<EmulatorEvent> parseLog(const std::string& text, size_t from = 0) {
    std::vector<EmulatorEvent> events;
    size_t end;
    while ((end = text.find('\n', from)) != std::string::npos) {
        std::string line = text.substr(from, end - from);
        from = end + 1;
        size_t first = line.find(' ');
        if (first == std::string::npos) {
            continue;
        }
        size_t second = line.find(' ', first + 1);
        EmulatorEvent e;
        e.micros = std::strtoull(line.c_str(), nullptr, 10);
        e.kind = line.substr(first + 1,
                             second == std::string::npos ? std::string::npos : second - first - 1);
        e.details = second == std::string::npos ? "" : line.substr(second + 1);
        events.push_back(e);
    }
    return events;
}

// The details of every event of one kind, in order.
inline std::vector<std::string> detailsOf(const std::vector<EmulatorEvent>& events,
                                          const std::string& kind) {
    std::vector<std::string> found;
    for (const EmulatorEvent& e : events) {
        if (e.kind == kind) {
            found.push_back(e.details);
        }
    }
    return found;
}
