// Parsing of the emulator's options, shared by the command line and the control file.
#include "options.h"

#include "display_model.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace {

bool number(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed > limit) {
        return false;
    }
    value = parsed;
    return true;
}

// The argument of the option at args[i] into value, advancing i past it; false with error set
// when there is none.
bool takeArgument(const std::vector<std::string>& args, size_t& i, std::string& value,
                  std::string& error) {
    if (i + 1 >= args.size()) {
        error = args[i] + " needs an argument";
        return false;
    }
    value = args[++i];
    return true;
}

// One behaviour option at args[i]; advances i past its argument. Returns false with error
// set when it is malformed, and leaves known=false when the option is not a behaviour option.
// b is the caller's scratch copy, dropped on failure: a field may be set from a bad argument.
bool behaviourOption(const std::vector<std::string>& args, size_t& i, Behaviour& b, bool& known,
                     std::string& error) {
    const std::string& name = args[i];
    std::string text;
    uint64_t value = 0;
    auto argument = [&] { return takeArgument(args, i, text, error); };
    auto count = [&](uint64_t limit) {
        if (!argument()) {
            return false;
        }
        if (!number(text, limit, value)) {
            error = name + ": not a number up to " + std::to_string(limit) + ": " + text;
            return false;
        }
        return true;
    };
    known = true;
    bool ok = true;
    if (name == "--product") {
        if (!argument()) {
            return false;
        }
        if (text == "t307a") {
            b.productType = kProductT307A;
        } else if (text == "t307a01") {
            b.productType = kProductT307A01;
        } else if (text == "unknown") {
            b.productType = kProductUnknown;
        } else {
            error = "--product: t307a, t307a01 or unknown, not " + text;
            return false;
        }
    } else if (name == "--product-text") {
        ok = argument();
        b.productType = text;
    } else if (name == "--silent") {
        b.silent = true;
    } else if (name == "--delay") {
        ok = count(60000);
        b.delayMs = static_cast<uint32_t>(value);
    } else if (name == "--trickle") {
        ok = count(60000);
        b.trickle = true;
        b.trickleGapMs = static_cast<uint32_t>(value);
    } else if (name == "--overlong") {
        ok = count(65536);
        b.extraBytes = static_cast<size_t>(value);
    } else if (name == "--flood") {
        b.flood = true;
    } else if (name == "--hangup-after") {
        ok = count(UINT32_MAX);
        b.hangUp = true;
        b.hangUpAfter = value;
    } else if (name == "--initial") {
        if (!argument()) {
            return false;
        }
        if (!parseLineSetup(text, b.initial)) {
            error = "--initial: not SPEED,FRAME[,rtscts] (e.g. 9600,8N2): " + text;
            return false;
        }
    } else {
        known = false;
    }
    return ok;
}

} // namespace

bool parseBehaviour(const std::vector<std::string>& args, Behaviour& behaviour,
                    std::string& error) {
    Behaviour b;
    b.productType = kProductT307A;
    for (size_t i = 0; i < args.size(); ++i) {
        bool known = false;
        if (!behaviourOption(args, i, b, known, error)) {
            return false;
        }
        if (!known) {
            error = "unknown option " + args[i];
            return false;
        }
    }
    for (const std::string& word : args) {
        b.text += (b.text.empty() ? "" : " ") + word;
    }
    behaviour = b;
    return true;
}

bool parseCommandLine(const std::vector<std::string>& args, EmulatorOptions& options,
                      std::string& error) {
    EmulatorOptions o;
    std::vector<std::string> behaviourArgs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            o.help = true;
        } else if (name == "--link" || name == "--log" || name == "--control") {
            std::string path;
            if (!takeArgument(args, i, path, error)) {
                return false;
            }
            if (name == "--link") {
                o.links.push_back(path);
            } else {
                (name == "--log" ? o.logPath : o.controlPath) = path;
            }
        } else if (name == "--exit-with-parent") {
            o.exitWithParent = true;
        } else {
            // Behaviour options are checked as a whole below, arguments included.
            size_t start = i;
            Behaviour scratch;
            bool known = false;
            if (!behaviourOption(args, i, scratch, known, error)) {
                return false;
            }
            if (!known) {
                error = "unknown option " + name + " (see --help)";
                return false;
            }
            behaviourArgs.insert(behaviourArgs.end(), args.begin() + start, args.begin() + i + 1);
        }
    }
    if (!parseBehaviour(behaviourArgs, o.behaviour, error)) {
        return false;
    }
    options = o;
    return true;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

const char* usageText() {
    return R"(Usage: vfd-emulator [SET-UP OPTIONS] [BEHAVIOUR OPTIONS]

Plays a Noritake Itron CU20029 line display on a pseudo-terminal. It holds the pty master,
links the slave where --link says, prints one line "ready pty=... links=... log=..." on stdout
once the links exist, and runs until SIGTERM or SIGINT, when it removes its links and exits 0.

The display answers user set-up mode start (1F 28 65 01 49 4E) with 28 65 01 00 and the
product-type request (1F 28 65 40 30) with 28 65 40 and 15 bytes of product type. It ignores
everything else (ESC @, text, set-up mode end, any other byte), however the bytes are chunked.

Set-up options:
  --link PATH          make PATH a symbolic link to the pty slave (repeatable); an existing
                       link there is replaced; for Wine: $WINEPREFIX/dosdevices/com5
  --log PATH           write the log to PATH (truncated at start); default stderr
  --control PATH       watch PATH: each new content "GENERATION OPTION..." (one line ending in a
                       newline) replaces the behaviour with the BEHAVIOUR OPTIONS it lists,
                       makes a fresh pty with the links moved to it, and restarts the log
  --exit-with-parent   stop (as on SIGTERM) when the process that started the emulator ends
  --help, -h           this text

Behaviour options (also the words of a control file):
  --product NAME       the product type sent: t307a ("CU20029-T307A  ", the default),
                       t307a01 ("CU20029T307A01 ") or unknown ("CU40026-TW200A ")
  --product-text TEXT  any product type, padded with blanks or cut to 15 bytes
  --silent             take every byte, answer nothing
  --delay MS           wait MS milliseconds before the first byte of each reply
  --trickle GAP        send replies one byte at a time, GAP milliseconds apart
  --overlong N         append N bytes 2A to every reply
  --flood              send filler bytes 2A for as long as the line takes them (replies, if
                       any, go out between them); the line is full before the mode is announced
  --hangup-after N     close the pty master once N bytes have been received in this mode; the
                       other side then sees a hung-up line
  --initial SETUP       the line settings the pty starts with, SPEED,8N1 or SPEED,8N2, and
                       ",rtscts" for the handshake, e.g. 9600,8N2; default 38400,8N1. A Linux
                       pty holds speed, stop bits and RTS/CTS only: it forces 8 data bits and
                       clears parity whatever either side sets

Log: one event a line, fields separated by single blanks:
  MICROS EVENT DETAILS
MICROS is CLOCK_MONOTONIC in microseconds. Events:
  mode GENERATION OPTIONS     a behaviour took effect (generation 0: the command line)
  pty PATH                    the pty slave now in use
  settings speed=N bits=N parity=none|even|odd|mark|space stop=1|2 rtscts=on|off
                              the line settings, logged at start and whenever they change
                              (polled every millisecond; on a pty bits=8 parity=none always)
  recv HEX...                 one chunk received, bytes in upper-case hex; stamped when read
  send HEX...                 one chunk sent; stamped when written. A reply's delay and a
                              trickle's gaps are timed from these stamps
  hangup RECEIVED             the master was closed after RECEIVED bytes
  control-error GENERATION MESSAGE   a control file that was not applied
  stop                        the emulator is ending
)";
}
