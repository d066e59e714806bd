// Tests of the emulator program itself: a real pty opened through its link, per mode.
#include "model/event_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string readFile(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The log as it stands now.
std::vector<EmulatorEvent> readLog(const std::string& path) {
    return parseLog(readFile(path));
}

// Room for a loaded 2-core machine in every wait and upper bound on real time: the emulator
// may not get the processor for a while, but no correct run takes this long.
constexpr int kPatienceMs = 2000;

const std::string kStart("\x1F\x28\x65\x01\x49\x4E", 6);
const std::string kProductRequest("\x1F\x28\x65\x40\x30", 5);
const std::string kAck = "28 65 01 00";
const std::string kT307A = "28 65 40 43 55 32 30 30 32 39 2D 54 33 30 37 41 20 20";

// Reads from fd until want bytes came or the time is up.
std::string readFor(int fd, size_t want, int timeoutMs) {
    std::string got;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < want) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, want - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

void writeAll(int fd, const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::write(fd, bytes.data(), bytes.size()));
}

class EmulatorProcessTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/display-standin-test-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        dir_ = pattern;
        link_ = dir_ + "/com5";
        log_ = dir_ + "/emulator.log";
        control_ = dir_ + "/control";
    }

    void TearDown() override {
        if (slave_ >= 0) {
            ::close(slave_);
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        fs::remove_all(dir_);
    }

    // Runs args (the program found on PATH) with stdout and stderr on out and err; close is
    // the caller's end of a pipe, which the program must not hold. Its pid.
    static pid_t spawn(std::vector<std::string> args, int out, int err, int close = -1) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(err, STDERR_FILENO);
            if (close >= 0) {
                ::close(close);
            }
            std::vector<char*> argv;
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        return pid;
    }

    // Starts the emulator with the set-up options and extra; true once it said "ready".
    bool start(std::vector<std::string> extra) {
        std::vector<std::string> args = {STANDIN_PATH, "--link",    link_,   "--log",
                                         log_,         "--control", control_};
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (::pipe(out) != 0) {
            return false;
        }
        pid_ = spawn(args, out[1], STDERR_FILENO, out[0]);
        ::close(out[1]);
        ready_.clear();
        // One line, then the pipe stays quiet until the emulator ends.
        while (ready_.find('\n') == std::string::npos) {
            std::string more = readFor(out[0], 1, 5000);
            if (more.empty()) {
                break;
            }
            ready_ += more;
        }
        ::close(out[0]);
        return ready_.rfind("ready pty=/dev/pts/", 0) == 0 && ready_.back() == '\n';
    }

    int openSlave() {
        slave_ = ::open(link_.c_str(), O_RDWR | O_NOCTTY);
        return slave_;
    }

    // SIGTERM, then the exit status (-1 when it did not exit normally).
    int stop(int signal = SIGTERM) {
        ::kill(pid_, signal);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Replaces the control file the way a test under Wine does: whole, by rename.
    void control(const std::string& line) {
        std::string temporary = control_ + ".new";
        std::ofstream(temporary) << line << "\n";
        fs::rename(temporary, control_);
    }

    // Reads the log until done(log) holds or the time is up; returns the last log read.
    std::vector<EmulatorEvent>
    waitForLog(const std::function<bool(const std::vector<EmulatorEvent>&)>& done, int pollMs = 5) {
        auto end = Clock::now() + std::chrono::milliseconds(kPatienceMs);
        for (;;) {
            std::vector<EmulatorEvent> log = readLog(log_);
            if (done(log) || Clock::now() >= end) {
                return log;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
        }
    }

    // The log once it holds at least count events of that kind.
    std::vector<EmulatorEvent> waitForEvents(const std::string& event, size_t count) {
        return waitForLog([&](const std::vector<EmulatorEvent>& log) {
            return detailsOf(log, event).size() >= count;
        });
    }

    // Waits until the log's first line is "mode GENERATION...".
    bool waitForMode(const std::string& generation, int pollMs = 10) {
        auto isMode = [&](const std::vector<EmulatorEvent>& log) {
            return !log.empty() && log[0].kind == "mode" &&
                   (log[0].details + " ").rfind(generation + " ", 0) == 0;
        };
        return isMode(waitForLog(isMode, pollMs));
    }

    std::string dir_, link_, log_, control_, ready_;
    pid_t pid_ = -1;
    int slave_ = -1;
};

struct ModeCase {
    const char* name;
    std::vector<std::string> args;
    std::string expected; // hex of every byte the display sends for start + product request
    int minimumMs;        // the replies must not come sooner
};

// The replies' floor holds exactly: the emulator times them from its reading of the request,
// which comes after this test's write, and both read CLOCK_MONOTONIC.

void PrintTo(const ModeCase& c, std::ostream* os) {
    *os << c.name;
}

class EmulatorModeTest : public EmulatorProcessTest,
                         public testing::WithParamInterface<ModeCase> {};

TEST_P(EmulatorModeTest, AnswersStartAndProductRequestAsTheModeSays) {
    const ModeCase& c = GetParam();
    ASSERT_TRUE(start(c.args)) << ready_;
    ASSERT_GE(openSlave(), 0) << std::strerror(errno);
    auto begin = Clock::now();
    writeAll(slave_, kStart + kProductRequest);
    size_t want = c.expected.empty() ? 1 : (c.expected.size() + 1) / 3;
    std::string got = readFor(slave_, want, c.expected.empty() ? 400 : c.minimumMs + kPatienceMs);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin);
    EXPECT_EQ(c.expected, hex(got));
    if (!c.expected.empty()) {
        EXPECT_GE(ms.count(), c.minimumMs);
        EXPECT_LT(ms.count(), c.minimumMs + kPatienceMs);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Modes, EmulatorModeTest,
    testing::Values(ModeCase{"Default", {}, kAck + " " + kT307A, 0},
                    ModeCase{"SecondKnownProduct",
                             {"--product", "t307a01"},
                             kAck + " 28 65 40 43 55 32 30 30 32 39 54 33 30 37 41 30 31 20",
                             0},
                    ModeCase{"UnknownProduct",
                             {"--product", "unknown"},
                             kAck + " 28 65 40 43 55 34 30 30 32 36 2D 54 57 32 30 30 41 20",
                             0},
                    ModeCase{"Silent", {"--silent"}, "", 0},
                    ModeCase{"Overlong", {"--overlong", "1"}, kAck + " 2A " + kT307A + " 2A", 0},
                    ModeCase{"Delayed", {"--delay", "250"}, kAck + " " + kT307A, 250},
                    // 22 bytes, 21 gaps of 10 ms.
                    ModeCase{"Trickled", {"--trickle", "10"}, kAck + " " + kT307A, 210}),
    [](const testing::TestParamInfo<ModeCase>& info) { return std::string(info.param.name); });

TEST_F(EmulatorProcessTest, AnswersCommandsSplitAcrossWrites) {
    ASSERT_TRUE(start({}));
    ASSERT_GE(openSlave(), 0);
    // ESC @ and text first; then the start one byte at a time.
    writeAll(slave_, std::string("\x1B\x40"
                                 "AB\x1F",
                                 5));
    for (char c : kStart) {
        writeAll(slave_, std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(kAck, hex(readFor(slave_, 4, kPatienceMs)));
}

TEST_F(EmulatorProcessTest, LogsEveryChunkWithRisingTimestamps) {
    ASSERT_TRUE(start({}));
    ASSERT_GE(openSlave(), 0);
    writeAll(slave_, "\x1B\x40");
    // Two chunks only if the first was read before the second was written.
    waitForEvents("recv", 1);
    writeAll(slave_, kStart);
    ASSERT_EQ(kAck, hex(readFor(slave_, 4, kPatienceMs)));
    std::vector<EmulatorEvent> log = waitForEvents("send", 1);
    ASSERT_GE(log.size(), 5u);
    EXPECT_EQ("mode", log[0].kind);
    EXPECT_EQ("0", log[0].details);
    EXPECT_EQ("pty", log[1].kind);
    EXPECT_EQ("settings", log[2].kind);
    EXPECT_EQ((std::vector<std::string>{"1B 40", "1F 28 65 01 49 4E"}), detailsOf(log, "recv"));
    EXPECT_EQ((std::vector<std::string>{kAck}), detailsOf(log, "send"));
    for (size_t i = 1; i < log.size(); ++i) {
        EXPECT_LE(log[i - 1].micros, log[i].micros);
    }
}

TEST_F(EmulatorProcessTest, LogsTheLineSettingsWhenTheyChange) {
    ASSERT_TRUE(start({"--initial", "9600,8N2"}));
    ASSERT_GE(openSlave(), 0);
    termios before;
    ASSERT_EQ(0, tcgetattr(slave_, &before));
    termios t = before;
    t.c_cflag = (t.c_cflag & ~CSTOPB) | CRTSCTS;
    cfsetspeed(&t, B38400);
    ASSERT_EQ(0, tcsetattr(slave_, TCSANOW, &t));
    // Settings are polled, not signalled: each change must stand until the log has it.
    waitForEvents("settings", 2);
    ASSERT_EQ(0, tcsetattr(slave_, TCSANOW, &before));
    EXPECT_EQ((std::vector<std::string>{"speed=9600 bits=8 parity=none stop=2 rtscts=off",
                                        "speed=38400 bits=8 parity=none stop=1 rtscts=on",
                                        "speed=9600 bits=8 parity=none stop=2 rtscts=off"}),
              detailsOf(waitForEvents("settings", 3), "settings"));
}

// The log's send times are the readings the next byte is scheduled from, so no gap between
// them is ever short of the trickle's; only the lateness of a loaded machine varies.
TEST_F(EmulatorProcessTest, TricklesRepliesOneByteAtATime) {
    const unsigned long long gapMicros = 20000;
    const unsigned long long latenessMicros = 200000; // room for a loaded 2-core machine
    ASSERT_TRUE(start({"--trickle", "20"}));
    ASSERT_GE(openSlave(), 0);
    writeAll(slave_, kStart);
    ASSERT_EQ(kAck, hex(readFor(slave_, 4, kPatienceMs)));
    std::vector<EmulatorEvent> log = waitForEvents("send", 4);
    EXPECT_EQ((std::vector<std::string>{"28", "65", "01", "00"}), detailsOf(log, "send"));
    std::vector<unsigned long long> sends;
    for (const EmulatorEvent& e : log) {
        if (e.kind == "send") {
            sends.push_back(e.micros);
        }
    }
    for (size_t i = 1; i < sends.size(); ++i) {
        EXPECT_GE(sends[i] - sends[i - 1], gapMicros) << "byte " << i;
        EXPECT_LT(sends[i] - sends[i - 1], gapMicros + latenessMicros) << "byte " << i;
    }
}

TEST_F(EmulatorProcessTest, FloodsForAsLongAsTheLineTakesBytes) {
    ASSERT_TRUE(start({"--flood"}));
    ASSERT_GE(openSlave(), 0);
    std::string got = readFor(slave_, 200000, 500);
    EXPECT_GT(got.size(), 8192u);
    EXPECT_EQ(std::string::npos, got.find_first_not_of('\x2A'));
}

// How many bytes the line gives without waiting, counted up to want: a flood is refilled as it
// is read, so reading on until it runs dry might never end.
size_t bytesWaiting(const std::string& path, size_t want) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return 0;
    }
    size_t total = 0;
    char buffer[4096];
    ssize_t n;
    while (total < want && (n = ::read(fd, buffer, std::min(sizeof buffer, want - total))) > 0) {
        total += static_cast<size_t>(n);
    }
    ::close(fd);
    return total;
}

// A client opens the line the moment it sees the mode: the flood must be on the line by then,
// at least a drain's worth (64 reads of 64 bytes), not still on its way.
TEST_F(EmulatorProcessTest, FloodIsOnTheLineWhenTheModeIsAnnounced) {
    ASSERT_TRUE(start({"--flood"}));
    EXPECT_EQ(4096u, bytesWaiting(link_, 4096)) << "at ready";
    control("1 --flood");
    ASSERT_TRUE(waitForMode("1", 0));
    EXPECT_EQ(4096u, bytesWaiting(link_, 4096)) << "at the mode line";
    // The mode's lines are written one by one: the first fill's may not all be there yet.
    std::vector<EmulatorEvent> log = waitForEvents("send", 1);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ("pty", log[1].kind);
    EXPECT_EQ("settings", log[2].kind);
    EXPECT_EQ("send", log[3].kind);
}

TEST_F(EmulatorProcessTest, HangsUpAfterTheGivenNumberOfBytes) {
    ASSERT_TRUE(start({"--hangup-after", "3"}));
    ASSERT_GE(openSlave(), 0);
    writeAll(slave_, "AB");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(fs::is_symlink(link_));
    writeAll(slave_, "CD");
    pollfd p{slave_, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, kPatienceMs));
    EXPECT_NE(0, p.revents & POLLHUP);
    std::vector<EmulatorEvent> log = readLog(log_);
    EXPECT_EQ((std::vector<std::string>{"4"}), detailsOf(log, "hangup"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
    EXPECT_EQ(0, stop());
}

TEST_F(EmulatorProcessTest, ControlFileSwitchesModeOnAFreshPtyAndRestartsTheLog) {
    ASSERT_TRUE(start({}));
    std::string firstPty = fs::read_symlink(link_);
    control("1 --silent --initial 9600,8N2");
    ASSERT_TRUE(waitForMode("1"));
    EXPECT_NE(firstPty, fs::read_symlink(link_).string());
    ASSERT_GE(openSlave(), 0);
    writeAll(slave_, kStart);
    EXPECT_EQ("", hex(readFor(slave_, 1, 300)));
    std::vector<EmulatorEvent> log = waitForEvents("recv", 1);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ("1 --silent --initial 9600,8N2", log[0].details);
    EXPECT_EQ("pty " + fs::read_symlink(link_).string(), log[1].kind + " " + log[1].details);
    EXPECT_EQ("speed=9600 bits=8 parity=none stop=2 rtscts=off", log[2].details);
    EXPECT_EQ((std::vector<std::string>{"1F 28 65 01 49 4E"}), detailsOf(log, "recv"));

    // A bad control file is reported and changes nothing.
    control("2 --frobnicate");
    log = waitForEvents("control-error", 1);
    EXPECT_EQ("1 --silent --initial 9600,8N2", log[0].details);
    EXPECT_EQ((std::vector<std::string>{"2 unknown option --frobnicate"}),
              detailsOf(log, "control-error"));

    ::close(slave_);
    control("3 --product unknown");
    ASSERT_TRUE(waitForMode("3"));
    ASSERT_GE(openSlave(), 0);
    writeAll(slave_, kProductRequest);
    EXPECT_EQ("28 65 40 43 55 34 30 30 32 36 2D 54 57 32 30 30 41 20",
              hex(readFor(slave_, 18, kPatienceMs)));
}

TEST_F(EmulatorProcessTest, ControlFileRestoresAfterAHangUp) {
    ASSERT_TRUE(start({"--hangup-after", "1"}));
    ASSERT_GE(openSlave(), 0);
    writeAll(slave_, "A");
    for (int i = 0; i < 100 && fs::exists(fs::symlink_status(link_)); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_FALSE(fs::exists(fs::symlink_status(link_)));
    control("1");
    ASSERT_TRUE(waitForMode("1"));
    ::close(slave_);
    ASSERT_GE(openSlave(), 0);
    writeAll(slave_, kStart);
    EXPECT_EQ(kAck, hex(readFor(slave_, 4, kPatienceMs)));
}

TEST_F(EmulatorProcessTest, StopsOnSignalsAndRemovesItsLink) {
    for (int signal : {SIGTERM, SIGINT}) {
        ASSERT_TRUE(start({}));
        ASSERT_TRUE(fs::is_symlink(link_));
        EXPECT_EQ(0, stop(signal));
        EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
        std::vector<EmulatorEvent> log = readLog(log_);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ("stop", log.back().kind);
    }
}

TEST_F(EmulatorProcessTest, ReplacesAStaleLinkAndRefusesBadOptions) {
    fs::create_symlink("/dev/null", link_);
    ASSERT_TRUE(start({}));
    EXPECT_EQ(0u, fs::read_symlink(link_).string().rfind("/dev/pts/", 0));
    EXPECT_EQ(0, stop());

    std::string command = std::string(STANDIN_PATH) + " --delay soon 2>/dev/null";
    EXPECT_EQ(2, WEXITSTATUS(std::system(command.c_str())));
}

TEST_F(EmulatorProcessTest, HelpExplainsEveryOption) {
    std::string command = std::string(STANDIN_PATH) + " --help >" + dir_ + "/help";
    EXPECT_EQ(0, WEXITSTATUS(std::system(command.c_str())));
    std::string text = readFile(dir_ + "/help");
    for (const char* option : {"--link", "--log", "--control", "--exit-with-parent", "--product ",
                               "--product-text", "--silent", "--delay", "--trickle", "--overlong",
                               "--flood", "--hangup-after", "--initial", "ready pty="}) {
        EXPECT_NE(std::string::npos, text.find(option)) << option;
    }
}

} // namespace

// The stand-in on a port: one end of a null modem that socat makes of two ptys, the other end
// held by the test as the terminal's side.
class StandInPortTest : public EmulatorProcessTest {
  protected:
    void SetUp() override {
        EmulatorProcessTest::SetUp();
        port_ = dir_ + "/port";
        terminal_ = dir_ + "/terminal";
        socat_ =
            spawn({"socat", "pty,raw,echo=0,link=" + port_, "pty,raw,echo=0,link=" + terminal_},
                  "/dev/null");
        auto end = Clock::now() + std::chrono::milliseconds(kPatienceMs);
        while (!(fs::exists(port_) && fs::exists(terminal_)) && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_TRUE(fs::exists(port_) && fs::exists(terminal_)) << "socat made no null modem";
    }

    void TearDown() override {
        if (socat_ > 0) {
            ::kill(socat_, SIGKILL);
            ::waitpid(socat_, nullptr, 0);
        }
        EmulatorProcessTest::TearDown();
    }

    // Runs args with stdout and stderr into the file out; its pid.
    pid_t spawn(const std::vector<std::string>& args, const std::string& out) {
        int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid_t pid = EmulatorProcessTest::spawn(args, fd, fd);
        ::close(fd);
        return pid;
    }

    // The stand-in on the port; true once it has set the port up.
    bool startOnPort(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {STANDIN_PATH, port_, "--log", log_};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = spawn(args, dir_ + "/out");
        return !detailsOf(waitForEvents("settings", 1), "settings").empty();
    }

    // The exit status once the process ends within ms, else -1.
    int exitWithin(pid_t pid, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() >= end) {
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int openTerminal() {
        slave_ = ::open(terminal_.c_str(), O_RDWR | O_NOCTTY);
        return slave_;
    }

    std::string port_, terminal_;
    pid_t socat_ = -1;
};

TEST_F(StandInPortTest, RefusesAPortItCannotUseNamingItAndTheReason) {
    ASSERT_TRUE(startOnPort()); // holds the port
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"/dev/no-such-tty"}, "display-standin: /dev/no-such-tty: no such port\n"},
        {{"/dev/null"}, "display-standin: /dev/null: not a serial port\n"},
        {{port_}, "display-standin: " + port_ + ": held by another program\n"},
        {{port_, "--flood"},
         "display-standin: --delay, --trickle, --flood, --hangup-after, --initial, --link and "
         "--control work only on the stand-in's own pty, not on " +
             port_ + "\n"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> command = {STANDIN_PATH};
        command.insert(command.end(), args.begin(), args.end());
        pid_t pid = spawn(command, dir_ + "/refused");
        EXPECT_EQ(2, exitWithin(pid, kPatienceMs)) << args[0];
        EXPECT_EQ(message, readFile(dir_ + "/refused"));
    }
}

// A port's own settings come back when it ends; on a pty, with no modem lines, it says so once.
TEST_F(StandInPortTest, AnswersOnAPortAndPutsItsSettingsBackWhenStopped) {
    // socat holds the pty, so what is set here stays until the stand-in changes it.
    int fd = ::open(port_.c_str(), O_RDWR | O_NOCTTY);
    termios before;
    ASSERT_EQ(0, tcgetattr(fd, &before));
    cfsetspeed(&before, B9600);
    ASSERT_EQ(0, tcsetattr(fd, TCSANOW, &before));
    ::close(fd);

    ASSERT_TRUE(startOnPort());
    ASSERT_GE(openTerminal(), 0);
    writeAll(slave_, kStart);
    EXPECT_EQ(kAck, hex(readFor(slave_, 4, kPatienceMs)));
    EXPECT_EQ(0, stop(SIGINT));

    fd = ::open(port_.c_str(), O_RDWR | O_NOCTTY);
    termios after;
    ASSERT_EQ(0, tcgetattr(fd, &after));
    ::close(fd);
    EXPECT_EQ(B9600, cfgetospeed(&after));
    std::string out = readFile(dir_ + "/out");
    size_t note = out.find("has no modem lines");
    EXPECT_NE(std::string::npos, note);
    EXPECT_EQ(std::string::npos, out.find("has no modem lines", note + 1));
}

TEST_F(StandInPortTest, SaysThePortWentAwayAndEndsWithinASecond) {
    ASSERT_TRUE(startOnPort());
    ::kill(socat_, SIGKILL);
    ::waitpid(socat_, nullptr, 0);
    socat_ = -1;
    EXPECT_EQ(1, exitWithin(pid_, 1000));
    pid_ = -1;
    EXPECT_NE(std::string::npos, readFile(dir_ + "/out").find(port_ + " went away ("));
    EXPECT_EQ("gone", readLog(log_).back().kind);
}

// Half a megabyte of random bytes: it names them, stays small, and still answers afterwards.
TEST_F(StandInPortTest, TakesAFloodOfRandomBytesInBoundedMemoryAndStillAnswers) {
    ASSERT_TRUE(startOnPort());
    ASSERT_GE(openTerminal(), 0);
    auto rssKb = [&] {
        std::string status = readFile("/proc/" + std::to_string(pid_) + "/status");
        return std::atol(status.c_str() + status.find("VmRSS:") + 6);
    };
    [[maybe_unused]] long before = rssKb();
    std::string noise(64 * 1024, '\0');
    unsigned seed = 7;
    for (int round = 0; round < 8; ++round) {
        for (char& c : noise) {
            c = static_cast<char>(rand_r(&seed));
        }
        writeAll(slave_, noise);
    }
    size_t total = 8 * noise.size();
    auto received = [&](const std::vector<EmulatorEvent>& log) {
        size_t bytes = 0;
        for (const std::string& chunk : detailsOf(log, "recv")) {
            bytes += (chunk.size() + 1) / 3;
        }
        return bytes >= total;
    };
    auto end = Clock::now() + std::chrono::seconds(20);
    while (!received(readLog(log_)) && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(received(readLog(log_)));
#ifndef __SANITIZE_ADDRESS__ // its allocator holds freed memory back, so the size says nothing
    EXPECT_LT(rssKb() - before, 2048) << "the stand-in kept what it was sent";
#endif
    // Whatever the noise made it answer, then a start of its own after a stray half command.
    while (!readFor(slave_, 4096, 100).empty()) {
    }
    writeAll(slave_, kStart);
    EXPECT_EQ(kAck, hex(readFor(slave_, 4, kPatienceMs)));
    EXPECT_EQ(0, stop());
}
