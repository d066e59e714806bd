// The one recording SerialLink: serves replies from a script in virtual time, or passes each
// call on to a real link; either way it records every call in one format.
#pragma once

#include "display/serial_link.h"
#include "tests/support/call_log.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

// Lines: "open \\.\COM3", "readSettings", "applyTestSettings 0 0 1", "applyReleaseSettings",
// "applyTimeouts 4000", "write 1B 40", "readAvailable 64 -> 0", "restoreSettings", "close",
// "pause 300". A failed call ends in " -> fail"; a write that wrote fewer bytes than asked in
// " -> COUNT".
class RecordingLink : public SerialLink {
  public:
    // Scripted: replies come from answer(), arriveAt() and sendForever(); time is virtual.
    explicit RecordingLink(CallLog& log) : log_(log), inner_(nullptr) {}
    // Recording only: every call goes on to inner and its outcome is recorded.
    RecordingLink(CallLog& log, SerialLink& inner) : log_(log), inner_(&inner) {}

    // Scripting, for a scripted link only. When the exact bytes of `command` are written,
    // `reply` becomes readable delayMs later; each rule answers once, in the order given.
    void answer(const std::vector<uint8_t>& command, const std::vector<uint8_t>& reply,
                uint64_t delayMs = 0);
    // A display that answers set-up mode start with `ack` and the product-type request with
    // `product`, productDelayMs late.
    void answerRequests(const std::string& ack, const std::string& product,
                        uint64_t productDelayMs = 0);
    // Bytes that become readable at virtual time atMs whatever is written.
    void arriveAt(uint64_t atMs, const std::vector<uint8_t>& bytes);
    // Every byte written from now on becomes readable again delayMs later, as through a
    // loopback plug.
    void echoWrites(uint64_t delayMs = 0);
    // Every read from now on finds `perRead` more bytes of `value`: a device that never stops.
    void sendForever(uint8_t value, uint32_t perRead);
    // No read hands out more than this many bytes at once.
    void limitReadChunk(uint32_t bytes);
    // The nth write reports success with only `count` bytes written.
    void shortWrite(int nth, uint32_t count);
    // The nth call (1 = first) of operation op fails without reaching the port; either mode.
    void failCall(const std::string& op, int nth = 1) { failures_[op].push_back(nth); }

    // Called with each pause before it is taken: a test looks at the line there, while the
    // run holds it as it is.
    std::function<void(uint32_t ms)> beforePause;

    // The sum of the pauses so far: virtual time when scripted.
    uint64_t now() const { return now_; }
    bool isOpen() const { return open_; }
    int opens() const { return opens_; }
    int closes() const { return closes_; }
    // Everything written while open, in order, as far as the writes reported it written.
    const std::vector<uint8_t>& wire() const { return wire_; }
    // The log without the reads and pauses of reply collection, whose number depends on the
    // line's timing: reads of other than 64 bytes, and pauses of 1 and 100 ms.
    std::vector<std::string> callsOutsideCollection() const;

    // A scripted run that makes this many calls does not end: from here on its reads fail.
    static constexpr int kCallLimit = 10000;

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
    struct Rule {
        std::vector<uint8_t> command;
        std::vector<uint8_t> reply;
        uint64_t delayMs;
    };
    struct Arrival {
        uint64_t atMs;
        std::vector<uint8_t> bytes;
    };
    bool shouldFail(const std::string& op);
    void requireOpen(const char* op);
    bool requireScripted(const char* what);
    bool record(std::string line, bool ok);
    // One call of op that may fail or go on to the inner link as `call`, logged as `line`.
    template <typename Call> bool forward(const char* op, const std::string& line, Call call);
    uint32_t scriptedRead(uint8_t* buffer, uint32_t max);

    CallLog& log_;
    SerialLink* inner_;
    std::deque<Rule> rules_;
    std::vector<Arrival> arrivals_;
    std::deque<uint8_t> pending_;
    std::map<std::string, std::vector<int>> failures_;
    std::map<std::string, int> calls_;
    std::map<int, uint32_t> shortWrites_;
    std::vector<uint8_t> wire_;
    uint64_t now_ = 0;
    uint32_t readChunk_ = UINT32_MAX;
    bool echo_ = false;
    uint64_t echoDelayMs_ = 0;
    uint8_t foreverValue_ = 0;
    uint32_t foreverPerRead_ = 0;
    int totalCalls_ = 0;
    bool runaway_ = false;
    bool open_ = false;
    int opens_ = 0;
    int closes_ = 0;
};
