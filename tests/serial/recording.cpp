// The recording console and link of the serial tests.
#include "tests/serial/recording.h"

#include <cwchar>

void RecordingConsole::setResultText(const wchar_t* text) {
    calls.push_back(L"setResultText " + std::wstring(text));
}

void RecordingConsole::showMessage(const wchar_t* text, const wchar_t* caption) {
    calls.push_back(L"showMessage " + std::wstring(text) + L" | " + caption);
}

int RecordingConsole::portTextLength() {
    calls.push_back(L"portTextLength");
    return static_cast<int>(portText.size());
}

void RecordingConsole::getPortText(wchar_t* buffer, int capacity) {
    calls.push_back(L"getPortText " + std::to_wstring(capacity));
    if (capacity <= 0) {
        return;
    }
    std::wstring cut = portText.substr(0, static_cast<size_t>(capacity - 1));
    std::wmemcpy(buffer, cut.c_str(), cut.size() + 1);
}

void RecordingConsole::setPortText(const wchar_t* text) {
    calls.push_back(L"setPortText " + std::wstring(text));
    portText = text;
}

void RecordingConsole::addPortEntry(const wchar_t* text) {
    calls.push_back(L"addPortEntry " + std::wstring(text));
}

void RecordingConsole::postQuit(int exitCode) {
    calls.push_back(L"postQuit " + std::to_wstring(exitCode));
}

std::vector<std::string> RecordingLink::callsOutsideCollection() const {
    std::vector<std::string> kept;
    for (const std::string& c : calls) {
        bool collecting =
            (c.rfind("readAvailable ", 0) == 0 && c.rfind("readAvailable 64 ", 0) != 0) ||
            c == "pause 1" || c == "pause 100";
        if (!collecting) {
            kept.push_back(c);
        }
    }
    return kept;
}

bool RecordingLink::record(const std::string& call, bool ok) {
    calls.push_back(call + (ok ? " ok" : " failed"));
    return ok;
}

bool RecordingLink::open(const DevicePath& path) {
    return record("open", inner_.open(path));
}

bool RecordingLink::readSettings() {
    return record("readSettings", inner_.readSettings());
}

bool RecordingLink::applyTestSettings(const LineSettings& settings) {
    return record("applyTestSettings", inner_.applyTestSettings(settings));
}

bool RecordingLink::applyReleaseSettings() {
    return record("applyReleaseSettings", inner_.applyReleaseSettings());
}

bool RecordingLink::applyTimeouts(uint32_t writeConstantMs) {
    return record("applyTimeouts " + std::to_string(writeConstantMs),
                  inner_.applyTimeouts(writeConstantMs));
}

bool RecordingLink::write(const uint8_t* bytes, uint32_t n, uint32_t* written) {
    bool ok = inner_.write(bytes, n, written);
    calls.push_back("write " + std::to_string(n) +
                    (ok ? " -> " + std::to_string(*written) : std::string(" failed")));
    return ok;
}

bool RecordingLink::readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) {
    bool ok = inner_.readAvailable(buffer, max, read);
    calls.push_back("readAvailable " + std::to_string(max) +
                    (ok ? " -> " + std::to_string(*read) : std::string(" failed")));
    return ok;
}

void RecordingLink::restoreSettings() {
    calls.push_back("restoreSettings");
    inner_.restoreSettings();
}

void RecordingLink::close() {
    calls.push_back("close");
    inner_.close();
}

void RecordingLink::pause(uint32_t ms) {
    calls.push_back("pause " + std::to_string(ms));
    if (beforePause) {
        beforePause(ms);
    }
    inner_.pause(ms);
}
