// Parsing of a line set-up: a speed a serial port offers, and a frame a Linux pty can hold.
#include "line_setup.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace {

// The speeds termios names; the pty takes these and no others.
const unsigned kSpeeds[] = {50,     75,     110,    134,    150,    200,    300,    600,
                            1200,   1800,   2400,   4800,   9600,   19200,  38400,  57600,
                            115200, 230400, 460800, 500000, 576000, 921600, 1000000};

} // namespace

bool parseLineSetup(const std::string& text, LineSetup& setup) {
    size_t comma = text.find(',');
    char* end = nullptr;
    unsigned long baud = std::strtoul(text.c_str(), &end, 10);
    if (comma == std::string::npos || end != text.c_str() + comma ||
        std::find(std::begin(kSpeeds), std::end(kSpeeds), baud) == std::end(kSpeeds)) {
        return false;
    }
    // A Linux pty forces 8 data bits and clears parity whatever either side asks, so only
    // frames it can hold are accepted.
    std::string frame = text.substr(comma + 1);
    if (frame != "8N1" && frame != "8N2" && frame != "8N1,rtscts" && frame != "8N2,rtscts") {
        return false;
    }
    setup = {static_cast<unsigned>(baud), frame[2] - '0', frame.size() > 3};
    return true;
}
