// DisplayStandIn.exe: a CU20029 line display on a COM port, for telling a bad display from a bad
// port, cable or setting.
#include "com_line.h"

#include "discovery/port_discovery.h"
#include "model/options.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// Set by the console's Ctrl+C or close; the loop ends within one idle wait.
std::atomic<bool> stopRequested{false};
// Signalled once the port is put back and closed, which a closing console must wait for.
HANDLE finished = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event) {
    stopRequested = true;
    // Windows ends the process as soon as this returns from a close, log-off or shut-down.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(finished, 4000);
    }
    return TRUE;
}

// ASCII only, since code pages differ; each line flushed, so that a file or a pipe gets it
// as it happens.
void print(std::FILE* to, const std::string& line) {
    std::string ascii = line;
    for (char& c : ascii) {
        if (c < 0x20 || c > 0x7E) {
            c = '?';
        }
    }
    std::fprintf(to, "%s\n", ascii.c_str());
    std::fflush(to);
}

// The serial ports of the registry's map, as port discovery finds them for the utility.
class PortList : public ConsoleOperations {
  public:
    std::vector<std::string> ports;

    void addPortEntry(const wchar_t* text) override {
        std::string port;
        for (const wchar_t* p = text; *p != L'\0'; ++p) {
            port += static_cast<char>(*p < 0x80 ? *p : '?');
        }
        ports.push_back(port);
    }
    // The utility's configured port is the terminal's, not this machine's: not offered.
    void setPortText(const wchar_t*) override {}
    void setResultText(const wchar_t*) override {}
    void showMessage(const wchar_t*, const wchar_t*) override {}
    int portTextLength() override { return 0; }
    void getPortText(wchar_t* buffer, int capacity) override {
        if (capacity > 0) {
            buffer[0] = L'\0';
        }
    }
    void postQuit(int) override {}
};

// Started with no port (a double click): lists the ports and reads one from the console.
std::string askForPort() {
    PortList list;
    discoverPorts(list);
    if (list.ports.empty()) {
        print(stdout, "Windows lists no serial ports on this machine.");
    } else {
        print(stdout, "Serial ports Windows knows:");
        for (const std::string& port : list.ports) {
            print(stdout, "  " + port);
        }
    }
    std::printf("Port to play the display on (e.g. %s): ",
                list.ports.empty() ? "COM3" : list.ports.front().c_str());
    std::fflush(stdout);
    char line[64];
    if (std::fgets(line, sizeof line, stdin) == nullptr) {
        return "";
    }
    std::string port(line);
    port.erase(0, port.find_first_not_of(" \t"));
    port.erase(port.find_last_not_of(" \t\r\n") + 1);
    return port;
}

int run(std::vector<std::string> args, bool asked) {
    EmulatorOptions options;
    std::string error;
    if (!parseCommandLine(args, options, error)) {
        print(stderr, "DisplayStandIn: " + error);
        return kExitBadPort;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return kExitStopped;
    }
    if (options.device.empty()) {
        // The Windows program has no pty of its own: without a port it asks for one, and the
        // options are checked again as they go with a port.
        std::string port = asked ? "" : askForPort();
        if (port.empty()) {
            print(stderr, "DisplayStandIn: no port given (DisplayStandIn.exe COM3; --help)");
            return kExitBadPort;
        }
        args.push_back(port);
        return run(args, true);
    }
    finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    Win32SerialLink link;
    ComConsole console{[](const std::string& line) { print(stdout, line); },
                       [](const std::string& line) { print(stderr, line); }};
    int status = runComLine(options, link, console, stopRequested);
    SetEvent(finished);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    // The C runtime leaves a console or a device unbuffered and then writes it piece by piece,
    // a few bytes a call: buffered, each line goes out in one write when print flushes it.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);
    std::vector<std::string> args(argv + 1, argv + argc);
    bool doubleClicked = args.empty();
    int status = run(args, false);
    // A console opened by a double click closes with the program: keep a failure readable.
    if (doubleClicked && status != kExitStopped) {
        print(stdout, "Press Enter to close this window.");
        char line[8];
        std::fgets(line, sizeof line, stdin);
    }
    return status;
}
