// The pty line: made fresh for each mode, its slave held open and linked for the client.
#include "pty_line.h"

#include "termios_settings.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

void closePty(Pty& pty) {
    if (pty.slave >= 0) {
        ::close(pty.slave);
    }
    if (pty.master >= 0) {
        ::close(pty.master);
    }
    pty = Pty{};
}

bool openPty(const LineSetup& initial, Pty& pty, std::string& error) {
    Pty made;
    auto fail = [&](const char* step) {
        error = std::string(step) + ": " + std::strerror(errno);
        closePty(made);
        return false;
    };
    made.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128];
    if (made.master < 0) {
        return fail("posix_openpt");
    }
    if (grantpt(made.master) != 0 || unlockpt(made.master) != 0 ||
        ptsname_r(made.master, name, sizeof name) != 0) {
        return fail("grantpt/unlockpt/ptsname");
    }
    made.path = name;
    made.slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t;
    // Termios calls on a pty master act on the slave's settings, the ones the other side sees.
    if (made.slave < 0 || tcgetattr(made.master, &t) != 0) {
        return fail("open slave");
    }
    cfmakeraw(&t);
    if (!applyLineSetup(initial, t) || tcsetattr(made.master, TCSANOW, &t) != 0) {
        return fail("initial settings");
    }
    pty = made;
    return true;
}

bool makeLink(const std::string& target, const std::string& link, std::string& error) {
    std::string temporary = link + ".display-standin-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link.c_str()) != 0) {
        error = "link " + link + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& target, const std::string& link) {
    char current[256];
    ssize_t n = ::readlink(link.c_str(), current, sizeof current - 1);
    if (n < 0) {
        return;
    }
    current[n] = '\0';
    if (target == current) {
        ::unlink(link.c_str());
    }
}
