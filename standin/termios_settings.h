// A tty's line settings in termios: set up from a LineSetup, and described in the log's words.
#pragma once

#include "model/line_setup.h"

#include <string>
#include <termios.h>

// Applies setup to the control flags and speeds of t, leaving the rest of t alone.
bool applyLineSetup(const LineSetup& setup, termios& t);
// "speed=38400 bits=8 parity=none stop=1 rtscts=off": the fields the log reports.
std::string describeLine(const termios& t);
