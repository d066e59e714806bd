// The recording fakes of the serial link and the console.
#include "tests/fakes/fake_console.h"
#include "tests/fakes/fake_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

std::string hexBytes(const uint8_t* bytes, size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            out += ' ';
        }
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    return out;
}

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) {
        if (*text == L'\r') {
            out += "\\r";
        } else if (*text == L'\n') {
            out += "\\n";
        } else if (*text < 0x20 || *text > 0x7E) {
            out += '?';
        } else {
            out += static_cast<char>(*text);
        }
    }
    return out;
}

void FakeLink::answer(const std::vector<uint8_t>& command, const std::vector<uint8_t>& reply,
                      uint64_t delayMs) {
    rules_.push_back({command, reply, delayMs});
}

void FakeLink::arriveAt(uint64_t atMs, const std::vector<uint8_t>& bytes) {
    arrivals_.push_back({atMs, bytes});
}

bool FakeLink::shouldFail(const std::string& op) {
    int nth = ++calls_[op];
    const std::vector<int>& which = failures_[op];
    return std::find(which.begin(), which.end(), nth) != which.end();
}

void FakeLink::requireOpen(const char* op) {
    if (!open_) {
        ADD_FAILURE() << op << " on a link that is not open";
    }
}

bool FakeLink::open(const DevicePath& path) {
    if (open_) {
        ADD_FAILURE() << "open while already open";
    }
    std::string line = "open " + narrow(path.units);
    if (shouldFail("open")) {
        log_.add(line + " -> fail");
        return false;
    }
    log_.add(line);
    open_ = true;
    ++opens_;
    return true;
}

bool FakeLink::readSettings() {
    requireOpen("readSettings");
    bool fail = shouldFail("readSettings");
    log_.add(fail ? "readSettings -> fail" : "readSettings");
    return !fail;
}

bool FakeLink::applyTestSettings(const LineSettings& s) {
    requireOpen("applyTestSettings");
    bool fail = shouldFail("applyTestSettings");
    log_.add("applyTestSettings " + std::to_string(s.baud) + " " + std::to_string(s.stopBits) +
             " " + std::to_string(s.handshake) + (fail ? " -> fail" : ""));
    return !fail;
}

bool FakeLink::applyReleaseSettings() {
    requireOpen("applyReleaseSettings");
    bool fail = shouldFail("applyReleaseSettings");
    log_.add(fail ? "applyReleaseSettings -> fail" : "applyReleaseSettings");
    return !fail;
}

bool FakeLink::applyTimeouts(uint32_t writeConstantMs) {
    requireOpen("applyTimeouts");
    bool fail = shouldFail("applyTimeouts");
    log_.add("applyTimeouts " + std::to_string(writeConstantMs) + (fail ? " -> fail" : ""));
    return !fail;
}

bool FakeLink::write(const uint8_t* bytes, uint32_t n, uint32_t* written) {
    requireOpen("write");
    int nth = calls_["write"] + 1;
    std::string line = "write " + hexBytes(bytes, n);
    if (shouldFail("write")) {
        *written = 0;
        log_.add(line + " -> fail");
        return false;
    }
    uint32_t count = n;
    auto shortened = shortWrites_.find(nth);
    if (shortened != shortWrites_.end()) {
        count = std::min(n, shortened->second);
        line += " -> " + std::to_string(count);
    }
    log_.add(line);
    wire_.insert(wire_.end(), bytes, bytes + count);
    std::vector<uint8_t> sent(bytes, bytes + n);
    if (!rules_.empty() && rules_.front().command == sent) {
        arrivals_.push_back({now_ + rules_.front().delayMs, rules_.front().reply});
        rules_.pop_front();
    }
    *written = count;
    return true;
}

bool FakeLink::readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) {
    requireOpen("readAvailable");
    std::string line = "readAvailable " + std::to_string(max);
    if (shouldFail("readAvailable")) {
        *read = 0;
        log_.add(line + " -> fail");
        return false;
    }
    // Move everything due by now into the pending queue, earliest first.
    std::stable_sort(arrivals_.begin(), arrivals_.end(),
                     [](const Arrival& a, const Arrival& b) { return a.atMs < b.atMs; });
    while (!arrivals_.empty() && arrivals_.front().atMs <= now_) {
        pending_.insert(pending_.end(), arrivals_.front().bytes.begin(),
                        arrivals_.front().bytes.end());
        arrivals_.erase(arrivals_.begin());
    }
    for (uint32_t i = 0; i < foreverPerRead_; ++i) {
        pending_.push_back(foreverValue_);
    }
    uint32_t count = std::min<uint64_t>({max, readChunk_, pending_.size()});
    for (uint32_t i = 0; i < count; ++i) {
        buffer[i] = pending_.front();
        pending_.pop_front();
    }
    *read = count;
    log_.add(line + " -> " + std::to_string(count));
    return true;
}

void FakeLink::restoreSettings() {
    requireOpen("restoreSettings");
    log_.add("restoreSettings");
}

void FakeLink::close() {
    requireOpen("close");
    log_.add("close");
    open_ = false;
    ++closes_;
}

void FakeLink::pause(uint32_t ms) {
    log_.add("pause " + std::to_string(ms));
    now_ += ms;
}

void FakeConsole::setResultText(const wchar_t* text) {
    resultText = text;
    log_.add("setResultText " + narrow(text));
}

void FakeConsole::showMessage(const wchar_t* text, const wchar_t* caption) {
    log_.add("showMessage " + narrow(text) + " | " + narrow(caption));
    if (whileBoxOpen) {
        whileBoxOpen();
    }
}

int FakeConsole::portTextLength() {
    log_.add("portTextLength -> " + std::to_string(portText.size()));
    return static_cast<int>(portText.size());
}

void FakeConsole::getPortText(wchar_t* buffer, int capacity) {
    log_.add("getPortText " + std::to_string(capacity));
    if (capacity <= 0) {
        return;
    }
    size_t take = std::min(portText.size(), static_cast<size_t>(capacity - 1));
    std::wmemcpy(buffer, portText.data(), take);
    buffer[take] = L'\0';
}

void FakeConsole::setPortText(const wchar_t* text) {
    portText = text;
    log_.add("setPortText " + narrow(text));
}

void FakeConsole::addPortEntry(const wchar_t* text) {
    log_.add("addPortEntry " + narrow(text));
}

void FakeConsole::postQuit(int exitCode) {
    log_.add("postQuit " + std::to_string(exitCode));
}
