// libFuzzer target: a test run and then the release over a link whose every answer is fuzzed.
//
// Input, read front to back, one decision per byte (an exhausted input answers "success,
// nothing arrived"):
//   open, readSettings, applyTestSettings, applyReleaseSettings, applyTimeouts: FF fails
//   write: FF fails; FE reports success with the count in the next byte; else all written
//   readAvailable: FF fails; else min(byte, offered) bytes follow and are what was read
//   first byte of all: the port box's length for the release (0-40)
#include "display/test_run.h"
#include "tests/support/device_path.h"
#include "tests/support/expected_report.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t next() { return empty() ? 0 : data_[pos_++]; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The longest a run may take by its own rules: each byte of the two expected replies after
// up to 49 empty reads, each collection's final silence, and the fixed pauses.
constexpr uint64_t kMaxRunMs = (4 + 18) * (49 * 100 + 1) + 2 * 50 * 100 + kRunPausesMs;

class FuzzLink : public SerialLink {
  public:
    explicit FuzzLink(Input& in) : in_(in) {}

    // Per use (run or release): what happened, checked when the use ends.
    bool open_ = false;
    int opens = 0;
    int closes = 0;
    int restores = 0;
    bool settingsApplied = false; // restore is due on close
    bool timeoutsFailed = false;
    bool failed = false; // a write or read failed: no command may follow
    bool inRelease = false;
    uint64_t now = 0;

    bool open(const DevicePath& path) override {
        if (open_) {
            broken("open while open");
        }
        if (wcsnlen(path.units, kDevicePathUnits) >= kDevicePathUnits) {
            broken("device path not terminated");
        }
        if (in_.next() == 0xFF) {
            return false;
        }
        open_ = true;
        ++opens;
        return true;
    }
    bool readSettings() override { return step("readSettings"); }
    bool applyTestSettings(const LineSettings&) override { return step("applyTestSettings"); }
    bool applyReleaseSettings() override {
        bool ok = step("applyReleaseSettings");
        settingsApplied = ok;
        return ok;
    }
    bool applyTimeouts(uint32_t writeConstantMs) override {
        if (writeConstantMs != (inRelease ? kReleaseWriteConstantMs : kTestWriteConstantMs)) {
            broken("write constant");
        }
        bool ok = step("applyTimeouts");
        if (!inRelease) {
            settingsApplied = ok;
        }
        timeoutsFailed = !ok;
        return ok;
    }
    bool write(const uint8_t*, uint32_t n, uint32_t* written) override {
        requireOpen("write");
        if (failed && !inRelease) {
            broken("command written after a failure");
        }
        if (timeoutsFailed) {
            broken("write under failed time-outs");
        }
        uint8_t b = in_.next();
        if (b == 0xFF) {
            failed = true;
            *written = 0;
            return false;
        }
        *written = n;
        if (b == 0xFE) {
            uint8_t count = in_.next();
            *written = count < n ? count : n;
        }
        if (*written != n) {
            failed = true;
        }
        return true;
    }
    bool readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) override {
        requireOpen("readAvailable");
        if (max == 0 || max > kReplyBufferSize) {
            broken("read size");
        }
        if (buffer < ReplyBuffer || buffer + max > ReplyBuffer + kReplyBufferSize) {
            broken("read outside the receive area");
        }
        uint8_t b = in_.next();
        if (b == 0xFF) {
            failed = true;
            return false;
        }
        uint32_t count = b < max ? b : max;
        for (uint32_t i = 0; i < count; ++i) {
            buffer[i] = in_.next();
        }
        *read = count;
        return true;
    }
    void restoreSettings() override {
        requireOpen("restoreSettings");
        ++restores;
    }
    void close() override {
        requireOpen("close");
        if (restores != (settingsApplied ? 1 : 0)) {
            broken("saved settings not put back exactly on the paths that applied them");
        }
        open_ = false;
        ++closes;
    }
    void pause(uint32_t ms) override { now += ms; }

    void startUse(bool release) {
        restores = 0;
        settingsApplied = false;
        timeoutsFailed = false;
        failed = false;
        inRelease = release;
    }

  private:
    void requireOpen(const char* op) {
        if (!open_) {
            broken(op);
        }
    }
    bool step(const char* op) {
        requireOpen(op);
        return in_.next() != 0xFF;
    }
    Input& in_;
};

class FuzzConsole : public ConsoleOperations {
  public:
    explicit FuzzConsole(size_t portLength) : portLength_(portLength) {}
    int quits = 0;
    int lastExit = -1;
    bool releasing = false;

    void setResultText(const wchar_t* text) override {
        if (wcsnlen(text, kTestReportUnits) >= kTestReportUnits) {
            broken("report longer than 255 units");
        }
        touched();
    }
    void showMessage(const wchar_t* text, const wchar_t* caption) override {
        if (wcsnlen(text, 64) >= 64 || wcsnlen(caption, 64) >= 64) {
            broken("box text");
        }
        touched();
    }
    int portTextLength() override { return static_cast<int>(portLength_); }
    void getPortText(wchar_t* buffer, int capacity) override {
        if (capacity <= 0 || capacity > 17) {
            broken("port text capacity");
        }
        size_t take = portLength_ < static_cast<size_t>(capacity - 1) ? portLength_ : capacity - 1;
        wmemset(buffer, L'C', take);
        buffer[take] = L'\0';
    }
    void setPortText(const wchar_t* text) override {
        if (wcslen(text) != kPortNameMaxUnits) {
            broken("cut port name");
        }
    }
    void addPortEntry(const wchar_t*) override { broken("addPortEntry"); }
    void postQuit(int exitCode) override {
        ++quits;
        lastExit = exitCode;
    }

  private:
    void touched() {
        if (releasing) {
            broken("the release showed a text");
        }
    }
    size_t portLength_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    FuzzConsole console(in.next() % 41);
    FuzzLink link(in);
    DevicePath path = pathOf(L"COM7");
    LineSettings settings;

    DisplayAnswered = false; // the dialog clears it before every test
    link.startUse(false);
    runTest(path, settings, console, link);
    if (link.open_ || link.opens != link.closes) {
        broken("run left the port open");
    }
    if (link.now > kMaxRunMs) {
        broken("run took longer than its rules allow");
    }
    bool answered = DisplayAnswered;

    int opensBefore = link.opens;
    link.startUse(true);
    console.releasing = true;
    releaseDisplay(path, console, link);
    if (link.open_ || link.opens != link.closes) {
        broken("release left the port open");
    }
    if (!answered && link.opens != opensBefore) {
        broken("release opened a port for a display that did not answer");
    }
    if (DisplayAnswered != answered) {
        broken("release changed DisplayAnswered");
    }
    if (console.quits != 1 || console.lastExit != 0) {
        broken("release must end with exactly one postQuit(0)");
    }
    return 0;
}
