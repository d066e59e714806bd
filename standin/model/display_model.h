// The stand-in's CU20029 display: the commands it names in a byte stream, what it answers, and
// what its two lines show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The 15 product-type bytes of the two displays the utility accepts, and one it does not.
extern const char kProductT307A[];   // "CU20029-T307A  "
extern const char kProductT307A01[]; // "CU20029T307A01 "
extern const char kProductUnknown[]; // "CU40026-TW200A "

// One thing the received bytes said, as the stand-in names it.
struct Item {
    enum class Kind {
        Initialise,     // ESC @
        Text,           // printable ASCII, in bytes
        CarriageReturn, // CR
        LineFeed,       // LF
        Nul,            // NUL, which the display takes and ignores
        SetupStart,     // US ( e 01 I N
        ProductRequest, // US ( e @ 0
        SetupEnd,       // US ( e 02 O U T
        NotUnderstood,  // anything else, in bytes; never guessed at
    };
    Kind kind;
    Bytes bytes; // the text, or the bytes not understood
};

// "initialise", "text \"VFD test\"", "set-up mode end", "not understood 1B 41", ...
std::string describe(const Item& item);

// The display's two lines of 20 characters, written as its default (overwrite) mode writes:
// a character at the cursor, which moves right, from the end of the upper line to the start of
// the lower one, and from the end of the lower line back home.
class Screen {
  public:
    static constexpr int kColumns = 20;
    static constexpr int kRows = 2;

    Screen() { clear(); }
    // Blank lines, cursor home.
    void clear();
    void put(uint8_t character);
    void carriageReturn() { column_ = 0; }
    // To the same column of the other line; the default mode does not scroll.
    void lineFeed() { row_ = 1 - row_; }
    const std::string& row(int r) const { return rows_[r]; }
    // The two lines in a frame, "+----...+" above and below, one line of text each.
    std::vector<std::string> frame() const;

  private:
    std::string rows_[kRows];
    int row_ = 0;
    int column_ = 0;
};

// What the model made of one chunk of received bytes.
struct Reception {
    std::vector<Bytes> replies; // one per command answered, in the order they completed
    std::vector<Item> items;    // what the chunk completed, in order; a command cut at the
                                // chunk's end is named with the chunk that completes it
    bool screenChanged = false;
};

// Feeds the received bytes, however they are chunked, through a matcher of the display's
// commands; produces the replies, names what came, and keeps the screen.
class DisplayModel {
  public:
    // productType is cut or padded with blanks to 15 bytes; extraBytes are appended to every
    // reply to make it over-long; a silent model names commands but never answers; a loopback
    // is no display at all: it sends every chunk straight back and shows nothing.
    DisplayModel(const std::string& productType, size_t extraBytes, bool silent,
                 bool loopback = false);

    Reception receive(const uint8_t* bytes, size_t n);
    // True between a set-up mode start and its end.
    bool inSetupMode() const { return setupMode_; }
    // A command's first bytes came and it waits for the rest.
    bool pendingCommand() const { return !pending_.empty(); }
    const Screen& screen() const { return screen_; }

    // Filler for over-long replies and for a device that never stops sending.
    static constexpr uint8_t kExtraByte = 0x2A;

  private:
    // A byte that can start no command: shown, or named as not understood.
    void single(uint8_t byte, Reception& out);
    void command(Item::Kind kind, const Bytes& bytes, Reception& out);
    Bytes reply(const Bytes& head) const;

    Bytes productType_;
    size_t extraBytes_;
    bool silent_;
    bool loopback_;
    Bytes pending_; // a proper prefix of some command, waiting for its next byte
    bool setupMode_ = false;
    Screen screen_;
};

// "set-up mode acknowledged", "product type \"CU20029-T307A  \"", or "" for other bytes.
std::string describeReply(const Bytes& reply);
