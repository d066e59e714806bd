// Line settings in termios: applying a set-up, describing termios in the log's words.
#include "termios_settings.h"

#include "model/console_text.h"

#include <cstdio>

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
    return settingsText(speedText(cfgetospeed(&t)), characterBits(t.c_cflag), parity,
                        (t.c_cflag & CSTOPB) ? "2" : "1", (t.c_cflag & CRTSCTS) != 0);
}
