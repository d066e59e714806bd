// vfd-emulator: a CU20029 line display on a pseudo-terminal, for the tests and the demo.
#include "display_model.h"
#include "event_log.h"
#include "line_settings.h"
#include "options.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

uint64_t nowMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// One event a line, each written with a single write so a reader never sees half a line
// unless it reads while that write is under way.
class Log {
  public:
    bool open(const std::string& path) {
        if (path.empty()) {
            fd_ = STDERR_FILENO;
            return true;
        }
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
        owned_ = fd_ >= 0;
        return owned_;
    }
    // Empties the log so that a new mode's events stand alone.
    void restart() {
        if (owned_ && ftruncate(fd_, 0) != 0) {
            line("note could not truncate the log: " + std::string(std::strerror(errno)));
        }
    }
    void line(const std::string& event) { lineAt(nowMicros(), event); }
    // An event stamped with the reading its caller took when it happened, so that whatever
    // the caller schedules from that reading is measured from the time in the log.
    void lineAt(uint64_t micros, const std::string& event) {
        std::string text = std::to_string(micros) + " " + event + "\n";
        const char* p = text.data();
        size_t left = text.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            p += n;
            left -= static_cast<size_t>(n);
        }
    }

  private:
    int fd_ = STDERR_FILENO;
    bool owned_ = false;
};

struct Pty {
    int master = -1;
    int slave = -1; // held so that the line and its settings outlive the other side's closes
    std::string path;
};

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

// Replaces link atomically, so that the other side never finds it missing or half-made.
bool makeLink(const std::string& target, const std::string& link, std::string& error) {
    std::string temporary = link + ".vfd-emulator-" + std::to_string(getpid());
    ::unlink(temporary.c_str());
    if (::symlink(target.c_str(), temporary.c_str()) != 0 ||
        ::rename(temporary.c_str(), link.c_str()) != 0) {
        error = "link " + link + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Removes link only while it is still ours: a pts number is reused by the next pty made.
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

bool readWholeFile(const std::string& path, std::string& content) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    content.clear();
    char buffer[1024];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && content.size() < 65536) {
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return n == 0;
}

struct Outgoing {
    Bytes bytes;
    size_t sent = 0;
    uint64_t due = 0;
};

// One chunk written, and when the write returned.
struct Sent {
    uint64_t micros;
    std::string hex;
};

const Bytes& filler() {
    static const Bytes bytes(256, DisplayModel::kExtraByte);
    return bytes;
}

// Writes filler into a pty master until it takes no more.
void fillLine(int master, std::vector<Sent>& sent) {
    for (;;) {
        ssize_t n = ::write(master, filler().data(), filler().size());
        if (n <= 0) {
            return;
        }
        sent.push_back({nowMicros(), hex(filler().data(), static_cast<size_t>(n))});
    }
}

class Emulator {
  public:
    explicit Emulator(const EmulatorOptions& options) : options_(options) {}

    int run() {
        if (!log_.open(options_.logPath)) {
            std::fprintf(stderr, "vfd-emulator: cannot open log %s: %s\n", options_.logPath.c_str(),
                         std::strerror(errno));
            return 1;
        }
        if (!options_.controlPath.empty()) {
            // What is there already belongs to an earlier run: only a change is a command.
            readWholeFile(options_.controlPath, controlSeen_);
        }
        std::string error;
        if (!startMode("0", options_.behaviour, error)) {
            std::fprintf(stderr, "vfd-emulator: %s\n", error.c_str());
            return 1;
        }
        std::string links;
        for (const std::string& l : options_.links) {
            links += (links.empty() ? "" : ",") + l;
        }
        std::printf("ready pty=%s links=%s log=%s\n", pty_.path.c_str(), links.c_str(),
                    options_.logPath.empty() ? "-" : options_.logPath.c_str());
        std::fflush(stdout);

        uint64_t nextControlCheck = 0;
        while (!stopRequested) {
            pollOnce();
            receive();
            send();
            watchSettings();
            uint64_t now = nowMicros();
            if (!options_.controlPath.empty() && now >= nextControlCheck) {
                checkControl();
                nextControlCheck = now + 10000;
            }
        }
        log_.line("stop");
        unlinkAll();
        closePty(pty_);
        return 0;
    }

  private:
    bool startMode(const std::string& generation, const Behaviour& behaviour, std::string& error) {
        Pty fresh;
        if (!openPty(behaviour.initial, fresh, error)) {
            return false;
        }
        uint64_t began = nowMicros();
        // A flood is on the line before anyone can open it: a client that starts the moment
        // the mode is announced must not find the line empty because the filling lags behind.
        std::vector<Sent> filled;
        if (behaviour.flood) {
            fillLine(fresh.master, filled);
        }
        for (const std::string& link : options_.links) {
            if (!makeLink(fresh.path, link, error)) {
                closePty(fresh);
                return false;
            }
        }
        closePty(pty_);
        pty_ = fresh;
        behaviour_ = behaviour;
        model_ = std::make_unique<DisplayModel>(behaviour.productType, behaviour.extraBytes,
                                                behaviour.silent);
        queue_.clear();
        received_ = 0;
        lastSettings_.clear();
        log_.restart();
        log_.lineAt(began,
                    "mode " + generation + (behaviour.text.empty() ? "" : " " + behaviour.text));
        log_.lineAt(began, "pty " + pty_.path);
        // The settings are the fresh line's own until the links lead anyone to it.
        watchSettings(began);
        for (const Sent& s : filled) {
            log_.lineAt(s.micros, "send " + s.hex);
        }
        return true;
    }

    void pollOnce() {
        uint64_t wait = 1000;
        if (!queue_.empty()) {
            uint64_t now = nowMicros();
            uint64_t due = queue_.front().due;
            wait = due > now ? std::min<uint64_t>(wait, due - now) : 0;
        }
        // After a hang-up the master is -1, which poll ignores: then it only waits.
        pollfd p{pty_.master, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>((wait + 999) / 1000));
    }

    void receive() {
        uint8_t buffer[4096];
        while (pty_.master >= 0) {
            ssize_t n = ::read(pty_.master, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            // A reply's delay counts from the time the log gives its request.
            uint64_t arrived = nowMicros();
            log_.lineAt(arrived, "recv " + hex(buffer, static_cast<size_t>(n)));
            received_ += static_cast<uint64_t>(n);
            for (Bytes& reply : model_->receive(buffer, static_cast<size_t>(n))) {
                queue_.push_back(
                    {std::move(reply), 0, arrived + uint64_t{behaviour_.delayMs} * 1000u});
            }
            if (behaviour_.hangUp && received_ >= behaviour_.hangUpAfter) {
                hangUp();
            }
        }
    }

    void hangUp() {
        log_.line("hangup " + std::to_string(received_));
        unlinkAll();
        closePty(pty_);
        queue_.clear();
    }

    // Writes what may go now; returns how much went, 0 when the line takes nothing at the
    // moment. sentAt is the time the log gives the chunk: a trickle's next byte is timed from it.
    size_t writeChunk(const uint8_t* bytes, size_t n, uint64_t& sentAt) {
        ssize_t done = ::write(pty_.master, bytes, n);
        if (done <= 0) {
            return 0;
        }
        sentAt = nowMicros();
        log_.lineAt(sentAt, "send " + hex(bytes, static_cast<size_t>(done)));
        return static_cast<size_t>(done);
    }

    void send() {
        if (pty_.master < 0) {
            return;
        }
        uint64_t now = nowMicros();
        while (!queue_.empty() && queue_.front().due <= now) {
            Outgoing& head = queue_.front();
            size_t n = behaviour_.trickle ? 1 : head.bytes.size() - head.sent;
            uint64_t sentAt = 0;
            size_t written = writeChunk(head.bytes.data() + head.sent, n, sentAt);
            if (written == 0) {
                break;
            }
            head.sent += written;
            uint64_t next = sentAt + uint64_t{behaviour_.trickleGapMs} * 1000u;
            if (head.sent == head.bytes.size()) {
                queue_.pop_front();
                if (behaviour_.trickle && !queue_.empty()) {
                    queue_.front().due = std::max(queue_.front().due, next);
                }
            } else if (behaviour_.trickle) {
                head.due = next;
            }
        }
        uint64_t sentAt = 0;
        while (behaviour_.flood && writeChunk(filler().data(), filler().size(), sentAt) > 0) {
        }
    }

    void watchSettings(uint64_t micros = nowMicros()) {
        termios t;
        if (pty_.master < 0 || tcgetattr(pty_.master, &t) != 0) {
            return;
        }
        std::string now = describeLine(t);
        if (now != lastSettings_) {
            lastSettings_ = now;
            log_.lineAt(micros, "settings " + now);
        }
    }

    void checkControl() {
        std::string content;
        // A file without its final newline is still being written: look again later.
        if (!readWholeFile(options_.controlPath, content) || content == controlSeen_ ||
            content.empty() || content.back() != '\n') {
            return;
        }
        controlSeen_ = content;
        std::vector<std::string> words = splitWords(content);
        if (words.empty()) {
            return;
        }
        std::string generation = words.front();
        words.erase(words.begin());
        Behaviour behaviour;
        std::string error;
        if (!parseBehaviour(words, behaviour, error) || !startMode(generation, behaviour, error)) {
            log_.line("control-error " + generation + " " + error);
        }
    }

    void unlinkAll() {
        for (const std::string& link : options_.links) {
            removeLink(pty_.path, link);
        }
    }

    EmulatorOptions options_;
    Log log_;
    Pty pty_;
    Behaviour behaviour_;
    std::unique_ptr<DisplayModel> model_;
    std::deque<Outgoing> queue_;
    uint64_t received_ = 0;
    std::string lastSettings_;
    std::string controlSeen_;
};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    EmulatorOptions options;
    std::string error;
    if (!parseCommandLine(args, options, error)) {
        std::fprintf(stderr, "vfd-emulator: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return 0;
    }

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int stopSignal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(stopSignal, &action, nullptr);
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (options.exitWithParent) {
        pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            return 0;
        }
    }
    return Emulator(options).run();
}
