// A console that records what the test run shows, and a link that records each call it passes on.
#pragma once

#include "display/console_operations.h"
#include "display/serial_link.h"

#include <functional>
#include <string>
#include <vector>

class RecordingConsole : public ConsoleOperations {
  public:
    // What the port box holds, for the release.
    std::wstring portText;
    // One line per call: "setResultText TEXT", "showMessage TEXT | CAPTION", "postQuit 0", ...
    std::vector<std::wstring> calls;

    void setResultText(const wchar_t* text) override;
    void showMessage(const wchar_t* text, const wchar_t* caption) override;
    int portTextLength() override;
    void getPortText(wchar_t* buffer, int capacity) override;
    void setPortText(const wchar_t* text) override;
    void addPortEntry(const wchar_t* text) override;
    void postQuit(int exitCode) override;
};

// Passes every call to the real link and records it with its outcome: "open ok",
// "write 6 -> 6", "write 6 failed", "readAvailable 64 -> 0", "pause 300", ...
class RecordingLink : public SerialLink {
  public:
    explicit RecordingLink(SerialLink& inner) : inner_(inner) {}

    std::vector<std::string> calls;
    // Called with each pause before it is passed on: a test looks at the line there, while
    // the run holds it as it is.
    std::function<void(uint32_t ms)> beforePause;
    // The calls without the reads and pauses of reply collection, whose number depends on
    // timing: reads of other than 64 bytes, and pauses of 1 and 100 ms.
    std::vector<std::string> callsOutsideCollection() const;

    bool open(const DevicePath& path) override;
    bool readSettings() override;
    bool applyTestSettings(const LineSettings& settings) override;
    bool applyReleaseSettings() override;
    bool applyTimeouts(uint32_t writeConstantMs) override;
    bool write(const uint8_t* bytes, uint32_t n, uint32_t* written) override;
    bool readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) override;
    void restoreSettings() override;
    void close() override;
    void pause(uint32_t ms) override;

  private:
    bool record(const std::string& call, bool ok);

    SerialLink& inner_;
};
