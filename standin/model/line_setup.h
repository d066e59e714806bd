// The line settings the stand-in's own pty starts with, as its options give them.
#pragma once

#include <string>

// The settings a pty can hold: speed, stop bits, handshake (it keeps 8 data bits, no parity).
struct LineSetup {
    unsigned speed = 38400;
    int stopBits = 1;
    bool rtscts = false;
};

// "9600,8N2" or "38400,8N1,rtscts"; false (and setup untouched) when text is not one.
bool parseLineSetup(const std::string& text, LineSetup& setup);
