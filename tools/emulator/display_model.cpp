// The emulated display's command matcher and replies.
#include "display_model.h"

#include <algorithm>

const char kProductT307A[] = "CU20029-T307A  ";
const char kProductT307A01[] = "CU20029T307A01 ";
const char kProductUnknown[] = "CU40026-TW200A ";

namespace {

struct Pattern {
    Bytes bytes;
    Recognised what;
};

// US ( e opens every user set-up mode function; the fourth byte says which.
const std::vector<Pattern>& patterns() {
    static const std::vector<Pattern> all = {
        {{0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E}, Recognised::SetupStart},
        {{0x1F, 0x28, 0x65, 0x40, 0x30}, Recognised::ProductRequest},
        {{0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54}, Recognised::SetupEnd},
    };
    return all;
}

// The command that pending can still become, or nullptr. No command is the start of another,
// so a pending that is a whole command can become no other.
const Pattern* candidate(const Bytes& pending) {
    for (const Pattern& p : patterns()) {
        if (pending.size() <= p.bytes.size() &&
            std::equal(pending.begin(), pending.end(), p.bytes.begin())) {
            return &p;
        }
    }
    return nullptr;
}

} // namespace

DisplayModel::DisplayModel(const std::string& productType, size_t extraBytes, bool silent)
    : productType_(productType.begin(), productType.end()), extraBytes_(extraBytes),
      silent_(silent) {
    productType_.resize(15, ' ');
}

Bytes DisplayModel::reply(const Bytes& head) const {
    Bytes out = head;
    out.insert(out.end(), extraBytes_, kExtraByte);
    return out;
}

std::vector<Bytes> DisplayModel::receive(const uint8_t* bytes, size_t n) {
    std::vector<Bytes> replies;
    for (size_t i = 0; i < n; ++i) {
        pending_.push_back(bytes[i]);
        // Drop leading bytes until what is left could still become a command: a stray byte
        // in the middle of a sequence must not hide a command that starts after it. An empty
        // pending_ can become any.
        const Pattern* match;
        while ((match = candidate(pending_)) == nullptr) {
            pending_.erase(pending_.begin());
        }
        if (pending_ != match->bytes) {
            continue;
        }
        pending_.clear();
        recognised_.push_back(match->what);
        Bytes answer;
        switch (match->what) {
        case Recognised::SetupStart:
            setupMode_ = true;
            answer = {0x28, 0x65, 0x01, 0x00};
            break;
        case Recognised::ProductRequest:
            answer = {0x28, 0x65, 0x40};
            answer.insert(answer.end(), productType_.begin(), productType_.end());
            break;
        case Recognised::SetupEnd:
            setupMode_ = false;
            break;
        }
        if (!silent_ && !answer.empty()) {
            replies.push_back(reply(answer));
        }
    }
    return replies;
}
