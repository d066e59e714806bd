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

bool isPrefixOf(const Bytes& head, const Bytes& whole) {
    return head.size() <= whole.size() && std::equal(head.begin(), head.end(), whole.begin());
}

} // namespace

Bytes productTypeBytes(const std::string& text) {
    Bytes bytes(text.begin(), text.end());
    bytes.resize(kProductTypeBytes, ' ');
    return bytes;
}

DisplayModel::DisplayModel(const std::string& productType, size_t extraBytes, bool silent)
    : productType_(productTypeBytes(productType)), extraBytes_(extraBytes), silent_(silent) {}

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
        // in the middle of a sequence must not hide a command that starts after it.
        while (!pending_.empty()) {
            const Pattern* full = nullptr;
            bool prefix = false;
            for (const Pattern& p : patterns()) {
                if (pending_ == p.bytes) {
                    full = &p;
                } else if (isPrefixOf(pending_, p.bytes)) {
                    prefix = true;
                }
            }
            if (full != nullptr) {
                pending_.clear();
                recognised_.push_back(full->what);
                switch (full->what) {
                case Recognised::SetupStart:
                    setupMode_ = true;
                    if (!silent_) {
                        replies.push_back(reply({0x28, 0x65, 0x01, 0x00}));
                    }
                    break;
                case Recognised::ProductRequest:
                    if (!silent_) {
                        Bytes head = {0x28, 0x65, 0x40};
                        head.insert(head.end(), productType_.begin(), productType_.end());
                        replies.push_back(reply(head));
                    }
                    break;
                case Recognised::SetupEnd:
                    setupMode_ = false;
                    break;
                }
                break;
            }
            if (prefix) {
                break;
            }
            pending_.erase(pending_.begin());
        }
    }
    return replies;
}
