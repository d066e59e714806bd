// The display's command bytes and the three reply predicates.
#include "display/commands.h"
#include "tests/support/call_log.h"
#include "tests/support/expected_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CommandCase {
    const char* name;
    const Command* command;
    const char* hex;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class CommandBytesTest : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandBytesTest, BytesAndLengthAreExact) {
    const CommandCase& c = GetParam();
    EXPECT_EQ(hex(c.command->bytes, c.command->length), c.hex) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandBytesTest,
    testing::Values(
        CommandCase{"initialise", &kInitialiseDisplay, "1B 40"},
        // "Noritake Itron" CR LF "VFD test" NUL
        CommandCase{"greeting", &kGreeting,
                    "4E 6F 72 69 74 61 6B 65 20 49 74 72 6F 6E 0D 0A 56 46 44 20 74 65 73 74 00"},
        CommandCase{"setupStart", &kSetupModeStart, "1F 28 65 01 49 4E"},
        CommandCase{"readProduct", &kReadProductType, "1F 28 65 40 30"},
        CommandCase{"setupEnd", &kSetupModeEnd, "1F 28 65 02 4F 55 54"},
        // "Test OK" NUL
        CommandCase{"final", &kFinalMessage, "54 65 73 74 20 4F 4B 00"}));

struct AckCase {
    std::vector<uint8_t> reply;
    bool acknowledged;
};

void PrintTo(const AckCase& c, std::ostream* os) { *os << hex(c.reply.data(), c.reply.size()); }

class SetupAckTest : public testing::TestWithParam<AckCase> {};

TEST_P(SetupAckTest, OnlyTheExactFourBytesAcknowledge) {
    const AckCase& c = GetParam();
    std::vector<uint8_t> buffer = c.reply;
    buffer.resize(32, 0);
    EXPECT_EQ(isSetupAcknowledged(buffer.data(), static_cast<uint32_t>(c.reply.size())),
              c.acknowledged)
        << hex(c.reply.data(), c.reply.size());
}

INSTANTIATE_TEST_SUITE_P(Replies, SetupAckTest,
                         testing::Values(AckCase{{0x28, 0x65, 0x01, 0x00}, true},
                                         AckCase{{0x28, 0x65, 0x01, 0x00, 0x00}, false},
                                         AckCase{{0x28, 0x65, 0x01, 0x01}, false},
                                         AckCase{{0x28, 0x65, 0x01}, false},
                                         AckCase{{0x00, 0x28, 0x65, 0x01}, false},
                                         AckCase{{}, false}));

const uint8_t* bytesOf(const std::string& reply) {
    return reinterpret_cast<const uint8_t*>(reply.data());
}

TEST(ProductReplyTest, WellFormedOnlyWithEighteenBytesAndTheHeader) {
    const std::string good = productReply("CU20029-T307A  ") + ' '; // room for the 19-byte case
    EXPECT_TRUE(isProductReply(bytesOf(good), 18));
    EXPECT_FALSE(isProductReply(bytesOf(good), 19));
    EXPECT_FALSE(isProductReply(bytesOf(good), 17));
    for (size_t i = 0; i < 3; ++i) {
        std::string bad = good;
        bad[i] ^= 0x01;
        EXPECT_FALSE(isProductReply(bytesOf(bad), 18)) << "header byte " << i;
    }
}

struct ProductCase {
    const char* type; // exactly 15 bytes, NULs included
    bool known;
};

void PrintTo(const ProductCase& c, std::ostream* os) { *os << hex(reinterpret_cast<const uint8_t*>(c.type), 15); }

class KnownProductTest : public testing::TestWithParam<ProductCase> {};

TEST_P(KnownProductTest, AllFifteenBytesCompare) {
    const ProductCase& c = GetParam();
    const std::string reply = productReply(std::string(c.type, 15));
    EXPECT_EQ(isKnownProduct(bytesOf(reply)), c.known) << hex(bytesOf(reply) + 3, 15);
}

INSTANTIATE_TEST_SUITE_P(
    Types, KnownProductTest,
    testing::Values(ProductCase{"CU20029-T307A  ", true}, ProductCase{"CU20029T307A01 ", true},
                    ProductCase{"CU20029-T307A X", false}, ProductCase{"CU20029-T307A 0", false},
                    ProductCase{"CU20029T307A01\0", false}, ProductCase{"CU20029-T307A\0\0", false},
                    ProductCase{"cu20029-t307a  ", false}, ProductCase{"CU20029-T307B  ", false},
                    ProductCase{" CU20029-T307A ", false}, ProductCase{"\0\0\0\0\0\0\0\0\0\0\0\0\0\0", false}));

} // namespace
