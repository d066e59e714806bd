// display-standin on Linux: a CU20029 line display on a serial port, or on a pty of its own
// for the tests and the demo.
#include "model/console_text.h"
#include "model/display_model.h"
#include "model/event_log.h"
#include "model/options.h"
#include "pty_line.h"
#include "termios_settings.h"
#include "tty_line.h"

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

// The console's time of day.
std::string consoleClock() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    return clockText(local.tm_hour, local.tm_min, local.tm_sec,
                     static_cast<int>(ts.tv_nsec / 1000000));
}

// Off until the pty's "ready" line is out, which a client reads first.
bool consoleOn = false;

void show(const std::string& line) {
    if (consoleOn) {
        std::printf("%s\n", line.c_str());
    }
}

void say(const std::string& text) {
    show(eventLine(consoleClock(), text));
}

// One event a line, each written with a single write so a reader never sees half a line
// unless it reads while that write is under way.
class Log {
  public:
    // Without a path: stderr on the rig's pty; none on a port, where the console says it all.
    bool open(const std::string& path, bool onPort) {
        if (path.empty()) {
            fd_ = onPort ? -1 : STDERR_FILENO;
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
        if (fd_ < 0) {
            return;
        }
        std::string text = logLine(micros, event);
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
        if (!log_.open(options_.logPath, !options_.device.empty())) {
            std::fprintf(stderr, "display-standin: cannot open log %s: %s\n",
                         options_.logPath.c_str(), std::strerror(errno));
            return 2;
        }
        if (!options_.controlPath.empty()) {
            // What is there already belongs to an earlier run: only a change is a command.
            readWholeFile(options_.controlPath, controlSeen_);
        }
        std::string error;
        if (!options_.device.empty()) {
            return runOnPort();
        }
        if (!startMode("0", options_.behaviour, error)) {
            std::fprintf(stderr, "display-standin: %s\n", error.c_str());
            return 1;
        }
        std::string links;
        for (const std::string& l : options_.links) {
            links += (links.empty() ? "" : ",") + l;
        }
        std::printf("ready pty=%s links=%s log=%s\n", pty_.path.c_str(), links.c_str(),
                    options_.logPath.empty() ? "-" : options_.logPath.c_str());
        std::fflush(stdout);
        consoleOn = true;

        uint64_t nextControlCheck = 0;
        while (!stopRequested) {
            pollOnce(1000);
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
    int fd() const { return onPort_ ? tty_.fd : pty_.master; }

    // The field: one real port, the behaviour of the command line, until a signal or until
    // the port goes away.
    int runOnPort() {
        std::string error, note;
        if (!openTty(options_.device, tty_, error, note)) {
            std::fprintf(stderr, "display-standin: %s\n", error.c_str());
            return 2;
        }
        onPort_ = true;
        consoleOn = true;
        begin(options_.behaviour);
        const Behaviour& b = options_.behaviour;
        log_.line("mode 0" + (b.text.empty() ? "" : " " + b.text));
        log_.line("pty " + tty_.path);
        say(playingText(b.loopback, tty_.path));
        if (!note.empty()) {
            say(note);
        }
        watchSettings();
        while (!stopRequested && gone_.empty()) {
            pollOnce(100000);
            receive();
            send();
            watchModem();
        }
        int status = 0;
        if (!gone_.empty()) {
            log_.line("gone " + gone_);
            say(tty_.path + " went away (" + gone_ + ")");
            status = 1;
        } else {
            log_.line("stop");
            say("stopped; the port's settings are put back");
        }
        closeTty(tty_);
        return status;
    }

    // The state every behaviour starts from.
    void begin(const Behaviour& behaviour) {
        behaviour_ = behaviour;
        model_ = std::make_unique<DisplayModel>(behaviour.productType, behaviour.extraBytes,
                                                behaviour.silent, behaviour.loopback);
        queue_.clear();
        received_ = 0;
        lastSettings_.clear();
    }

    // On a port, any failure but "nothing now" means it went away (an adapter pulled, the
    // other end of a null modem closed).
    void lost(const char* what) {
        if (onPort_ && gone_.empty()) {
            gone_ = std::string(what) + ": " + std::strerror(errno);
        }
    }

    void watchModem() {
        std::string now = modemLines(tty_);
        if (!now.empty() && now != lastModem_) {
            lastModem_ = now;
            log_.line("modem " + now);
            say("modem lines " + now);
        }
    }

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
        begin(behaviour);
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

    // Waits for bytes, for the next reply that falls due, or at most wait microseconds.
    void pollOnce(uint64_t wait) {
        if (!queue_.empty()) {
            uint64_t now = nowMicros();
            uint64_t due = queue_.front().due;
            wait = due > now ? std::min<uint64_t>(wait, due - now) : 0;
        }
        // After a hang-up the master is -1, which poll ignores: then it only waits.
        pollfd p{fd(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>((wait + 999) / 1000)) > 0 &&
            (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (p.revents & POLLIN) == 0) {
            errno = EIO;
            lost("hung up");
        }
    }

    void receive() {
        uint8_t buffer[4096];
        while (fd() >= 0 && gone_.empty()) {
            ssize_t n = ::read(fd(), buffer, sizeof buffer);
            if (n == 0) {
                errno = EIO;
                lost("read");
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                lost("read");
            }
            if (n <= 0) {
                return;
            }
            // A reply's delay counts from the time the log gives its request.
            uint64_t arrived = nowMicros();
            log_.lineAt(arrived, "recv " + hex(buffer, static_cast<size_t>(n)));
            received_ += static_cast<uint64_t>(n);
            Reception reception = model_->receive(buffer, static_cast<size_t>(n));
            for (Bytes& reply : reception.replies) {
                queue_.push_back(
                    {std::move(reply), 0, arrived + uint64_t{behaviour_.delayMs} * 1000u});
            }
            for (const std::string& line :
                 receivedLines(consoleClock(), buffer, static_cast<size_t>(n), reception,
                               model_->pendingCommand(), model_->screen(), !behaviour_.loopback)) {
                show(line);
            }
            send();
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
        ssize_t done = ::write(fd(), bytes, n);
        if (done < 0 && errno != EAGAIN && errno != EINTR) {
            lost("write");
        }
        if (done <= 0) {
            return 0;
        }
        sentAt = nowMicros();
        log_.lineAt(sentAt, "send " + hex(bytes, static_cast<size_t>(done)));
        return static_cast<size_t>(done);
    }

    void send() {
        if (fd() < 0 || !gone_.empty()) {
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
                show(sentLine(consoleClock(), head.bytes, behaviour_.loopback));
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
        if (fd() < 0 || tcgetattr(fd(), &t) != 0) {
            return;
        }
        std::string now = describeLine(t);
        if (now != lastSettings_) {
            lastSettings_ = now;
            log_.lineAt(micros, "settings " + now);
            say("settings " + now);
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
    Tty tty_;
    bool onPort_ = false;
    std::string gone_; // why the port went away; empty while it is there
    std::string lastModem_;
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
        std::fprintf(stderr, "display-standin: %s\n", error.c_str());
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
    // Whole lines as they happen, also when the console is a file or a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (options.exitWithParent) {
        pid_t parent = getppid();
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            return 0;
        }
    }
    return Emulator(options).run();
}
