// The display test: one test run, its reply collection, and the release on leaving.
#pragma once

#include "display/console_operations.h"
#include "display/serial_link.h"
#include "display/types.h"

#include <cstddef>
#include <cstdint>

// The one receive area; the product-type reply stays in it after a run.
extern uint8_t ReplyBuffer[kReplyBufferSize];
// Set when the most recent test got a well-formed product-type reply; read by the release.
extern bool DisplayAnswered;

// The report a run shows: pieces appended at a running length, never past its capacity.
class TestReport {
public:
    TestReport() { text_[0] = L'\0'; }
    // Appends one formatted piece; what does not fit is cut at the capacity.
    void append(const wchar_t* format, ...);
    const wchar_t* text() const { return text_; }
    size_t length() const { return length_; }

private:
    wchar_t text_[kTestReportUnits];
    size_t length_ = 0;
};

// A drain reads at most this often; a device that never stops sending must not hold the run.
constexpr uint32_t kDrainMaxReads = kReplyBufferSize / 64;
constexpr uint32_t kDrainChunk = 64;
constexpr uint32_t kSilenceLimit = 50;
constexpr uint32_t kEmptyReadPauseMs = 100;
constexpr uint32_t kTestWriteConstantMs = 4000;
constexpr uint32_t kReleaseWriteConstantMs = 1000;

// Reads and discards what has arrived; true when a read failed.
bool drainInput(SerialLink& link);

struct CollectResult {
    bool readFailed;
    uint32_t count;
};
// Gathers a reply of about expected bytes into ReplyBuffer from its first byte.
CollectResult collectReply(SerialLink& link, uint32_t expected);

// The whole exchange with the display, from open to close; results go to the console.
void runTest(DevicePath& path, const LineSettings& settings, ConsoleOperations& console,
             SerialLink& link);

// Copies the port box's text into path after its prefix, cut to 16 characters (the port box
// then shows the cut name too); true when it was cut.
bool takePortName(ConsoleOperations& console, DevicePath& path);

// Re-initialises a display that answered in the most recent test; always ends with postQuit(0).
void releaseDisplay(DevicePath& path, ConsoleOperations& console, SerialLink& link);
