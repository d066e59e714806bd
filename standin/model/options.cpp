// Parsing of the stand-in's options, shared by the command line and the control file.
#include "options.h"

#include "display_model.h"

#include <cerrno>
#include <cstdlib>

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
    } else if (name == "--loopback") {
        b.loopback = true;
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
        } else if (!name.empty() && name[0] != '-') {
            if (!o.device.empty()) {
                error = "one port only, not " + o.device + " and " + name;
                return false;
            }
            o.device = name;
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
    // What plays a fault of the line or sets up a pty of its own has no meaning on a real port.
    const Behaviour& b = o.behaviour;
    if (!o.device.empty() && (b.delayMs != 0 || b.trickle || b.flood || b.hangUp ||
                              b.initial.speed != 38400 || b.initial.stopBits != 1 ||
                              b.initial.rtscts || !o.links.empty() || !o.controlPath.empty())) {
        error = "--delay, --trickle, --flood, --hangup-after, --initial, --link and --control "
                "work only on the stand-in's own pty, not on " +
                o.device;
        return false;
    }
    options = o;
    return true;
}

std::vector<std::string> splitWords(const std::string& line) {
    // By hand rather than with a string stream, which would bring the locale machinery into
    // the Windows program and triple its size.
    const char* blanks = " \t\r\n\v\f";
    std::vector<std::string> words;
    for (size_t start = line.find_first_not_of(blanks); start != std::string::npos;) {
        size_t end = line.find_first_of(blanks, start);
        words.push_back(line.substr(start, end == std::string::npos ? end : end - start));
        start = end == std::string::npos ? end : line.find_first_not_of(blanks, end);
    }
    return words;
}

const char* usageText() {
    return R"(Usage: display-standin PORT [OPTIONS]           (Windows: DisplayStandIn.exe COM3)
       display-standin [SET-UP OPTIONS] [BEHAVIOUR OPTIONS]    (a pty of its own, for tests)

Plays a Noritake Itron CU20029 line display on a serial line, so that a technician can tell a
bad display from a bad port, cable or setting: run it on a laptop joined to the terminal's
display port by a null-modem cable (TX-RX, RTS-CTS, GND), and press Test in the utility.
PASS means the terminal's port, the cable and its configuration are good.

On a PORT (Linux: /dev/ttyUSB0; Windows: COM3, or nothing, to pick from a list) it takes the
port for itself alone, sets it to 38400 baud, 8 data bits, no parity, one stop bit, no flow
control, raises RTS and DTR (the display's side of the utility's line), and runs until Ctrl+C,
when it puts the port's settings back. It exits 2 when the port can't be used (named, with the
reason, or a log it can't write), 1 when the port goes away while it runs, and 0 otherwise.

It shows one line an event, after its time of day: every chunk received, in hex, with the
commands named (initialise, text "...", CR, LF, NUL, set-up mode start and end, product-type
request, not understood ...), every reply sent, the line settings, and the modem lines CTS
and DSR where the port has them. After each change of text it draws the display's two lines
of 20 characters in a frame: after a good test they read "Test OK".

What it answers: user set-up mode start (1F 28 65 01 49 4E) with 28 65 01 00, the
product-type request (1F 28 65 40 30) with 28 65 40 and 15 bytes of product type, however the
bytes are chunked, in and out of set-up mode alike. Its screen knows only what the utility
sends: ESC @ (clear, cursor home), printable ASCII at the cursor (moving right, from the end
of the upper line to the start of the lower one, and from the end of the lower line home), CR
and LF; NUL is taken; leaving the set-up mode restarts the display as ESC @ does. In set-up
mode it shows nothing. A real display set to another mode (vertical or horizontal scroll),
another character table or brightness, or given other commands, may show something else;
anything else is listed as not understood, never guessed.

Options on a port or a pty:
  --product NAME       the product type sent: t307a ("CU20029-T307A  ", the default),
                       t307a01 ("CU20029T307A01 ") or unknown ("CU40026-TW200A ")
  --product-text TEXT  any product type, padded with blanks or cut to 15 bytes
  --silent             take every byte, answer nothing
  --overlong N         append N bytes 2A to every reply
  --loopback           no display: echo every byte, as a loopback plug does
  --log PATH           write the log to PATH (truncated at start); without it none on a
                       port, and stderr on its own pty
  --help, -h           this text

Set-up options, on a pty of its own only:
  --link PATH          make PATH a symbolic link to the pty slave (repeatable); an existing
                       link there is replaced; for Wine: $WINEPREFIX/dosdevices/com5. It prints
                       one line "ready pty=... links=... log=..." first, once the links exist
  --control PATH       watch PATH: each new content "GENERATION OPTION..." (one line ending in a
                       newline) replaces the behaviour with the BEHAVIOUR OPTIONS it lists,
                       makes a fresh pty with the links moved to it, and restarts the log
  --exit-with-parent   stop (as on SIGTERM) when the process that started it ends

Behaviour options, on a pty of its own only (and the words of a control file, with the
options above):
  --delay MS           wait MS milliseconds before the first byte of each reply
  --trickle GAP        send replies one byte at a time, GAP milliseconds apart
  --flood              send filler bytes 2A for as long as the line takes them (replies, if
                       any, go out between them); the line is full before the mode is announced
  --hangup-after N     close the pty master once N bytes have been received in this mode; the
                       other side then sees a hung-up line
  --initial SETUP      the line settings the pty starts with, SPEED,8N1 or SPEED,8N2, and
                       ",rtscts" for the handshake, e.g. 9600,8N2; default 38400,8N1. A Linux
                       pty holds speed, stop bits and RTS/CTS only: it forces 8 data bits and
                       clears parity whatever either side sets

Log: one event a line, fields separated by single blanks:
  MICROS EVENT DETAILS
MICROS is a monotonic clock in microseconds. Events:
  mode GENERATION OPTIONS     a behaviour took effect (generation 0: the command line)
  pty PATH                    the line now in use (a pty slave, or the port)
  settings speed=N bits=N parity=none|even|odd|mark|space stop=1|2 rtscts=on|off
                              the line settings, logged at start and whenever they change
                              (polled every millisecond; on a pty bits=8 parity=none always)
  recv HEX...                 one chunk received, bytes in upper-case hex; stamped when read
  send HEX...                 one chunk sent; stamped when written. A reply's delay and a
                              trickle's gaps are timed from these stamps
  hangup RECEIVED             the master was closed after RECEIVED bytes
  gone REASON                 the port went away (a port only)
  control-error GENERATION MESSAGE   a control file that was not applied
  stop                        the stand-in is ending
)";
}
