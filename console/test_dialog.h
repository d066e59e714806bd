// The test dialog: its state record, its console operations and its dialog procedure.
#pragma once

#include "display/console_operations.h"
#include "display/types.h"

#include <windows.h>

struct TestDialogState {
    HWND portBox;   // 1005
    HWND resultBox; // 1004
    HWND testButton;
    HWND exitButton;  // kept, never read: focus moves look the control up each time
    HWND clearButton; // kept, never read, likewise
    DevicePath devicePath;
    LineSettings lineSettings;
    // A test run is under way; it may be suspended in one of its message boxes.
    bool testRunning;
    // A close or Exit came during the run; it is carried out once the run has returned.
    bool closePending;
    bool exitPending;
    // The display release has run and the quit is posted; a later close must not repeat it.
    bool released;
};

// The dialog's only way to its record; empty before initialisation and after the close.
extern TestDialogState* DialogState;

// The console operations on this dialog's controls.
class DialogConsole : public ConsoleOperations {
public:
    DialogConsole(HWND dialog, HWND portBox, HWND resultBox)
        : dialog_(dialog), portBox_(portBox), resultBox_(resultBox) {}

    void setResultText(const wchar_t* text) override;
    void showMessage(const wchar_t* text, const wchar_t* caption) override;
    int portTextLength() override;
    void getPortText(wchar_t* buffer, int capacity) override;
    void setPortText(const wchar_t* text) override;
    void addPortEntry(const wchar_t* text) override;
    void postQuit(int exitCode) override;

private:
    HWND dialog_;
    HWND portBox_;
    HWND resultBox_;
};

// The dialog procedure of template 101.
INT_PTR CALLBACK testDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
