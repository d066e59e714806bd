// The stand-in's display: command matcher, replies, names and screen.
#include "display_model.h"

#include "event_log.h"

#include <algorithm>

const char kProductT307A[] = "CU20029-T307A  ";
const char kProductT307A01[] = "CU20029T307A01 ";
const char kProductUnknown[] = "CU40026-TW200A ";

namespace {

struct Pattern {
    Bytes bytes;
    Item::Kind what;
};

// ESC @, and the user set-up mode functions, which US ( e opens and the fourth byte picks.
const std::vector<Pattern>& patterns() {
    static const std::vector<Pattern> all = {
        {{0x1B, 0x40}, Item::Kind::Initialise},
        {{0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E}, Item::Kind::SetupStart},
        {{0x1F, 0x28, 0x65, 0x40, 0x30}, Item::Kind::ProductRequest},
        {{0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54}, Item::Kind::SetupEnd},
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

bool printable(uint8_t byte) {
    return byte >= 0x20 && byte <= 0x7E;
}

// Adds byte to the last item when it is of the same kind, so that a run is named once.
void addByte(Item::Kind kind, uint8_t byte, std::vector<Item>& items) {
    if (items.empty() || items.back().kind != kind) {
        items.push_back({kind, {}});
    }
    items.back().bytes.push_back(byte);
}

} // namespace

std::string describe(const Item& item) {
    switch (item.kind) {
    case Item::Kind::Initialise:
        return "initialise";
    case Item::Kind::Text:
        return "text \"" + std::string(item.bytes.begin(), item.bytes.end()) + "\"";
    case Item::Kind::CarriageReturn:
        return "CR";
    case Item::Kind::LineFeed:
        return "LF";
    case Item::Kind::Nul:
        return "NUL";
    case Item::Kind::SetupStart:
        return "set-up mode start";
    case Item::Kind::ProductRequest:
        return "product-type request";
    case Item::Kind::SetupEnd:
        return "set-up mode end";
    case Item::Kind::NotUnderstood:
        break;
    }
    return "not understood " + hex(item.bytes.data(), item.bytes.size());
}

void Screen::clear() {
    for (std::string& r : rows_) {
        r.assign(kColumns, ' ');
    }
    row_ = 0;
    column_ = 0;
}

void Screen::put(uint8_t character) {
    rows_[row_][static_cast<size_t>(column_)] = static_cast<char>(character);
    if (++column_ == kColumns) {
        column_ = 0;
        row_ = 1 - row_;
    }
}

std::vector<std::string> Screen::frame() const {
    const std::string edge = "+" + std::string(kColumns, '-') + "+";
    return {edge, "|" + rows_[0] + "|", "|" + rows_[1] + "|", edge};
}

DisplayModel::DisplayModel(const std::string& productType, size_t extraBytes, bool silent,
                           bool loopback)
    : productType_(productType.begin(), productType.end()), extraBytes_(extraBytes),
      silent_(silent), loopback_(loopback) {
    productType_.resize(15, ' ');
}

Bytes DisplayModel::reply(const Bytes& head) const {
    Bytes out = head;
    out.insert(out.end(), extraBytes_, kExtraByte);
    return out;
}

void DisplayModel::single(uint8_t byte, Reception& out) {
    // In set-up mode the display takes only set-up functions; what it does with anything
    // else there is not known, so it is not guessed at.
    if (setupMode_) {
        addByte(Item::Kind::NotUnderstood, byte, out.items);
        return;
    }
    if (printable(byte)) {
        addByte(Item::Kind::Text, byte, out.items);
        screen_.put(byte);
        out.screenChanged = true;
    } else if (byte == 0x0D) {
        out.items.push_back({Item::Kind::CarriageReturn, {}});
        screen_.carriageReturn();
    } else if (byte == 0x0A) {
        out.items.push_back({Item::Kind::LineFeed, {}});
        screen_.lineFeed();
    } else if (byte == 0x00) {
        out.items.push_back({Item::Kind::Nul, {}});
    } else {
        addByte(Item::Kind::NotUnderstood, byte, out.items);
    }
}

void DisplayModel::command(Item::Kind kind, const Bytes& bytes, Reception& out) {
    Bytes answer;
    switch (kind) {
    case Item::Kind::Initialise:
        if (setupMode_) {
            for (uint8_t b : bytes) {
                single(b, out);
            }
            return;
        }
        screen_.clear();
        out.screenChanged = true;
        break;
    case Item::Kind::SetupStart:
        setupMode_ = true;
        answer = {0x28, 0x65, 0x01, 0x00};
        break;
    case Item::Kind::ProductRequest:
        // Answered in and out of set-up mode alike.
        answer = {0x28, 0x65, 0x40};
        answer.insert(answer.end(), productType_.begin(), productType_.end());
        break;
    case Item::Kind::SetupEnd:
        // Leaving the set-up mode restarts the display, as ESC @ does.
        if (setupMode_) {
            setupMode_ = false;
            screen_.clear();
            out.screenChanged = true;
        }
        break;
    default:
        break;
    }
    out.items.push_back({kind, {}});
    if (!silent_ && !answer.empty()) {
        out.replies.push_back(reply(answer));
    }
}

Reception DisplayModel::receive(const uint8_t* bytes, size_t n) {
    Reception out;
    for (size_t i = 0; i < n; ++i) {
        pending_.push_back(bytes[i]);
        // Drop leading bytes until what is left could still become a command: a stray byte
        // in the middle of a sequence must not hide a command that starts after it. An empty
        // pending_ can become any.
        const Pattern* match;
        while ((match = candidate(pending_)) == nullptr) {
            single(pending_.front(), out);
            pending_.erase(pending_.begin());
        }
        if (pending_ == match->bytes) {
            pending_.clear();
            command(match->what, match->bytes, out);
        }
    }
    // A plug has no screen and no answers of its own: what came goes straight back, named
    // as a display would take it.
    if (loopback_) {
        out.replies.clear();
        if (n > 0) {
            out.replies.emplace_back(bytes, bytes + n);
        }
        out.screenChanged = false;
    }
    return out;
}

std::string describeReply(const Bytes& reply) {
    if (reply.size() >= 4 && reply[0] == 0x28 && reply[1] == 0x65 && reply[2] == 0x01 &&
        reply[3] == 0x00) {
        return "set-up mode acknowledged";
    }
    if (reply.size() >= 18 && reply[0] == 0x28 && reply[1] == 0x65 && reply[2] == 0x40) {
        std::string type(reply.begin() + 3, reply.begin() + 18);
        for (char& c : type) {
            c = printable(static_cast<uint8_t>(c)) ? c : '.';
        }
        return "product type \"" + type + "\"";
    }
    return "";
}
