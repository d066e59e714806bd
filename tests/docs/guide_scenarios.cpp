// Plays every outcome the technician's guide describes and records what the program shows in
// each: the dialog's texts, each message box's caption and text, and the texts the display was
// sent; with --shots also the screenshots the guide shows. Outcomes that Wine cannot bring about
// (a failing SetCommState, SetCommTimeouts or ReadFile) are played on the display-test core with
// the recording fakes instead, and marked so. A test against the stand-in over a null modem
// records the stand-in's console, as a technician's laptop shows it, with the times left out.
//
// Usage: guide_scenarios APP_EXE TEXTS_JSON [--shots DIR]   (paths as Unix or Windows paths)
// Run under scripts/with-displays.sh with the display "guide", the device "guide-device" (a
// device that is no serial port), the absent port "guide-absent" and, for the stand-in's
// outcome, the stand-in "guide-standin" (without it that outcome is not played).
#include "display/commands.h"
#include "display/test_run.h"
#include "tests/support/recording_console.h"
#include "tests/support/recording_link.h"
#include "tools/driver/emulator_client.h"
#include "tools/driver/operator.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Shown {
    std::string where; // dialog, result, port, box-caption, box-text, display
    std::wstring text;
};

struct Outcome {
    std::string name;
    std::string source; // "program" under Wine, "core" with the fakes, or "standin"
    std::vector<Shown> shown;
    double runSeconds = 0; // from Test to the end of the run, boxes excluded; 0 if no run
};

// Which port an outcome types.
enum class PortKind { Display, Device, Absent };

// An outcome played end to end: the emulator's behaviour, the port typed (and what follows
// it), whether Test is pressed at all.
struct ProgramCase {
    const char* name;
    const char* mode;
    PortKind port;
    const wchar_t* suffix;
    bool pressTest;
};

const ProgramCase kProgramCases[] = {
    {"start", "", PortKind::Display, L"", false},
    {"pass", "", PortKind::Display, L"", true},
    {"unknown-product", "--product unknown", PortKind::Display, L"", true},
    {"silent", "--silent", PortKind::Display, L"", true},
    // Every answer one byte too long: both are marked (Incorrect).
    {"incorrect", "--overlong 1", PortKind::Display, L"", true},
    // A loopback plug on the port: the program reads its own bytes back.
    {"loopback", "--loopback", PortKind::Display, L"", true},
    {"open-failure", "", PortKind::Absent, L"", true},
    // /dev/null opens, but has no line settings to read.
    {"get-comm-state", "", PortKind::Device, L"", true},
    // The line goes once ESC @ and the greeting are in: the next write fails.
    {"write-file", "--hangup-after 27", PortKind::Display, L"", true},
    {"truncated", "", PortKind::Display, L" (VFD display)", true},
};

// An outcome played on the core: the link operation that fails.
struct CoreCase {
    const char* name;
    const char* failingOperation;
};

const CoreCase kCoreCases[] = {
    {"set-comm-state", "applyTestSettings"},
    {"set-comm-timeouts", "applyTimeouts"},
    {"read-file", "readAvailable"},
};

using driver::wide;

std::string jsonString(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool writeJson(const std::wstring& path, const std::vector<Outcome>& outcomes) {
    std::string json = "{\n";
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.2f", o.runSeconds);
        json += "  " + jsonString(wide(o.name)) + ": {\"source\": " + jsonString(wide(o.source)) +
                ", \"run_seconds\": " + seconds + ", \"shown\": [\n";
        for (size_t k = 0; k < o.shown.size(); ++k) {
            json += "    [" + jsonString(wide(o.shown[k].where)) + ", " +
                    jsonString(o.shown[k].text) + "]" + (k + 1 < o.shown.size() ? ",\n" : "\n");
        }
        json += std::string("  ]}") + (i + 1 < outcomes.size() ? ",\n" : "\n");
    }
    json += "}\n";
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    bool written = fwrite(json.data(), 1, json.size(), file) == json.size();
    return fclose(file) == 0 && written;
}

// The texts the display was sent, as it would show them: what is left between line breaks and
// NULs once the commands are taken out.
std::vector<std::wstring> displayTexts(const std::string& hexBytes) {
    std::string bytes;
    for (size_t at = 0; at + 1 < hexBytes.size(); at += 3) {
        bytes += static_cast<char>(std::stoul(hexBytes.substr(at, 2), nullptr, 16));
    }
    for (const Command* command :
         {&kInitialiseDisplay, &kSetupModeStart, &kReadProductType, &kSetupModeEnd}) {
        std::string pattern(reinterpret_cast<const char*>(command->bytes), command->length);
        for (size_t at; (at = bytes.find(pattern)) != std::string::npos;) {
            bytes.replace(at, pattern.size(), "\n");
        }
    }
    std::vector<std::wstring> texts;
    std::wstring run;
    for (char c : bytes + '\n') {
        if (c >= 0x20 && c < 0x7F) {
            run += static_cast<wchar_t>(c);
        } else if (!run.empty()) {
            texts.push_back(run);
            run.clear();
        }
    }
    return texts;
}

// The stand-in's console without the time of day each line starts with ("HH:MM:SS.mmm "),
// and without the same width of indent before a frame.
std::wstring withoutTimes(const std::string& console) {
    const size_t width = std::strlen("HH:MM:SS.mmm ");
    std::string out;
    size_t at = 0;
    while (at < console.size()) {
        size_t end = console.find('\n', at);
        end = end == std::string::npos ? console.size() : end + 1;
        std::string line = console.substr(at, end - at);
        bool timed = line.size() > width && line[2] == ':' && line[5] == ':' && line[8] == '.';
        bool indented = line.rfind(std::string(width, ' '), 0) == 0;
        out += timed || indented ? line.substr(width) : line;
        at = end;
    }
    return wide(out);
}

BOOL CALLBACK addChildText(HWND child, LPARAM param) {
    auto* shown = reinterpret_cast<std::vector<Shown>*>(param);
    std::wstring text = driver::text(child);
    // An icon's text is its resource number (FFFF, then the id), not something shown; the
    // result and port boxes are recorded as such.
    if (text.empty() || text[0] == 0xFFFF) {
        return TRUE;
    }
    for (const Shown& already : *shown) {
        if (already.text == text) {
            return TRUE;
        }
    }
    shown->push_back({"dialog", text});
    return TRUE;
}

class ProgramRunner {
  public:
    ProgramRunner(std::wstring app, std::wstring shots) : app_(app), shots_(shots) {}

    bool connect(std::string& error) {
        device_ = harnessPort("guide-device");
        absent_ = harnessPort("guide-absent");
        if (device_.empty() || absent_.empty()) {
            error = "LDT_PORT_GUIDE_DEVICE or LDT_PORT_GUIDE_ABSENT missing: run under "
                    "scripts/with-displays.sh with --device guide-device=/dev/null --absent "
                    "guide-absent";
            return false;
        }
        return emulator_.connect("guide", error);
    }

    // A test against the stand-in: the result, and the stand-in's console before Exit (which
    // resets the display).
    bool playStandIn(const EmulatorClient& standIn, Outcome& outcome, std::string& error) {
        outcome.name = "standin";
        outcome.source = "standin";
        driver::Operator op;
        if (!op.start(app_, error)) {
            return false;
        }
        op.typePort(standIn.port());
        if (!finishRun(op, outcome, error)) {
            return false;
        }
        outcome.shown.push_back({"result", op.text(driver::kResultBox)});
        outcome.shown.push_back({"console", withoutTimes(standIn.console())});
        if (op.exit() != 0) {
            error = "Exit did not end the program with 0";
            return false;
        }
        return true;
    }

    bool play(const ProgramCase& c, Outcome& outcome, std::string& error) {
        outcome.name = c.name;
        outcome.source = "program";
        if (!emulator_.setMode(c.mode, error)) {
            return false;
        }
        driver::Operator op;
        if (!op.start(app_, error)) {
            return false;
        }
        const std::wstring& port = c.port == PortKind::Display  ? emulator_.port()
                                   : c.port == PortKind::Device ? device_
                                                                : absent_;
        op.typePort(port + c.suffix);
        if (!c.pressTest) {
            // Clear moves the focus to Test, as a configured port would: no caret in the shot.
            op.clear();
        } else if (!finishRun(op, outcome, error)) {
            return false;
        }
        HWND dialog = op.dialog();
        outcome.shown.push_back({"result", op.text(driver::kResultBox)});
        outcome.shown.push_back({"port", op.text(driver::kPortBox)});
        outcome.shown.push_back({"dialog", driver::text(dialog)});
        EnumChildWindows(dialog, addChildText, reinterpret_cast<LPARAM>(&outcome.shown));
        if (!shoot(dialog, outcome.name + ".bmp", error)) {
            return false;
        }
        if (op.exit() != 0) {
            error = "Exit did not end the program with 0";
            return false;
        }
        for (const std::wstring& text : displayTexts(emulator_.received())) {
            outcome.shown.push_back({"display", text});
        }
        return true;
    }

  private:
    // Presses Test and waits for the run to end, reading, photographing (the first) and
    // dismissing each box.
    bool finishRun(driver::Operator& op, Outcome& outcome, std::string& error) {
        bool shot = true;
        int boxes = 0;
        driver::Run run = op.runTest(30000, [&](const driver::MessageBoxInfo& box) {
            // Let the box paint itself before it is photographed.
            Sleep(300);
            if (++boxes == 1) {
                shot = shoot(box.box, outcome.name + "-box.bmp", error);
            }
            outcome.shown.push_back({"box-caption", box.caption});
            outcome.shown.push_back({"box-text", box.text});
        });
        if (!shot) {
            return false;
        }
        if (!run.ended) {
            error = run.began ? "the run did not end" : "no run began";
            return false;
        }
        outcome.runSeconds = (run.endedNs - run.begunNs - run.inBoxesNs) / 1e9;
        // Let the dialog repaint where a box was before it is read or photographed.
        RedrawWindow(op.dialog(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
        Sleep(300);
        return true;
    }

    bool shoot(HWND window, const std::string& file, std::string& error) {
        if (shots_.empty()) {
            return true;
        }
        if (!driver::saveWindowBitmap(window, shots_ + L"\\" + wide(file))) {
            error = "could not save " + file;
            return false;
        }
        return true;
    }

    std::wstring app_;
    std::wstring shots_;
    std::wstring device_;
    std::wstring absent_;
    EmulatorClient emulator_;
};

Outcome playOnCore(const CoreCase& c) {
    CallLog log;
    RecordingLink link(log);
    RecordingConsole console(log);
    link.failCall(c.failingOperation);
    DevicePath path;
    path.reset();
    std::wcscpy(path.name(), L"COM14");
    runTest(path, LineSettings{}, console, link);

    Outcome outcome;
    outcome.name = c.name;
    outcome.source = "core";
    outcome.shown.push_back({"result", console.resultText});
    for (const RecordingConsole::Message& box : console.messages) {
        outcome.shown.push_back({"box-caption", box.caption});
        outcome.shown.push_back({"box-text", box.text});
    }
    return outcome;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring shots;
    if (argc == 5 && std::wcscmp(argv[3], L"--shots") == 0) {
        shots = driver::windowsPath(narrow(argv[4]));
    } else if (argc != 3) {
        std::fprintf(stderr, "usage: guide_scenarios APP_EXE TEXTS_JSON [--shots DIR]\n");
        return 2;
    }
    ProgramRunner runner(driver::windowsPath(narrow(argv[1])), shots);
    std::string error;
    if (!runner.connect(error)) {
        std::fprintf(stderr, "guide_scenarios: %s\n", error.c_str());
        return 1;
    }
    std::vector<Outcome> outcomes;
    for (const ProgramCase& c : kProgramCases) {
        Outcome outcome;
        if (!runner.play(c, outcome, error)) {
            std::fprintf(stderr, "guide_scenarios: %s: %s\n", c.name, error.c_str());
            return 1;
        }
        std::printf("%-18s program %5.2f s\n", c.name, outcome.runSeconds);
        outcomes.push_back(outcome);
    }
    EmulatorClient standIn;
    std::string absent;
    if (!standIn.connect("guide-standin", absent)) {
        std::printf("%-18s not played: %s\n", "standin", absent.c_str());
    } else {
        Outcome outcome;
        if (!runner.playStandIn(standIn, outcome, error)) {
            std::fprintf(stderr, "guide_scenarios: standin: %s\n", error.c_str());
            return 1;
        }
        std::printf("%-18s stand-in %5.2f s\n", "standin", outcome.runSeconds);
        outcomes.push_back(outcome);
    }
    for (const CoreCase& c : kCoreCases) {
        outcomes.push_back(playOnCore(c));
        std::printf("%-18s core\n", c.name);
    }
    if (misuseCount() != 0) {
        std::fprintf(stderr, "guide_scenarios: the core runs misused the recording link (above)\n");
        return 1;
    }
    if (!writeJson(driver::windowsPath(narrow(argv[2])), outcomes)) {
        std::fprintf(stderr, "guide_scenarios: could not write %ls\n", argv[2]);
        return 1;
    }
    return 0;
}
