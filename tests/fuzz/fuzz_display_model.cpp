// libFuzzer target: the stand-in's display model and console lines over any bytes, in any chunks.
//
// Input: the first byte picks the model (bit 0 silent, bit 1 loopback, bits 2-3 extra reply
// bytes) and the second the chunk size (1-64); the rest is what the line brings.
#include "model/console_text.h"
#include "model/display_model.h"

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void requireAscii(const std::string& line) {
    for (char c : line) {
        if (c < 0x20 || c > 0x7E) {
            broken("console line not printable ASCII");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    const bool silent = data[0] & 1, loopback = data[0] & 2;
    const size_t extra = (data[0] >> 2) & 3, chunk = data[1] % 64 + 1;
    data += 2;
    size -= 2;

    DisplayModel whole(kProductT307A, extra, silent, loopback);
    DisplayModel chunked(kProductT307A, extra, silent, loopback);
    Reception all = whole.receive(data, size);
    Bytes replied;
    for (size_t i = 0; i < size; i += chunk) {
        size_t n = size - i < chunk ? size - i : chunk;
        Reception r = chunked.receive(data + i, n);
        for (const Bytes& reply : r.replies) {
            replied.insert(replied.end(), reply.begin(), reply.end());
        }
        if (loopback && (r.replies.size() != 1 || r.replies[0] != Bytes(data + i, data + i + n))) {
            broken("a loopback sends back exactly what came");
        }
        if (silent && !loopback && !r.replies.empty()) {
            broken("a silent display answered");
        }
        for (const std::string& line :
             receivedLines("00:00:00.000", data + i, n, r, chunked.pendingCommand(),
                           chunked.screen(), !loopback)) {
            requireAscii(line);
        }
        for (const Bytes& reply : r.replies) {
            requireAscii(sentLine("00:00:00.000", reply, loopback));
        }
    }
    Bytes repliedWhole;
    for (const Bytes& reply : all.replies) {
        repliedWhole.insert(repliedWhole.end(), reply.begin(), reply.end());
    }
    // However the line chunks the bytes, the display does and shows the same.
    if (replied != repliedWhole) {
        broken("replies depend on the chunking");
    }
    for (int row = 0; row < Screen::kRows; ++row) {
        if (whole.screen().row(row) != chunked.screen().row(row)) {
            broken("screen depends on the chunking");
        }
        if (chunked.screen().row(row).size() != static_cast<size_t>(Screen::kColumns)) {
            broken("a line is not 20 characters");
        }
    }
    if (whole.inSetupMode() != chunked.inSetupMode()) {
        broken("set-up mode depends on the chunking");
    }
    return 0;
}
