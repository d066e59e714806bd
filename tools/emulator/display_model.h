// The emulated CU20029 display: which commands it recognises in a byte stream and what it answers.
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

// The commands the model tells apart; everything else is ignored as a display ignores it.
enum class Recognised { SetupStart, ProductRequest, SetupEnd };

// Feeds the received bytes, however they are chunked, through a matcher of the set-up mode
// commands and produces the replies in the order the commands completed.
class DisplayModel {
  public:
    // productType is cut or padded with blanks to 15 bytes; extraBytes are appended to every
    // reply to make it over-long; a silent model recognises commands but never answers.
    DisplayModel(const std::string& productType, size_t extraBytes, bool silent);

    // Takes the next chunk; returns one reply per command completed in it, in order.
    std::vector<Bytes> receive(const uint8_t* bytes, size_t n);
    // The commands recognised so far, in order.
    const std::vector<Recognised>& recognised() const { return recognised_; }
    // True between a set-up mode start and its end.
    bool inSetupMode() const { return setupMode_; }

    // Filler for over-long replies and for a device that never stops sending.
    static constexpr uint8_t kExtraByte = 0x2A;

  private:
    Bytes reply(const Bytes& head) const;

    Bytes productType_;
    size_t extraBytes_;
    bool silent_;
    Bytes pending_; // a proper prefix of some command, waiting for its next byte
    bool setupMode_ = false;
    std::vector<Recognised> recognised_;
};
