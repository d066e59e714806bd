// The byte strings sent to the CU20029 display and the tests applied to its replies.
#pragma once

#include <cstddef>
#include <cstdint>

struct Command {
    const uint8_t* bytes;
    uint32_t length;
};

extern const Command kInitialiseDisplay;   // ESC @
extern const Command kGreeting;            // "Noritake Itron\r\nVFD test" and its NUL
extern const Command kSetupModeStart;      // US ( e 01 I N
extern const Command kReadProductType;     // US ( e @ 0
extern const Command kSetupModeEnd;        // US ( e 02 O U T
extern const Command kFinalMessage;        // "Test OK" and its NUL

constexpr uint32_t kSetupAckLength = 4;
constexpr uint32_t kProductReplyLength = 18;
constexpr size_t kProductTypeLength = 15;

// Exactly 4 bytes, 28 65 01 00.
bool isSetupAcknowledged(const uint8_t* reply, uint32_t count);
// Exactly 18 bytes beginning 28 65 40: a well-formed product-type reply.
bool isProductReply(const uint8_t* reply, uint32_t count);
// For a well-formed reply: its 15 product-type bytes name one of the known displays.
bool isKnownProduct(const uint8_t* reply);
