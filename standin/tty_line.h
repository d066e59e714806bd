// The stand-in on a serial port of the machine's own (/dev/ttyUSB0, /dev/ttyS0), or on one end
// of a null modem.
#pragma once

#include <string>
#include <termios.h>

struct Tty {
    int fd = -1;
    std::string path;
    termios saved{}; // the port's settings before, put back at the end
    bool hasModemLines = false;
};

// Takes the port for the stand-in alone, raw at 38400 8N1 without flow control, with RTS and DTR
// raised. False with error saying why, in a technician's words; note is set when the port has
// no modem lines (a pty), which is no failure.
bool openTty(const std::string& path, Tty& tty, std::string& error, std::string& note);
// "CTS on, DSR off"; empty when the port has no modem lines or they can't be read.
std::string modemLines(const Tty& tty);
// Puts the saved settings back and closes the port.
void closeTty(Tty& tty);
