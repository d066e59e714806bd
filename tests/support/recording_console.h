// The one recording ConsoleOperations: a port box whose text a test sets, and every call logged.
#pragma once

#include "display/console_operations.h"
#include "tests/support/call_log.h"

#include <functional>
#include <string>
#include <vector>

// Lines: "setResultText TEXT", "showMessage TEXT | CAPTION", "portTextLength -> 4",
// "getPortText 5", "setPortText TEXT", "addPortEntry TEXT", "postQuit 0"; texts through narrow().
class RecordingConsole : public ConsoleOperations {
  public:
    explicit RecordingConsole(CallLog& log) : log_(log) {}

    struct Message {
        std::wstring text;
        std::wstring caption;
    };

    // What the port box holds; getPortText hands it out, setPortText replaces it.
    std::wstring portText;
    // The result box's text, whole.
    std::wstring resultText;
    // Every box shown, whole, in order.
    std::vector<Message> messages;
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
