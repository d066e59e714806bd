// The module instance, the allocation-failure handler and the message loop.
#include "app/startup.h"

#include <new>

// The program module; set once by WinMain before the dialog exists.
HINSTANCE ModuleInstance = nullptr;

namespace {

// Installed as the new-handler: never returns, so operator new either succeeds or throws.
void onAllocationFailure() {
    throw WinException(GetLastError(), L"Out of memory");
}

} // namespace

void installAllocationFailureHandler() {
    std::set_new_handler(onAllocationFailure);
}

int runMessageLoop(HWND dialog) {
    MSG msg;
    for (;;) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            return static_cast<int>(msg.wParam);
        }
        if (got == -1) {
            return -1;
        }
        // Tab, the arrow keys, Enter and Escape reach the dialog manager only this way.
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}
