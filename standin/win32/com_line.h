// The stand-in on a COM port: the display's side of the utility's line, over Win32SerialLink.
#pragma once

#include "model/options.h"
#include "serial/win32_serial_link.h"

#include <atomic>
#include <functional>
#include <string>

// How the stand-in ends: stopped, the port went away while it ran, the port can't be used.
constexpr int kExitStopped = 0;
constexpr int kExitWentAway = 1;
constexpr int kExitBadPort = 2;

// How long an idle read waits for its first byte, and so how soon a stop is seen.
constexpr uint32_t kIdleWaitMs = 100;
// How long one write may take before it counts as stuck.
constexpr uint32_t kWriteWaitMs = 2000;

// Where the stand-in's words go, one call a line: the console's lines (stdout), and why it
// can't start, "DisplayStandIn: COM5: no such port" (stderr).
struct ComConsole {
    std::function<void(const std::string&)> show;
    std::function<void(const std::string&)> error;
};

// Plays the display of options.behaviour on options.device through link until stop is set or
// the port goes away; the port's settings are put back and it is closed on every path.
// Returns one of the exit codes above.
int runComLine(const EmulatorOptions& options, Win32SerialLink& link, const ComConsole& console,
               const std::atomic<bool>& stop);
