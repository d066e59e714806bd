// The Win32 side of the display emulator: its port, its log, and mode switching.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reads a whole file that another process may be writing or truncating at the same time.
bool readShared(const std::wstring& path, std::string& content);

// Bytes as the emulator's log writes them: "1B 40 4E ...".
std::string hex(const std::string& bytes);

// Every byte one test run writes, in the log's form: ESC @, the greeting and its NUL, set-up
// mode start, the product-type request, set-up mode end, "Test OK" and its NUL: 53 bytes.
extern const std::string kTestRunBytes;

struct EmulatorEvent {
    uint64_t micros;
    std::string kind;    // mode, pty, settings, recv, send, hangup, control-error, stop
    std::string details; // the rest of the line
};

// Finds the emulator that scripts/with-emulator.sh started through the variables it exports.
class EmulatorClient {
  public:
    // False, with error set, when not run under scripts/with-emulator.sh.
    bool connect(std::string& error);
    // Uses an emulator started some other way, through its log and control file.
    void attach(const std::wstring& log, const std::wstring& control);

    // Every port linked to the emulator, e.g. COM5 and COM10.
    const std::vector<std::wstring>& ports() const { return ports_; }
    const std::wstring& port() const { return ports_.front(); }

    // Gives the emulator a new behaviour (its options, e.g. "--silent") on a fresh line and
    // an empty log; false with error set when it refused or did not answer in time.
    bool setMode(const std::string& options, std::string& error);

    // The log as it stands; complete lines only.
    std::vector<EmulatorEvent> events() const;
    // The details of every event of one kind, in order.
    std::vector<std::string> events(const std::string& kind) const;
    // Every byte received since the mode began, as "1B 40 ..." (chunks joined).
    std::string received() const { return joined("recv"); }
    // Every byte sent since the mode began, likewise.
    std::string sent() const { return joined("send"); }
    // Waits until the most recent settings event is `expected`; returns the last one seen.
    std::string waitForSettings(const std::string& expected, int timeoutMs) const;
    // Waits until `count` bytes in all have been received or sent (kind recv or send).
    bool waitForBytes(const std::string& kind, size_t count, int timeoutMs) const;

  private:
    std::string joined(const std::string& kind) const;

    std::vector<std::wstring> ports_;
    std::wstring log_;
    std::wstring control_;
    // One count for the whole process: every client talks to the same emulator, and a
    // generation it has seen before would be taken for the mode already in force.
    static unsigned generation_;
};
