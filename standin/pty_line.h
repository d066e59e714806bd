// The stand-in's own line for the test rig: a pty whose slave is linked where a client looks.
#pragma once

#include "model/line_setup.h"

#include <string>

struct Pty {
    int master = -1;
    int slave = -1; // held so that the line and its settings outlive the other side's closes
    std::string path;
};

// A fresh raw pty with the initial settings; false with error naming the failed step.
bool openPty(const LineSetup& initial, Pty& pty, std::string& error);
void closePty(Pty& pty);
// Replaces link atomically, so that the other side never finds it missing or half-made.
bool makeLink(const std::string& target, const std::string& link, std::string& error);
// Removes link only while it is still ours: a pts number is reused by the next pty made.
void removeLink(const std::string& target, const std::string& link);
