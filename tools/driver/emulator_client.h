// The one reader of an emulated display's log and a stand-in's console output, and the
// display's mode switch, for the Win32 programs that scripts/with-displays.sh runs.
#pragma once

#include "standin/model/event_log.h"

#include <string>
#include <vector>

// Reads a whole file that another process may be writing or truncating at the same time.
bool readShared(const std::wstring& path, std::string& content);

// The port the harness keeps absent, or gives to a device that is no serial port, for NAME
// (LDT_PORT_<NAME>); empty when unset.
std::wstring harnessPort(const std::string& name);

// One emulated display or stand-in that scripts/with-displays.sh started, or a stand-in that
// a test started itself (watch).
class EmulatorClient {
  public:
    // Finds display or stand-in NAME through the harness's variables; false, with error set,
    // when they are missing. A stand-in on a port has no control file, so no modes.
    bool connect(const std::string& name, std::string& error);
    // A stand-in on port, with its log and console output at those Windows paths.
    void watch(const std::wstring& port, const std::wstring& log, const std::wstring& out);

    // Every name linked to the display, the port first, e.g. COM8 and COM10.
    const std::vector<std::wstring>& ports() const { return ports_; }
    const std::wstring& port() const { return ports_.front(); }
    // The emulator's Linux process id.
    const std::string& pid() const { return pid_; }
    // The pty the display serves now, e.g. /dev/pts/7: each mode brings a fresh one.
    std::string pty() const;

    // Gives the emulator a new behaviour (its options, e.g. "--silent") on a fresh line and
    // an empty log; false with error set when it refused or did not answer in time.
    bool setMode(const std::string& options, std::string& error);
    // From now on, until the next mode, only what the log gets after this counts.
    void mark();

    // The log since the mark; complete lines only.
    std::vector<EmulatorEvent> events() const;
    // The details of every event of one kind since the mark, in order.
    std::vector<std::string> events(const std::string& kind) const;
    // Every byte received since the mark, as "1B 40 ..." (chunks joined).
    std::string received() const { return joined("recv"); }
    // Every byte sent since the mark, likewise.
    std::string sent() const { return joined("send"); }
    // Waits until the most recent settings event is `expected`; returns the last one seen.
    std::string waitForSettings(const std::string& expected, int timeoutMs) const;
    // Waits until `count` bytes in all have been received or sent (kind recv or send).
    bool waitForBytes(const std::string& kind, size_t count, int timeoutMs) const;
    // Every byte received since the mark once there are as many as `expected` shows (in the same
    // form), or after the time-out.
    std::string receivedOnceItHas(const std::string& expected, int timeoutMs = 3000) const;
    // Waits until an event of that kind is logged; false on time-out.
    bool waitForEvent(const std::string& kind, int timeoutMs) const;
    // The display's two lines in the last frame its console output drew; none without one.
    std::vector<std::string> screen() const;
    // A stand-in's console output so far, as written; empty without one.
    std::string console() const;

  private:
    std::string joined(const std::string& kind) const;
    std::vector<EmulatorEvent> parse(size_t from) const;

    std::vector<std::wstring> ports_;
    std::wstring log_;
    std::wstring control_;
    std::wstring out_;
    std::string pid_;
    std::string startPty_;
    size_t mark_ = 0; // bytes of the log before the mark
    // One count for the whole process, and above the generation in force: a generation the
    // emulator has run before would be taken for the mode already in force.
    static unsigned generation_;
};
