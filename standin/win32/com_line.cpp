// The stand-in's loop on a COM port: wait for bytes, name them, answer at once, and say when
// the port goes away.
#include "com_line.h"

#include "model/console_text.h"
#include "model/display_model.h"
#include "model/event_log.h"

#include <cstdio>

namespace {

// The log's MICROS: a monotonic clock, as on Linux.
uint64_t nowMicros() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    // Whole seconds and the rest apart, so that the product cannot overflow.
    uint64_t ticks = static_cast<uint64_t>(count.QuadPart);
    uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

std::string consoleClock() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return clockText(now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

// One event a line, "MICROS EVENT DETAILS", each line written and flushed whole so that a
// reader never waits for a buffer to fill. Without a path there is none: the console already
// says it all to a technician.
class Log {
  public:
    ~Log() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    bool open(const std::string& path) {
        if (path.empty()) {
            return true;
        }
        file_ = std::fopen(path.c_str(), "wb");
        return file_ != nullptr;
    }
    void line(const std::string& event) { lineAt(nowMicros(), event); }
    void lineAt(uint64_t micros, const std::string& event) {
        if (file_ == nullptr) {
            return;
        }
        std::string text = logLine(micros, event);
        std::fwrite(text.data(), 1, text.size(), file_);
        std::fflush(file_);
    }

  private:
    std::FILE* file_ = nullptr;
};

std::string failed(const char* call, DWORD error) {
    return std::string(call) + " failed with error " + std::to_string(error);
}

std::string reasonForOpen(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no such port";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "held by another program";
    default:
        return "can't be opened (error " + std::to_string(error) + ")";
    }
}

// "COM5" or "\\.\COM5" as the device path the link opens; false for a name no port has.
bool devicePathOf(const std::string& port, DevicePath& path) {
    std::string name = port.compare(0, 4, "\\\\.\\") == 0 ? port.substr(4) : port;
    if (name.empty() || name.size() > kPortNameMaxUnits) {
        return false;
    }
    path.reset();
    for (size_t i = 0; i < name.size(); ++i) {
        path.name()[i] = static_cast<unsigned char>(name[i]);
    }
    return true;
}

// 1.5 stop bits where a port has them, which a Linux tty never does.
std::string settingsOf(const DCB& dcb) {
    static const char* const parities[] = {"none", "odd", "even", "mark", "space"};
    const char* stop = dcb.StopBits == ONESTOPBIT ? "1" : dcb.StopBits == TWOSTOPBITS ? "2" : "1.5";
    return settingsText(std::to_string(dcb.BaudRate), dcb.ByteSize,
                        dcb.Parity <= SPACEPARITY ? parities[dcb.Parity] : "?", stop,
                        dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE);
}

class ComLine {
  public:
    ComLine(const EmulatorOptions& options, Win32SerialLink& link, const ComConsole& console)
        : options_(options), port_(options.device), link_(link), console_(console),
          model_(options.behaviour.productType, options.behaviour.extraBytes,
                 options.behaviour.silent, options.behaviour.loopback) {}

    int run(const std::atomic<bool>& stop) {
        if (!log_.open(options_.logPath)) {
            console_.error("DisplayStandIn: cannot open the log " + options_.logPath);
            return kExitBadPort;
        }
        DevicePath path;
        if (!devicePathOf(port_, path)) {
            return refuse("not a port name");
        }
        if (!link_.open(path)) {
            return refuse(reasonForOpen(GetLastError()));
        }
        // A handle that takes no comm state is a file or another device, not a port.
        if (!link_.readSettings()) {
            link_.close();
            return refuse("not a serial port");
        }
        if (!link_.applyReleaseSettings() ||
            !link_.applyWaitingTimeouts(kIdleWaitMs, kWriteWaitMs)) {
            DWORD error = GetLastError();
            link_.restoreSettings();
            link_.close();
            return refuse("can't be set to 38400 8N1 (error " + std::to_string(error) + ")");
        }
        start();
        serve(stop);
        link_.restoreSettings();
        link_.close();
        if (!gone_.empty()) {
            log_.line("gone " + gone_);
            say(port_ + " went away (" + gone_ + ")");
            return kExitWentAway;
        }
        log_.line("stop");
        say("stopped; the port's settings are put back");
        return kExitStopped;
    }

  private:
    int refuse(const std::string& reason) {
        console_.error("DisplayStandIn: " + port_ + ": " + reason);
        return kExitBadPort;
    }

    void say(const std::string& text) { console_.show(eventLine(consoleClock(), text)); }

    void start() {
        const Behaviour& b = options_.behaviour;
        log_.line("mode 0" + (b.text.empty() ? "" : " " + b.text));
        log_.line("pty " + port_);
        say(playingText(b.loopback, port_));
        DCB now;
        if (link_.currentSettings(now)) {
            log_.line("settings " + settingsOf(now));
            say("settings " + settingsOf(now));
        }
        // Wine fails the call on a pty, as drivers of some virtual ports do: no failure.
        hasModemLines_ = watchModem();
        if (!hasModemLines_) {
            say(port_ + " reports no modem lines (a virtual port?): CTS and DSR not shown");
        }
    }

    bool watchModem() {
        DWORD lines = 0;
        if (!link_.modemStatus(lines)) {
            return false;
        }
        std::string now = modemText((lines & MS_CTS_ON) != 0, (lines & MS_DSR_ON) != 0);
        if (now != lastModem_) {
            lastModem_ = now;
            log_.line("modem " + now);
            say("modem lines " + now);
        }
        return true;
    }

    // Each read waits up to kIdleWaitMs for a byte, so a stop is seen that soon; a failing
    // read or write ends it at once rather than being tried again.
    void serve(const std::atomic<bool>& stop) {
        uint8_t buffer[4096];
        while (!stop && gone_.empty()) {
            if (hasModemLines_) {
                watchModem();
            }
            uint32_t n = 0;
            if (!link_.readAvailable(buffer, sizeof buffer, &n)) {
                gone_ = failed("ReadFile", GetLastError());
                return;
            }
            if (n == 0) {
                continue;
            }
            log_.line("recv " + hex(buffer, n));
            Reception reception = model_.receive(buffer, n);
            for (const std::string& line :
                 receivedLines(consoleClock(), buffer, n, reception, model_.pendingCommand(),
                               model_.screen(), !options_.behaviour.loopback)) {
                console_.show(line);
            }
            for (const Bytes& reply : reception.replies) {
                if (!send(reply)) {
                    return;
                }
                console_.show(sentLine(consoleClock(), reply, options_.behaviour.loopback));
            }
        }
    }

    // A write cut short by its time-out goes on with the rest; one that takes nothing at all
    // in that time has a port that no longer sends.
    bool send(const Bytes& reply) {
        size_t done = 0;
        while (done < reply.size()) {
            uint32_t n = 0;
            if (!link_.write(reply.data() + done, static_cast<uint32_t>(reply.size() - done), &n)) {
                gone_ = failed("WriteFile", GetLastError());
                return false;
            }
            if (n == 0) {
                gone_ = "WriteFile sent nothing in " + std::to_string(kWriteWaitMs) + " ms";
                return false;
            }
            log_.line("send " + hex(reply.data() + done, n));
            done += n;
        }
        return true;
    }

    const EmulatorOptions& options_;
    const std::string& port_;
    Win32SerialLink& link_;
    const ComConsole& console_;
    DisplayModel model_;
    Log log_;
    bool hasModemLines_ = false;
    std::string lastModem_;
    std::string gone_; // why the port went away; empty while it is there
};

} // namespace

int runComLine(const EmulatorOptions& options, Win32SerialLink& link, const ComConsole& console,
               const std::atomic<bool>& stop) {
    return ComLine(options, link, console).run(stop);
}
