// A recording ConsoleOperations with a port box whose text a test sets.
#pragma once

#include "display/console_operations.h"
#include "tests/fakes/call_log.h"

#include <functional>
#include <string>

class FakeConsole : public ConsoleOperations {
public:
    explicit FakeConsole(CallLog& log) : log_(log) {}

    std::wstring portText;
    std::wstring resultText;
    // Called while a message box would be open, before showMessage returns.
    std::function<void()> whileBoxOpen;

    void setResultText(const wchar_t* text) override;
    void showMessage(const wchar_t* text, const wchar_t* caption) override;
    int portTextLength() override;
    void getPortText(wchar_t* buffer, int capacity) override;
    void setPortText(const wchar_t* text) override;
    void addPortEntry(const wchar_t* text) override;
    void postQuit(int exitCode) override;

private:
    CallLog& log_;
};
