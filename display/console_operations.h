// What the display test and port discovery ask of the window, one operation per entry.
#pragma once

class ConsoleOperations {
public:
    virtual ~ConsoleOperations() = default;

    // Replaces the result box's text.
    virtual void setResultText(const wchar_t* text) = 0;
    // Shows a box owned by the dialog with only OK and no icon; returns once it is dismissed.
    virtual void showMessage(const wchar_t* text, const wchar_t* caption) = 0;
    // The number of characters in the port box's edit field.
    virtual int portTextLength() = 0;
    // The port box's text cut to capacity - 1 characters, terminated, into buffer.
    virtual void getPortText(wchar_t* buffer, int capacity) = 0;
    // Replaces the port box's edit text.
    virtual void setPortText(const wchar_t* text) = 0;
    // Adds an entry to the port box's sorted list.
    virtual void addPortEntry(const wchar_t* text) = 0;
    // Asks the message loop to end with exitCode.
    virtual void postQuit(int exitCode) = 0;
};
