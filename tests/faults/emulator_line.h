// The fault tests' view of an emulated display line: its log, its modes, and who holds it open.
#pragma once

#include "tools/driver/emulator_client.h"

#include <string>
#include <vector>

using LineEvent = EmulatorEvent;

// One emulator started by run-fault-tests.sh as NAME: NAME.log and, if it takes modes,
// NAME.control in $LDT_FAULT_DIR.
class EmulatorLine {
  public:
    explicit EmulatorLine(const std::string& name);

    // A new behaviour on a fresh pty (every link moved to it) and an empty log; false with
    // error set when the emulator refused it or did not take it within 5 s.
    bool setMode(const std::string& options, std::string& error) {
        return client_.setMode(options, error);
    }

    // Complete lines of the log as it stands.
    std::vector<LineEvent> events() const { return client_.events(); }
    // Hex bytes of every recv (or send) event, chunks joined by blanks.
    std::string received() const { return client_.received(); }
    std::string sent() const { return client_.sent(); }
    // The slave the emulator serves now, e.g. /dev/pts/7; empty before the first mode line.
    std::string pty() const;
    // Polls until an event of that kind is logged; false on time-out.
    bool waitForEvent(const std::string& kind, unsigned timeoutMs) const;

  private:
    EmulatorClient client_;
};

// Runs line-helper.sh with the words given and returns its output without the "rc" line;
// ok is false when it failed or gave no answer within 10 s.
std::string runLineHelper(const std::string& words, bool& ok);

// Every process but an emulator holding the slave open ("PID EXE" lines); empty when none.
// hungUp: the emulator has closed its end, so the slave is looked for by its deleted name.
std::string portHolders(const std::string& pty, bool hungUp);
