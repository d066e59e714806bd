// The recording console.
#include "tests/support/recording_console.h"

#include <algorithm>
#include <cwchar>

void RecordingConsole::setResultText(const wchar_t* text) {
    resultText = text;
    log_.add("setResultText " + narrow(text));
}

void RecordingConsole::showMessage(const wchar_t* text, const wchar_t* caption) {
    messages.push_back({text, caption});
    log_.add("showMessage " + narrow(text) + " | " + narrow(caption));
    if (whileBoxOpen) {
        whileBoxOpen();
    }
}

int RecordingConsole::portTextLength() {
    log_.add("portTextLength -> " + std::to_string(portText.size()));
    return static_cast<int>(portText.size());
}

void RecordingConsole::getPortText(wchar_t* buffer, int capacity) {
    log_.add("getPortText " + std::to_string(capacity));
    if (capacity <= 0) {
        return;
    }
    size_t take = std::min(portText.size(), static_cast<size_t>(capacity - 1));
    std::wmemcpy(buffer, portText.data(), take);
    buffer[take] = L'\0';
}

void RecordingConsole::setPortText(const wchar_t* text) {
    portText = text;
    log_.add("setPortText " + narrow(text));
}

void RecordingConsole::addPortEntry(const wchar_t* text) {
    log_.add("addPortEntry " + narrow(text));
}

void RecordingConsole::postQuit(int exitCode) {
    log_.add("postQuit " + std::to_string(exitCode));
}
