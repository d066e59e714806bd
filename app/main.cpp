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
        // Read before any other call can replace it.
        DWORD error = GetLastError();
        // A dialog that fails after its window exists is destroyed inside CreateDialogParamW,
        // and its destroy handling posts the quit message: left queued, that message would end
        // the box's own message loop at once, before the technician could read it.
        MSG quit;
        PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
        wchar_t text[100];
        wsprintfW(text, L"Error x%x", error);
        MessageBoxW(nullptr, text, L"CreateDialog", MB_OK | MB_ICONWARNING);
        return 1;
    }
    return runMessageLoop(dialog);
}
