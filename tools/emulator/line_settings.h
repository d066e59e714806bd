// The pty's line settings: how the emulator describes them in its log and sets them up at start.
#pragma once

#include <string>
#include <termios.h>

// The settings a pty can hold: speed, stop bits, handshake (it keeps 8 data bits, no parity).
struct LineSetup {
    unsigned speed = 38400;
    int stopBits = 1;
    bool rtscts = false;
};

// "9600,8N2" or "38400,8N1,rtscts"; false (and setup untouched) when text is not one.
bool parseLineSetup(const std::string& text, LineSetup& setup);
// Applies setup to the control flags and speeds of t, leaving the rest of t alone.
bool applyLineSetup(const LineSetup& setup, termios& t);
// "speed=38400 bits=8 parity=none stop=1 rtscts=off": the fields the log reports.
std::string describeLine(const termios& t);
