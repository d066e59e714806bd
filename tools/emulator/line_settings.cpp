// Line settings of the pty: parsing a setup, applying it, describing termios in the log's words.
#include "line_settings.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct SpeedName {
    speed_t code;
    unsigned baud;
};

const SpeedName kSpeeds[] = {
    {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},       {B300, 300},       {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},   {B115200, 115200}, {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000},
};

bool speedCode(unsigned baud, speed_t& code) {
    for (const SpeedName& s : kSpeeds) {
        if (s.baud == baud) {
            code = s.code;
            return true;
        }
    }
    return false;
}

std::string speedText(speed_t code) {
    for (const SpeedName& s : kSpeeds) {
        if (s.code == code) {
            return std::to_string(s.baud);
        }
    }
    char text[24];
    std::snprintf(text, sizeof text, "code%o", static_cast<unsigned>(code));
    return text;
}

int characterBits(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

} // namespace

bool parseLineSetup(const std::string& text, LineSetup& setup) {
    size_t comma = text.find(',');
    char* end = nullptr;
    unsigned long baud = std::strtoul(text.c_str(), &end, 10);
    speed_t code;
    if (comma == std::string::npos || end != text.c_str() + comma ||
        !speedCode(static_cast<unsigned>(baud), code)) {
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

bool applyLineSetup(const LineSetup& setup, termios& t) {
    speed_t code;
    if (!speedCode(setup.speed, code)) {
        return false;
    }
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    if (setup.stopBits == 2) {
        t.c_cflag |= CSTOPB;
    }
    if (setup.rtscts) {
        t.c_cflag |= CRTSCTS;
    }
    return cfsetispeed(&t, code) == 0 && cfsetospeed(&t, code) == 0;
}

std::string describeLine(const termios& t) {
    const char* parity = "none";
    if (t.c_cflag & PARENB) {
#ifdef CMSPAR
        if (t.c_cflag & CMSPAR) {
            parity = (t.c_cflag & PARODD) ? "mark" : "space";
        } else
#endif
        {
            parity = (t.c_cflag & PARODD) ? "odd" : "even";
        }
    }
    return "speed=" + speedText(cfgetospeed(&t)) +
           " bits=" + std::to_string(characterBits(t.c_cflag)) + " parity=" + parity +
           " stop=" + ((t.c_cflag & CSTOPB) ? "2" : "1") +
           " rtscts=" + ((t.c_cflag & CRTSCTS) ? "on" : "off");
}
