// The stand-in's command line and control-file options: the display's behaviour and the set-up.
#pragma once

#include "line_setup.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How the display behaves; a control file replaces it whole.
struct Behaviour {
    std::string productType;   // 15 bytes after padding; the first known type by default
    bool silent = false;       // takes every byte, never answers
    bool loopback = false;     // no display: echoes every byte, as a loopback plug does
    uint32_t delayMs = 0;      // before the first byte of each reply
    bool trickle = false;      // replies one byte at a time...
    uint32_t trickleGapMs = 0; // ...this far apart
    size_t extraBytes = 0;     // appended to every reply
    bool flood = false;        // sends filler bytes for as long as the line takes them
    bool hangUp = false;       // closes the line...
    uint64_t hangUpAfter = 0;  // ...once this many bytes have been received
    LineSetup initial;         // the line settings the pty starts with
    std::string text;          // the options as given, for the log
};

struct EmulatorOptions {
    Behaviour behaviour;
    std::string device;             // a serial port to play on; empty: a pty of its own
    std::vector<std::string> links; // symbolic links to the pty's slave
    std::string logPath;            // empty: the log goes to stderr
    std::string controlPath;        // empty: no control file
    bool exitWithParent = false;
    bool help = false;
};

// Parses the behaviour options alone (the control file's words); error says what was wrong.
bool parseBehaviour(const std::vector<std::string>& args, Behaviour& behaviour, std::string& error);
// Parses the whole command line (without the program name). With a device, only the options
// that make sense on a real port are taken.
bool parseCommandLine(const std::vector<std::string>& args, EmulatorOptions& options,
                      std::string& error);
// The --help text.
const char* usageText();
// Splits a control-file line into words at white space (blanks, tabs, line ends).
std::vector<std::string> splitWords(const std::string& line);
