// The recording link: the script that stands in for a display, and the pass-through to a port.
#include "tests/support/recording_link.h"

#include "display/commands.h"

#include <algorithm>

void RecordingLink::answer(const std::vector<uint8_t>& command, const std::vector<uint8_t>& reply,
                           uint64_t delayMs) {
    if (requireScripted("answer")) {
        rules_.push_back({command, reply, delayMs});
    }
}

void RecordingLink::answerRequests(const std::string& ack, const std::string& product,
                                   uint64_t productDelayMs) {
    auto bytes = [](const Command& c) { return std::vector<uint8_t>(c.bytes, c.bytes + c.length); };
    answer(bytes(kSetupModeStart), std::vector<uint8_t>(ack.begin(), ack.end()));
    answer(bytes(kReadProductType), std::vector<uint8_t>(product.begin(), product.end()),
           productDelayMs);
}

void RecordingLink::arriveAt(uint64_t atMs, const std::vector<uint8_t>& bytes) {
    if (requireScripted("arriveAt")) {
        arrivals_.push_back({atMs, bytes});
    }
}

void RecordingLink::echoWrites(uint64_t delayMs) {
    if (requireScripted("echoWrites")) {
        echo_ = true;
        echoDelayMs_ = delayMs;
    }
}

void RecordingLink::sendForever(uint8_t value, uint32_t perRead) {
    if (requireScripted("sendForever")) {
        foreverValue_ = value;
        foreverPerRead_ = perRead;
    }
}

void RecordingLink::limitReadChunk(uint32_t bytes) {
    if (requireScripted("limitReadChunk")) {
        readChunk_ = bytes;
    }
}

void RecordingLink::shortWrite(int nth, uint32_t count) {
    if (requireScripted("shortWrite")) {
        shortWrites_[nth] = count;
    }
}

std::vector<std::string> RecordingLink::callsOutsideCollection() const {
    std::vector<std::string> kept;
    for (const std::string& c : log_.lines) {
        bool collecting =
            (c.rfind("readAvailable ", 0) == 0 && c.rfind("readAvailable 64 ", 0) != 0) ||
            c == "pause 1" || c == "pause 100";
        if (!collecting) {
            kept.push_back(c);
        }
    }
    return kept;
}

bool RecordingLink::requireScripted(const char* what) {
    if (inner_ != nullptr) {
        reportMisuse(log_, std::string(what) + " on a link that passes its calls on");
        return false;
    }
    return true;
}

bool RecordingLink::shouldFail(const std::string& op) {
    ++totalCalls_;
    int nth = ++calls_[op];
    const std::vector<int>& which = failures_[op];
    return std::find(which.begin(), which.end(), nth) != which.end();
}

void RecordingLink::requireOpen(const char* op) {
    if (!open_) {
        reportMisuse(log_, std::string(op) + " on a link that is not open");
    }
}

bool RecordingLink::record(std::string line, bool ok) {
    log_.add(ok ? std::move(line) : line + " -> fail");
    return ok;
}

template <typename Call>
bool RecordingLink::forward(const char* op, const std::string& line, Call call) {
    requireOpen(op);
    return record(line, !shouldFail(op) && (inner_ == nullptr || call(*inner_)));
}

bool RecordingLink::open(const DevicePath& path) {
    if (open_) {
        reportMisuse(log_, "open while already open");
    }
    bool ok = !shouldFail("open") && (inner_ == nullptr || inner_->open(path));
    if (ok) {
        open_ = true;
        ++opens_;
    }
    return record("open " + narrow(path.units), ok);
}

bool RecordingLink::readSettings() {
    return forward("readSettings", "readSettings",
                   [](SerialLink& inner) { return inner.readSettings(); });
}

bool RecordingLink::applyTestSettings(const LineSettings& s) {
    std::string line = "applyTestSettings " + std::to_string(s.baud) + " " +
                       std::to_string(s.stopBits) + " " + std::to_string(s.handshake);
    return forward("applyTestSettings", line,
                   [&](SerialLink& inner) { return inner.applyTestSettings(s); });
}

bool RecordingLink::applyReleaseSettings() {
    return forward("applyReleaseSettings", "applyReleaseSettings",
                   [](SerialLink& inner) { return inner.applyReleaseSettings(); });
}

bool RecordingLink::applyTimeouts(uint32_t writeConstantMs) {
    return forward("applyTimeouts", "applyTimeouts " + std::to_string(writeConstantMs),
                   [&](SerialLink& inner) { return inner.applyTimeouts(writeConstantMs); });
}

bool RecordingLink::write(const uint8_t* bytes, uint32_t n, uint32_t* written) {
    requireOpen("write");
    std::string line = "write " + hex(bytes, n);
    int nth = calls_["write"] + 1;
    *written = 0;
    if (shouldFail("write") || (inner_ != nullptr && !inner_->write(bytes, n, written))) {
        return record(line, false);
    }
    if (inner_ == nullptr) {
        auto shortened = shortWrites_.find(nth);
        *written = shortened != shortWrites_.end() ? std::min(n, shortened->second) : n;
    }
    if (*written != n) {
        line += " -> " + std::to_string(*written);
    }
    log_.add(line);
    wire_.insert(wire_.end(), bytes, bytes + std::min(n, *written));
    if (echo_ && *written > 0) {
        arrivals_.push_back({now_ + echoDelayMs_, std::vector<uint8_t>(bytes, bytes + *written)});
    }
    std::vector<uint8_t> sent(bytes, bytes + n);
    if (inner_ == nullptr && !rules_.empty() && rules_.front().command == sent) {
        arrivals_.push_back({now_ + rules_.front().delayMs, rules_.front().reply});
        rules_.pop_front();
    }
    return true;
}

uint32_t RecordingLink::scriptedRead(uint8_t* buffer, uint32_t max) {
    // Move everything due by now into the pending queue, earliest first.
    std::stable_sort(arrivals_.begin(), arrivals_.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    while (!arrivals_.empty() && arrivals_.front().atMs <= now_) {
        pending_.insert(pending_.end(), arrivals_.front().bytes.begin(),
                        arrivals_.front().bytes.end());
        arrivals_.erase(arrivals_.begin());
    }
    pending_.insert(pending_.end(), foreverPerRead_, foreverValue_);
    uint32_t count = static_cast<uint32_t>(std::min<uint64_t>({max, readChunk_, pending_.size()}));
    std::copy(pending_.begin(), pending_.begin() + count, buffer);
    pending_.erase(pending_.begin(), pending_.begin() + count);
    return count;
}

bool RecordingLink::readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) {
    requireOpen("readAvailable");
    std::string line = "readAvailable " + std::to_string(max);
    *read = 0;
    bool fail = shouldFail("readAvailable");
    // Failing the reads is what ends a loop that a bound should have ended.
    if (totalCalls_ >= kCallLimit) {
        if (!runaway_) {
            runaway_ = true;
            reportMisuse(log_, std::to_string(kCallLimit) + " calls: the run does not end");
        }
        fail = true;
    }
    if (fail || (inner_ != nullptr && !inner_->readAvailable(buffer, max, read))) {
        return record(line, false);
    }
    if (inner_ == nullptr) {
        *read = scriptedRead(buffer, max);
    }
    log_.add(line + " -> " + std::to_string(*read));
    return true;
}

void RecordingLink::restoreSettings() {
    requireOpen("restoreSettings");
    log_.add("restoreSettings");
    if (inner_ != nullptr) {
        inner_->restoreSettings();
    }
}

void RecordingLink::close() {
    requireOpen("close");
    log_.add("close");
    open_ = false;
    ++closes_;
    if (inner_ != nullptr) {
        inner_->close();
    }
}

void RecordingLink::pause(uint32_t ms) {
    ++totalCalls_;
    log_.add("pause " + std::to_string(ms));
    if (beforePause) {
        beforePause(ms);
    }
    now_ += ms;
    if (inner_ != nullptr) {
        inner_->pause(ms);
    }
}
