// Start-up's shared pieces: WinException, the module instance, the new-handler, the message loop.
#pragma once

#include <windows.h>

class WinException {
public:
    // The message must outlive the exception: it is always a string literal, so that
    // throwing never allocates.
    WinException(DWORD code, const wchar_t* message) : code_(code), message_(message) {}
    DWORD code() const { return code_; }
    const wchar_t* message() const { return message_; }

private:
    DWORD code_;
    const wchar_t* message_;
};

// The program module, kept by start-up; the dialog loads its window icon from it.
extern HINSTANCE ModuleInstance;

// Makes every failed allocation throw WinException "Out of memory" instead of returning.
void installAllocationFailureHandler();

// Pumps messages, offering each to the dialog's keyboard handling first, until the quit
// message; returns the exit code it carries, or -1 when retrieving a message failed.
int runMessageLoop(HWND dialog);
