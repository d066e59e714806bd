// The display's command set and reply predicates.
#include "display/commands.h"

namespace {

const uint8_t kInitialiseBytes[] = {0x1B, 0x40};
// The texts are sent with their NUL: the display ignores it, and the length is part of the
// command.
const uint8_t kGreetingBytes[] = "Noritake Itron\r\nVFD test";
const uint8_t kSetupStartBytes[] = {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E};
const uint8_t kReadProductBytes[] = {0x1F, 0x28, 0x65, 0x40, 0x30};
const uint8_t kSetupEndBytes[] = {0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54};
const uint8_t kFinalBytes[] = "Test OK";

const uint8_t kSetupAck[] = {0x28, 0x65, 0x01, 0x00};
const uint8_t kProductHeader[] = {0x28, 0x65, 0x40};

const char* const kKnownProducts[] = {"CU20029-T307A  ", "CU20029T307A01 "};

} // namespace

const Command kInitialiseDisplay = {kInitialiseBytes, sizeof kInitialiseBytes};
const Command kGreeting = {kGreetingBytes, sizeof kGreetingBytes};
const Command kSetupModeStart = {kSetupStartBytes, sizeof kSetupStartBytes};
const Command kReadProductType = {kReadProductBytes, sizeof kReadProductBytes};
const Command kSetupModeEnd = {kSetupEndBytes, sizeof kSetupEndBytes};
const Command kFinalMessage = {kFinalBytes, sizeof kFinalBytes};

static_assert(sizeof kGreetingBytes == 25, "greeting is 24 characters and a NUL");
static_assert(sizeof kFinalBytes == 8, "final message is 7 characters and a NUL");

bool isSetupAcknowledged(const uint8_t* reply, uint32_t count) {
    if (count != kSetupAckLength) {
        return false;
    }
    for (uint32_t i = 0; i < kSetupAckLength; ++i) {
        if (reply[i] != kSetupAck[i]) {
            return false;
        }
    }
    return true;
}

bool isProductReply(const uint8_t* reply, uint32_t count) {
    return count == kProductReplyLength && reply[0] == kProductHeader[0] &&
           reply[1] == kProductHeader[1] && reply[2] == kProductHeader[2];
}

// A bounded text comparison: it stops at a NUL, and since no known type holds one, a NUL in
// the reply makes it unequal.
static bool sameProductType(const uint8_t* type, const char* known) {
    for (size_t i = 0; i < kProductTypeLength; ++i) {
        if (type[i] != static_cast<uint8_t>(known[i])) {
            return false;
        }
        if (type[i] == 0) {
            return true;
        }
    }
    return true;
}

bool isKnownProduct(const uint8_t* reply) {
    const uint8_t* type = reply + sizeof kProductHeader;
    for (const char* known : kKnownProducts) {
        if (sameProductType(type, known)) {
            return true;
        }
    }
    return false;
}
