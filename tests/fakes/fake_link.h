// A scripted SerialLink: records each call, serves reply bytes by virtual time, fails on demand.
#pragma once

#include "display/serial_link.h"
#include "tests/fakes/call_log.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

class FakeLink : public SerialLink {
public:
    explicit FakeLink(CallLog& log) : log_(log) {}

    // When the exact bytes of `command` are written, `reply` becomes readable delayMs later.
    // Each rule answers once, in the order the rules were given.
    void answer(const std::vector<uint8_t>& command, const std::vector<uint8_t>& reply,
                uint64_t delayMs = 0);
    // Bytes that become readable at virtual time atMs whatever is written.
    void arriveAt(uint64_t atMs, const std::vector<uint8_t>& bytes);
    // Every read from now on finds `perRead` more bytes of `value`: a device that never stops.
    void sendForever(uint8_t value, uint32_t perRead) { foreverValue_ = value, foreverPerRead_ = perRead; }
    // No read hands out more than this many bytes at once.
    void limitReadChunk(uint32_t bytes) { readChunk_ = bytes; }
    // The nth call (1 = first) of operation op fails.
    void failCall(const std::string& op, int nth = 1) { failures_[op].push_back(nth); }
    // The nth write reports success with only `count` bytes written.
    void shortWrite(int nth, uint32_t count) { shortWrites_[nth] = count; }

    uint64_t now() const { return now_; }
    bool isOpen() const { return open_; }
    int opens() const { return opens_; }
    int closes() const { return closes_; }
    // Everything written while open, in order.
    const std::vector<uint8_t>& wire() const { return wire_; }

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

    CallLog& log_;
    std::deque<Rule> rules_;
    std::vector<Arrival> arrivals_;
    std::deque<uint8_t> pending_;
    std::map<std::string, std::vector<int>> failures_;
    std::map<std::string, int> calls_;
    std::map<int, uint32_t> shortWrites_;
    std::vector<uint8_t> wire_;
    uint64_t now_ = 0;
    uint32_t readChunk_ = UINT32_MAX;
    uint8_t foreverValue_ = 0;
    uint32_t foreverPerRead_ = 0;
    bool open_ = false;
    int opens_ = 0;
    int closes_ = 0;
};
