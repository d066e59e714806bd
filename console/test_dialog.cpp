// The test dialog's procedure: initialisation, the Test, Clear and Exit commands, close, destroy.
#include "console/test_dialog.h"

#include "app/resource.h"
#include "app/startup.h"
#include "discovery/port_discovery.h"
#include "display/test_run.h"
#include "serial/win32_serial_link.h"

#include <memory>

// The dialog's record, from initialisation until the window is destroyed and the record freed.
TestDialogState* DialogState = nullptr;

namespace {

// The console of this dialog: on the record's handles, or looked up when there is no record.
DialogConsole consoleFor(HWND dialog) {
    if (DialogState != nullptr) {
        return DialogConsole(dialog, DialogState->portBox, DialogState->resultBox);
    }
    return DialogConsole(dialog, GetDlgItem(dialog, IDC_PORT), GetDlgItem(dialog, IDC_RESULT));
}

INT_PTR initialise(HWND dialog) {
    try {
        std::unique_ptr<TestDialogState> state(new TestDialogState{});
        state->portBox = GetDlgItem(dialog, IDC_PORT);
        state->resultBox = GetDlgItem(dialog, IDC_RESULT);
        state->testButton = GetDlgItem(dialog, IDC_TEST);
        state->exitButton = GetDlgItem(dialog, IDC_EXIT);
        state->clearButton = GetDlgItem(dialog, IDC_CLEAR);

        HICON icon = LoadIconW(ModuleInstance, MAKEINTRESOURCEW(IDI_PROGRAM));
        SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

        state->devicePath.reset();
        state->lineSettings.baud = 0;
        state->lineSettings.handshake = 1;
        state->lineSettings.stopBits = 0;

        DialogConsole console(dialog, state->portBox, state->resultBox);
        console.setResultText(L"Ready");
        discoverPorts(console);

        INT_PTR result = TRUE; // the window system focuses the port box
        if (console.portTextLength() != 0) {
            SetFocus(state->testButton);
            result = FALSE;
        }
        DialogState = state.release();
        return result;
    } catch (const WinException& e) {
        MessageBoxW(nullptr, e.message(), L"Exception", MB_OK | MB_ICONWARNING);
        return TRUE;
    } catch (...) {
        MessageBoxW(nullptr, L"Unknown", L"Exception", MB_OK | MB_ICONWARNING);
        return -1;
    }
}

// The release, then the quit message; the window stays until the process ends.
void exitCommand(HWND dialog) {
    TestDialogState* state = DialogState;
    if (state == nullptr) {
        // No test can have run without a record, so the release only posts the quit.
        DevicePath path;
        path.reset();
        DialogConsole console = consoleFor(dialog);
        Win32SerialLink link;
        releaseDisplay(path, console, link);
        return;
    }
    if (state->testRunning) {
        // The run is suspended in a message box and holds the port: finish it first.
        state->exitPending = true;
        return;
    }
    if (state->released) {
        return; // a close that follows Exit must not open the port a second time
    }
    state->released = true;
    DialogConsole console = consoleFor(dialog);
    Win32SerialLink link;
    releaseDisplay(state->devicePath, console, link);
}

void closeDialog(HWND dialog) {
    if (DialogState != nullptr && DialogState->testRunning) {
        // Destroying now would free the record and the controls under the suspended run.
        DialogState->closePending = true;
        return;
    }
    // Destruction runs the release, which reads the port box through the record: free it after.
    DestroyWindow(dialog);
    delete DialogState;
    DialogState = nullptr;
}

void testCommand(HWND dialog) {
    TestDialogState* state = DialogState;
    if (state == nullptr || state->testRunning) {
        // No record to test with; or a run is suspended in a box and must not be nested.
        return;
    }
    state->testRunning = true;
    DialogConsole console = consoleFor(dialog);
    console.setResultText(L"");
    DisplayAnswered = false;
    EnableWindow(state->testButton, FALSE);
    EnableWindow(state->portBox, FALSE);
    if (takePortName(console, state->devicePath)) {
        console.showMessage(state->devicePath.name(), L"COM port name truncated to:");
        console.setResultText(L"COM port name truncated");
    }
    Win32SerialLink link;
    runTest(state->devicePath, state->lineSettings, console, link);
    EnableWindow(state->portBox, TRUE);
    EnableWindow(state->testButton, TRUE);
    SetFocus(GetDlgItem(dialog, IDC_CLEAR));
    state->testRunning = false;

    if (state->closePending) {
        closeDialog(dialog);
    } else if (state->exitPending) {
        exitCommand(dialog);
    }
}

void clearCommand(HWND dialog) {
    consoleFor(dialog).setResultText(L"Ready");
    SetFocus(GetDlgItem(dialog, IDC_TEST));
}

} // namespace

INT_PTR CALLBACK testDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return initialise(dialog);
    case WM_COMMAND:
        // Only clicks act; Escape (IDCANCEL) and Enter (IDOK) come here too and change nothing.
        if (HIWORD(wParam) == BN_CLICKED) {
            switch (LOWORD(wParam)) {
            case IDC_TEST:
                testCommand(dialog);
                break;
            case IDC_CLEAR:
                clearCommand(dialog);
                break;
            case IDC_EXIT:
                exitCommand(dialog);
                break;
            }
        }
        return TRUE;
    case WM_CLOSE:
        closeDialog(dialog);
        return TRUE;
    case WM_DESTROY: {
        // A dialog whose creation fails is destroyed inside CreateDialogParamW, whose caller
        // then reads the last error to say why; the release's calls (looking up controls that
        // were never made, opening a port) may set it, so it is put back.
        DWORD creationError = GetLastError();
        exitCommand(dialog);
        SetLastError(creationError);
        return TRUE;
    }
    }
    return FALSE;
}
