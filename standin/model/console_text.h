// The stand-in's console: one line an event, each after its time of day, in ASCII only, since
// code pages differ.
#pragma once

#include "display_model.h"

#include <string>
#include <vector>

// "HH:MM:SS.mmm", the time every console line starts with.
std::string clockText(int hours, int minutes, int seconds, int millis);

// A chunk received and what it said; the display's lines in their frame after it when they
// changed. pending: a command was cut at the chunk's end (it is named with the next chunk).
std::vector<std::string> receivedLines(const std::string& clock, const uint8_t* bytes, size_t n,
                                       const Reception& reception, bool pending,
                                       const Screen& screen, bool showScreen);
// A reply that went out whole.
std::string sentLine(const std::string& clock, const Bytes& reply, bool loopback);
// Any other event: "HH:MM:SS.mmm text".
std::string eventLine(const std::string& clock, const std::string& text);
// What it plays, on which port: "a CU20029 display on COM3 (Ctrl+C ends)".
std::string playingText(bool loopback, const std::string& port);

// The line settings as the log and the console say them, whatever the port reports them in:
// "speed=38400 bits=8 parity=none stop=1 rtscts=off".
std::string settingsText(const std::string& speed, int bits, const char* parity,
                         const char* stopBits, bool rtscts);
// The modem lines the display drives: "CTS on, DSR off".
std::string modemText(bool cts, bool dsr);
