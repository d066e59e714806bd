// WinMain: keeps the module, installs the new-handler, creates the test dialog, runs the loop.
#include "app/resource.h"
#include "app/startup.h"
#include "console/test_dialog.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    ModuleInstance = instance;
    installAllocationFailureHandler();

    // The template's visible style shows the dialog; the show command is not needed.
    HWND dialog =
        CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_TEST_DIALOG), nullptr, testDialogProc, 0);
    if (dialog == nullptr) {
        wchar_t text[100];
        wsprintfW(text, L"Error x%x", GetLastError());
        MessageBoxW(nullptr, text, L"CreateDialog", MB_OK | MB_ICONWARNING);
        return 1;
    }
    return runMessageLoop(dialog);
}
