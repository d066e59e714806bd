// The console operations, done on the dialog's port box, result box and message boxes.
#include "console/test_dialog.h"

void DialogConsole::setResultText(const wchar_t* text) {
    SendMessageW(resultBox_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void DialogConsole::showMessage(const wchar_t* text, const wchar_t* caption) {
    // Owned by the dialog, which stays disabled while the box is open.
    MessageBoxW(dialog_, text, caption, MB_OK);
}

int DialogConsole::portTextLength() {
    return static_cast<int>(SendMessageW(portBox_, WM_GETTEXTLENGTH, 0, 0));
}

void DialogConsole::getPortText(wchar_t* buffer, int capacity) {
    // WM_GETTEXT cuts at capacity - 1 characters and always terminates.
    SendMessageW(portBox_, WM_GETTEXT, static_cast<WPARAM>(capacity),
                 reinterpret_cast<LPARAM>(buffer));
}

void DialogConsole::setPortText(const wchar_t* text) {
    // A drop-down combo box passes its window text to its edit field.
    SendMessageW(portBox_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

void DialogConsole::addPortEntry(const wchar_t* text) {
    SendMessageW(portBox_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

void DialogConsole::postQuit(int exitCode) {
    PostQuitMessage(exitCode);
}
