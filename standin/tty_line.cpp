// The tty line: a real port opened exclusively, set up as the display's side of the utility's
// line.
#include "tty_line.h"

#include "model/console_text.h"
#include "termios_settings.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

std::string reasonFor(int error) {
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "no such port";
    case EBUSY:
    case EWOULDBLOCK:
        return "held by another program";
    case EACCES:
    case EPERM:
        return "no permission to open it (is the user in the dialout group?)";
    case ENOTTY:
    case EINVAL:
        return "not a serial port";
    default:
        return std::strerror(error);
    }
}

} // namespace

bool openTty(const std::string& path, Tty& tty, std::string& error, std::string& note) {
    Tty made;
    made.path = path;
    auto fail = [&](int code) {
        error = path + ": " + reasonFor(code);
        if (made.fd >= 0) {
            ::close(made.fd);
        }
        return false;
    };
    made.fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (made.fd < 0) {
        return fail(errno);
    }
    if (tcgetattr(made.fd, &made.saved) != 0) {
        return fail(errno);
    }
    // TIOCEXCL keeps other users out but not root; the lock, which most serial programs
    // take, stops a second stand-in or a terminal program whoever runs it.
    if (::flock(made.fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(made.fd, TIOCEXCL) != 0) {
        return fail(errno);
    }
    termios t = made.saved;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (!applyLineSetup(LineSetup{}, t) || tcsetattr(made.fd, TCSANOW, &t) != 0) {
        return fail(errno);
    }
    int lines = TIOCM_RTS | TIOCM_DTR;
    made.hasModemLines = ::ioctl(made.fd, TIOCMBIS, &lines) == 0;
    if (!made.hasModemLines) {
        note = path + " has no modem lines (a pseudo-terminal?): RTS and DTR are not raised, "
                      "CTS and DSR not shown";
    }
    tty = made;
    return true;
}

std::string modemLines(const Tty& tty) {
    int lines = 0;
    if (!tty.hasModemLines || ::ioctl(tty.fd, TIOCMGET, &lines) != 0) {
        return "";
    }
    return modemText((lines & TIOCM_CTS) != 0, (lines & TIOCM_DSR) != 0);
}

void closeTty(Tty& tty) {
    if (tty.fd >= 0) {
        tcsetattr(tty.fd, TCSANOW, &tty.saved);
        ::close(tty.fd);
    }
    tty = Tty{};
}
