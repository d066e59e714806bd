// Tests of the stand-in's display model (matcher, names, screen), its options and its description
// of line settings.
#include "model/display_model.h"
#include "model/event_log.h"
#include "model/options.h"
#include "termios_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What the utility sends in one test: ESC @, the greeting, start, product request, end, "Test OK".
const Bytes kWholeRun = [] {
    Bytes b = {0x1B, 0x40};
    const char greeting[] = "Noritake Itron\r\nVFD test";
    b.insert(b.end(), greeting, greeting + sizeof greeting); // with its NUL
    Bytes rest = {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E, 0x1F, 0x28, 0x65,
                  0x40, 0x30, 0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54};
    b.insert(b.end(), rest.begin(), rest.end());
    const char final[] = "Test OK";
    b.insert(b.end(), final, final + sizeof final);
    return b;
}();

std::string allReplies(DisplayModel& model, const Bytes& input, size_t chunk) {
    std::string out;
    for (size_t i = 0; i < input.size(); i += chunk) {
        size_t n = std::min(chunk, input.size() - i);
        for (const Bytes& reply : model.receive(input.data() + i, n).replies) {
            out += "[" + hex(reply.data(), reply.size()) + "]";
        }
    }
    return out;
}

const std::string kAck = "[28 65 01 00]";
const Bytes kRequest = {0x1F, 0x28, 0x65, 0x40, 0x30};
const std::string kT307AReply = "[28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20]";

class DisplayModelChunkingTest : public testing::TestWithParam<size_t> {};

// What the chunks said, one name each, with a text cut by a chunk's end joined again.
std::string allNames(DisplayModel& model, const Bytes& input, size_t chunk) {
    std::vector<Item> items;
    for (size_t i = 0; i < input.size(); i += chunk) {
        for (Item& item :
             model.receive(input.data() + i, std::min(chunk, input.size() - i)).items) {
            if (!items.empty() && items.back().kind == item.kind &&
                (item.kind == Item::Kind::Text || item.kind == Item::Kind::NotUnderstood)) {
                items.back().bytes.insert(items.back().bytes.end(), item.bytes.begin(),
                                          item.bytes.end());
            } else {
                items.push_back(item);
            }
        }
    }
    std::string names;
    for (const Item& item : items) {
        names += (names.empty() ? "" : ", ") + describe(item);
    }
    return names;
}

// Every chunk size from single bytes to the whole run gives the same replies, names and screen.
TEST_P(DisplayModelChunkingTest, AnswersNamesAndShowsTheSameWhenChunkedDifferently) {
    DisplayModel model(kProductT307A, 0, false);
    EXPECT_EQ(kAck + kT307AReply, allReplies(model, kWholeRun, GetParam()));
    DisplayModel named(kProductT307A, 0, false);
    EXPECT_EQ("initialise, text \"Noritake Itron\", CR, LF, text \"VFD test\", NUL, "
              "set-up mode start, product-type request, set-up mode end, text \"Test OK\", NUL",
              allNames(named, kWholeRun, GetParam()));
    EXPECT_FALSE(named.inSetupMode());
    EXPECT_EQ((std::vector<std::string>{"+--------------------+", "|Test OK             |",
                                        "|                    |", "+--------------------+"}),
              named.screen().frame());
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, DisplayModelChunkingTest,
                         testing::Values(1, 2, 3, 5, 7, 64, 4096));

// What a model given that product type and extra bytes answers to a stream, fed a byte at a time.
struct StreamCase {
    const char* name;
    Bytes input;
    std::string replies;
    const char* product = kProductT307A;
    size_t extra = 0;
};

void PrintTo(const StreamCase& c, std::ostream* os) {
    *os << c.name;
}

class DisplayModelStreamTest : public testing::TestWithParam<StreamCase> {};

TEST_P(DisplayModelStreamTest, AnswersOnlyWholeCommands) {
    DisplayModel model(GetParam().product, GetParam().extra, false);
    EXPECT_EQ(GetParam().replies, allReplies(model, GetParam().input, 1));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DisplayModelStreamTest,
    testing::Values(
        // A stray byte inside a command spoils that command only.
        StreamCase{"StrayByte", {0x1F, 0x28, 0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E}, kAck},
        // A repeated 1F starts the command afresh.
        StreamCase{"RepeatedUnitSeparator", {0x1F, 0x1F, 0x28, 0x65, 0x40, 0x30}, kT307AReply},
        StreamCase{"CutShort", {0x1F, 0x28, 0x65, 0x01, 0x49}, ""},
        StreamCase{"WrongTail", {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4F}, ""},
        StreamCase{"OtherFunction", {0x1F, 0x28, 0x65, 0x03, 0x30}, ""},
        StreamCase{"TextAndInitialise", {0x1B, 0x40, 0x41, 0x42, 0x00, 0x0D, 0x0A}, ""},
        // Set-up mode end followed at once by a start: both seen, one answer.
        StreamCase{"EndThenStart",
                   {0x1F, 0x28, 0x65, 0x02, 0x4F, 0x55, 0x54, 0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E},
                   kAck},
        StreamCase{"TwoRequests",
                   {0x1F, 0x28, 0x65, 0x40, 0x30, 0x1F, 0x28, 0x65, 0x40, 0x30},
                   kT307AReply + kT307AReply},
        // The product type it was given, padded or cut to fifteen bytes.
        StreamCase{"SecondKnownProduct", kRequest,
                   "[28 65 40 43 55 32 30 30 32 39 54 33 30 37 41 30 31 20]", kProductT307A01},
        StreamCase{"ShortTypePadded", kRequest,
                   "[28 65 40 41 42 20 20 20 20 20 20 20 20 20 20 20 20 20]", "AB"},
        StreamCase{"LongTypeCut", kRequest,
                   "[28 65 40 30 31 32 33 34 35 36 37 38 39 41 42 43 44 45]", "0123456789ABCDEFGH"},
        // Over-long: the extra bytes after every reply.
        StreamCase{
            "Overlong",
            {0x1F, 0x28, 0x65, 0x01, 0x49, 0x4E, 0x1F, 0x28, 0x65, 0x40, 0x30},
            "[28 65 01 00 2A 2A][28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20 2A 2A]",
            kProductT307A,
            2}),
    [](const testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

TEST(DisplayModelTest, NamesButNeverAnswersWhenSilent) {
    DisplayModel model(kProductT307A, 0, true);
    EXPECT_EQ("", allReplies(model, kWholeRun, 4));
    EXPECT_TRUE(model.screen().row(0).rfind("Test OK ", 0) == 0);
}

struct ScreenCase {
    const char* name;
    std::string input;
    std::string names;
    std::string top, bottom; // the two lines, trailing blanks left out
};

void PrintTo(const ScreenCase& c, std::ostream* os) {
    *os << c.name;
}

class DisplayModelScreenTest : public testing::TestWithParam<ScreenCase> {};

TEST_P(DisplayModelScreenTest, NamesWhatCameAndShowsWhatTheDisplayWould) {
    DisplayModel model(kProductT307A, 0, false);
    const ScreenCase& c = GetParam();
    EXPECT_EQ(c.names, allNames(model, Bytes(c.input.begin(), c.input.end()), 1));
    auto trimmed = [&](int row) {
        std::string text = model.screen().row(row);
        return text.erase(text.find_last_not_of(' ') + 1);
    };
    EXPECT_EQ(c.top, trimmed(0));
    EXPECT_EQ(c.bottom, trimmed(1));
}

const std::string kStartText("\x1F\x28\x65\x01\x49\x4E", 6);
const std::string kEndText("\x1F\x28\x65\x02\x4F\x55\x54", 7);

INSTANTIATE_TEST_SUITE_P(
    Screens, DisplayModelScreenTest,
    testing::Values(
        ScreenCase{"WrapsToTheLowerLine", std::string(25, 'A'),
                   "text \"" + std::string(25, 'A') + "\"", std::string(20, 'A'), "AAAAA"},
        ScreenCase{"WrapsFromTheLowerLineHome", std::string(40, 'A') + "BC",
                   "text \"" + std::string(40, 'A') + "BC\"", "BC" + std::string(18, 'A'),
                   std::string(20, 'A')},
        ScreenCase{"CarriageReturnOverwrites", "AB\rC", "text \"AB\", CR, text \"C\"", "CB", ""},
        ScreenCase{"LineFeedKeepsTheColumnAndComesBackUp", "AB\nC\nD",
                   "text \"AB\", LF, text \"C\", LF, text \"D\"", "AB D", "  C"},
        ScreenCase{"InitialiseClearsAndHomes", "AB\x1B@C", "text \"AB\", initialise, text \"C\"",
                   "C", ""},
        ScreenCase{"StrayEscapeIsNotUnderstood", "\x1Bx\x80\xFF",
                   "not understood 1B, text \"x\", not understood 80 FF", "x", ""},
        ScreenCase{"SetupModeShowsNothingAndItsEndRestarts",
                   "AB" + kStartText + "CD\x1B@" + kEndText + "E",
                   "text \"AB\", set-up mode start, not understood 43 44 1B 40, set-up mode end, "
                   "text \"E\"",
                   "E", ""},
        ScreenCase{"EndOutsideSetupModeChangesNothing", "AB" + kEndText,
                   "text \"AB\", set-up mode end", "AB", ""}),
    [](const testing::TestParamInfo<ScreenCase>& info) { return std::string(info.param.name); });

TEST(OptionsTest, ParsesEveryBehaviourOption) {
    EmulatorOptions o;
    std::string error;
    // Every option, the set-up ones among the behaviour ones.
    ASSERT_TRUE(parseCommandLine(
        splitWords("--link /a --product unknown --delay 5 --trickle 7 --overlong 3 --flood "
                   "--silent --hangup-after 27 --initial 9600,8N2 --link /b --log /l "
                   "--control /c --exit-with-parent"),
        o, error))
        << error;
    const Behaviour& b = o.behaviour;
    EXPECT_EQ((std::vector<std::string>{"/a", "/b"}), o.links);
    EXPECT_EQ("/l", o.logPath);
    EXPECT_EQ("/c", o.controlPath);
    EXPECT_TRUE(o.exitWithParent);
    EXPECT_EQ(kProductUnknown, b.productType);
    EXPECT_EQ(5u, b.delayMs);
    EXPECT_TRUE(b.trickle);
    EXPECT_EQ(7u, b.trickleGapMs);
    EXPECT_EQ(3u, b.extraBytes);
    EXPECT_TRUE(b.flood);
    EXPECT_TRUE(b.silent);
    EXPECT_TRUE(b.hangUp);
    EXPECT_EQ(27u, b.hangUpAfter);
    EXPECT_EQ(9600u, b.initial.speed);
    EXPECT_EQ(2, b.initial.stopBits);
    EXPECT_FALSE(b.initial.rtscts);
    EXPECT_EQ("--product unknown --delay 5 --trickle 7 --overlong 3 --flood --silent "
              "--hangup-after 27 --initial 9600,8N2",
              b.text);
}

TEST(OptionsTest, RejectsMalformedOptions) {
    const std::vector<std::vector<std::string>> bad = {
        {"--product", "t308"},      {"--delay"},
        {"--delay", "-1"},          {"--delay", "5ms"},
        {"--trickle", "x"},         {"--initial", "9600"},
        {"--initial", "9601,8N1"},  {"--initial", "9600,9N1"},
        {"--initial", "9600,8X1"},  {"--initial", "9600,8N3"},
        {"--initial", "9600,7E2"},  {"--initial", "9600,8N1,xon"},
        {"--initial", "9600,8N1,"}, {"--frobnicate"},
    };
    for (const auto& args : bad) {
        EmulatorOptions o;
        std::string error;
        EXPECT_FALSE(parseCommandLine(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

TEST(OptionsTest, ControlWordsRejectSetUpOptions) {
    Behaviour b;
    std::string error;
    EXPECT_FALSE(parseBehaviour({"--link", "/x"}, b, error));
    EXPECT_TRUE(parseBehaviour(splitWords("  --silent\t--delay 3\r\n"), b, error));
    EXPECT_TRUE(b.silent);
    EXPECT_EQ(3u, b.delayMs);
    EXPECT_EQ(kProductT307A, b.productType);
}

TEST(LineSettingsTest, DescribesWhatWasApplied) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"38400,8N1", "speed=38400 bits=8 parity=none stop=1 rtscts=off"},
        {"9600,8N2", "speed=9600 bits=8 parity=none stop=2 rtscts=off"},
        {"115200,8N1,rtscts", "speed=115200 bits=8 parity=none stop=1 rtscts=on"},
    };
    for (const auto& [setup, words] : cases) {
        LineSetup parsed;
        ASSERT_TRUE(parseLineSetup(setup, parsed)) << setup;
        termios t{};
        cfmakeraw(&t);
        t.c_cflag |= CRTSCTS | CSTOPB; // must both be replaced
        ASSERT_TRUE(applyLineSetup(parsed, t));
        EXPECT_EQ(words, describeLine(t)) << setup;
    }
}

} // namespace
