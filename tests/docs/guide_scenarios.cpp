// Plays every row of the outcome table (tests/support/outcomes.table), holds the program to what
// the row says it shows, and records what it showed: the dialog's texts, each message box's
// caption and text, and the texts the display was sent; with --shots also the screenshots the
// guide shows. The core's rows (what Wine cannot bring about) are played on the display-test core
// with the recording fakes. A test against the stand-in over a null modem records the stand-in's
// console, as a technician's laptop shows it, with the times left out.
//
// Usage: guide_scenarios APP_EXE TEXTS_JSON [--shots DIR]   (paths as Unix or Windows paths)
// Run under scripts/with-displays.sh with the display "guide", the device "guide-device" (a
// device that is no serial port), the absent port "guide-absent" and, for the stand-in's
// outcome, the stand-in "guide-standin" (without it that outcome is not played).
#include "display/commands.h"
#include "display/test_run.h"
#include "tests/support/device_path.h"
#include "tests/support/outcomes.h"
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

struct Recorded {
    std::string where; // dialog, result, port, box-caption, box-text, display
    std::wstring text;
};

struct Outcome {
    std::string name;
    std::string source; // "program" under Wine, "core" with the fakes, or "standin"
    std::vector<Recorded> shown;
    double runSeconds = 0; // from Test to the end of the run, boxes excluded; 0 if no run
};

using driver::wide;

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
    auto* shown = reinterpret_cast<std::vector<Recorded>*>(param);
    std::wstring text = driver::text(child);
    // An icon's text is its resource number (FFFF, then the id), not something shown; the
    // result and port boxes are recorded as such.
    if (text.empty() || text[0] == 0xFFFF) {
        return TRUE;
    }
    for (const Recorded& already : *shown) {
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
        std::string absent;
        hasStandIn_ = standIn_.connect("guide-standin", absent);
        return emulator_.connect("guide", error);
    }

    bool hasStandIn() const { return hasStandIn_; }

    // Plays the row, records what it showed, and checks that against the row. The stand-in's
    // console is read before Exit, which resets the display.
    bool play(const OutcomeRow& row, Outcome& outcome, std::string& error) {
        bool standIn = row.port == "standin";
        outcome.name = row.name;
        outcome.source = standIn ? "standin" : "program";
        if (!standIn && !emulator_.setMode(row.mode, error)) {
            return false;
        }
        driver::Operator op;
        if (!op.start(app_, error)) {
            return false;
        }
        // A cut name: the display's port and more than the 16 characters a name may have.
        const std::wstring port = row.port == "device"   ? device_
                                  : row.port == "absent" ? absent_
                                  : standIn              ? standIn_.port()
                                  : row.port == "cut"    ? emulator_.port() + L" (VFD display)"
                                                         : emulator_.port();
        op.typePort(port);
        Shown shown;
        if (row.shows == "ready") {
            // Clear moves the focus to Test, as a configured port would: no caret in the shot.
            op.clear();
        } else if (!finishRun(op, outcome, shown, error)) {
            return false;
        }
        shown.result = op.text(driver::kResultBox);
        outcome.shown.push_back({"result", shown.result});
        HWND dialog = op.dialog();
        if (standIn) {
            outcome.shown.push_back({"console", withoutTimes(standIn_.console())});
        } else {
            outcome.shown.push_back({"port", op.text(driver::kPortBox)});
            outcome.shown.push_back({"dialog", driver::text(dialog)});
            EnumChildWindows(dialog, addChildText, reinterpret_cast<LPARAM>(&outcome.shown));
            if (!shoot(dialog, outcome.name + ".bmp", error)) {
                return false;
            }
        }
        if (op.exit() != 0) {
            error = "Exit did not end the program with 0";
            return false;
        }
        for (const std::wstring& text : displayTexts(standIn ? "" : emulator_.received())) {
            outcome.shown.push_back({"display", text});
        }
        error = shownProblem(row, port, shown);
        return error.empty();
    }

  private:
    // Presses Test and waits for the run to end, reading, photographing (the first) and
    // dismissing each box.
    bool finishRun(driver::Operator& op, Outcome& outcome, Shown& shown, std::string& error) {
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
            shown.boxes.push_back({box.caption, box.text});
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
    EmulatorClient standIn_;
    bool hasStandIn_ = false;
};

// Plays a core row: the recording link's call the row names fails.
Outcome playOnCore(const OutcomeRow& row, std::string& problem) {
    CallLog log;
    RecordingLink link(log);
    RecordingConsole console(log);
    link.failCall(row.mode);
    DevicePath path = pathOf(L"COM14");
    runTest(path, LineSettings{}, console, link);

    Outcome outcome;
    outcome.name = row.name;
    outcome.source = "core";
    outcome.shown.push_back({"result", console.resultText});
    Shown shown{console.resultText, {}};
    for (const RecordingConsole::Message& box : console.messages) {
        outcome.shown.push_back({"box-caption", box.caption});
        outcome.shown.push_back({"box-text", box.text});
        shown.boxes.push_back({box.caption, box.text});
    }
    problem = shownProblem(row, path.name(), shown);
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
    for (const OutcomeRow& row : outcomeTable()) {
        Outcome outcome;
        if (row.port == "core") {
            outcome = playOnCore(row, error);
        } else if (row.port == "standin" && !runner.hasStandIn()) {
            std::printf("%-18s not played: no stand-in guide-standin\n", row.name.c_str());
            continue;
        } else {
            runner.play(row, outcome, error);
        }
        if (!error.empty()) {
            std::fprintf(stderr, "guide_scenarios: %s: %s\n", row.name.c_str(), error.c_str());
            return 1;
        }
        std::printf("%-18s %-8s %5.2f s\n", row.name.c_str(), outcome.source.c_str(),
                    outcome.runSeconds);
        outcomes.push_back(outcome);
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
