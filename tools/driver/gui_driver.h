// Drives LineDisplayTest.exe from another Win32 process under the same window system: start it,
// find its dialog and message boxes, read and set texts, press buttons and keys, read focus and
// the exit code, capture the dialog as a bitmap, and set the registry values it reads.
#pragma once

// narrow(): wide texts as the tests and tools print and compare them.
#include "tests/support/call_log.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace driver {

constexpr wchar_t kDialogCaption[] = L"Velmar qz71 LineDisplay Test";

// The dialog's controls, stated here for every program that drives it and not taken from the
// program's own resource.h: a changed id must fail the end-to-end tests.
constexpr int kTestButton = 1001;
constexpr int kExitButton = 1002;
constexpr int kClearButton = 1003;
constexpr int kResultBox = 1004;
constexpr int kPortBox = 1005;

// The environment variable's value; empty when unset.
std::string environment(const char* name);

// An ASCII text, as ports and paths are, widened.
std::wstring wide(const std::string& text);

// "/unix/path" as Wine's Z: drive sees it; other paths unchanged.
std::wstring windowsPath(const std::string& path);

// Writes size bytes at data to path, replacing it; false on failure.
bool writeFile(const std::wstring& path, const void* data, size_t size);

// Polls every pollMs until ready() holds or timeoutMs passes; true when it held.
bool waitUntil(const std::function<bool()>& ready, DWORD timeoutMs, DWORD pollMs = 20);

// A message box as the operator sees it.
struct MessageBoxInfo {
    HWND box = nullptr;
    HWND owner = nullptr;
    std::wstring caption;
    std::wstring text;
    bool hasIcon = false;
    int buttonCount = 0;
};

class AppProcess {
  public:
    AppProcess() = default;
    AppProcess(const AppProcess&) = delete;
    AppProcess& operator=(const AppProcess&) = delete;
    // Ends a process a failed test left behind, so no test leaks a window into the next.
    ~AppProcess();

    // arguments: words the program ignores, e.g. a token by which its Linux process is found,
    // or a console program's own. output: a file for its standard output and error (a console
    // program then gets no window); none, they stay as they are.
    bool start(const std::wstring& exePath, const std::wstring& arguments = L"",
               const std::wstring& output = L"");
    // The dialog once it is visible and its five controls exist; nullptr on time-out. The
    // first start in a fresh prefix can take several seconds.
    HWND waitForDialog(DWORD timeoutMs = 30000);
    HWND dialog() const { return dialog_; }
    // Its visible top-level dialog with that caption, whatever its controls; nullptr if none.
    HWND findDialog(const wchar_t* caption) const;
    HWND control(int id) const { return GetDlgItem(dialog_, id); }
    HANDLE process() const { return info_.hProcess; }

    // The visible message box with that caption among the program's windows; nullptr on
    // time-out.
    HWND waitForMessageBox(const std::wstring& caption, DWORD timeoutMs = 10000);
    // The message boxes open now (top-level #32770 windows other than the dialog).
    std::vector<HWND> openMessageBoxes() const;
    // The first of them; nullptr if none.
    HWND openMessageBox() const;
    int openMessageBoxCount() const { return static_cast<int>(openMessageBoxes().size()); }
    // The window that has the keyboard focus in the program's thread.
    HWND focus() const;

    // The exit code once the process has ended; STILL_ACTIVE on time-out.
    DWORD waitForExit(DWORD timeoutMs = 10000);
    bool running() const;

  private:
    PROCESS_INFORMATION info_{};
    DWORD threadId_ = 0;
    HWND dialog_ = nullptr;
};

std::wstring text(HWND window);
void setText(HWND window, const std::wstring& text);
// Posts the click: a sent one would block for as long as the program shows a message box.
void click(HWND button);
// Posts a key press to the focused window of the program, through its message loop.
void pressKey(HWND focused, UINT virtualKey);
// Posts a close request, as the close box (SC_CLOSE) or any other program (WM_CLOSE) would.
void requestClose(HWND window, bool fromCloseBox);

// The dialog's control that has the focus, by name: "Test", "Exit", "Clear", "result",
// "port" (the port box's focus is its edit field), "none" or "other".
std::string focusName(HWND dialog, HWND focus);

MessageBoxInfo describeMessageBox(HWND box);
// Presses the box's OK button.
void dismiss(HWND box);

// The entries of a combo box's list, in list order.
std::vector<std::wstring> comboEntries(HWND combo);

// Copies the exe to copyPath and replaces one resource of the copy, in the language the
// original holds it in, with data; false on failure.
bool copyWithResource(const std::wstring& exePath, const std::wstring& copyPath, LPCWSTR type,
                      WORD id, const std::vector<BYTE>& data);

// Saves what the screen shows of the window as a 24-bit BMP (ImageMagick's convert makes a
// PNG of it); false on failure.
bool saveWindowBitmap(HWND window, const std::wstring& path);

// The registry view of HKLM\SOFTWARE that the program under test reads: it opens its keys with
// no view flag, so the 32-bit program reads the 32-bit view and its 64-bit build the 64-bit
// one. The tests are built for the same target as the program they drive.
constexpr REGSAM kProgramView = sizeof(void*) == 8 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
constexpr REGSAM kOtherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;

// The OPOS line display's key and the system's serial-port map, stated apart from the program's
// own: a changed key must fail the tests.
constexpr wchar_t kOposKey[] =
    L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\LineDisplay\\Velmarqz71LineDisplay";
constexpr wchar_t kSerialMapKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Its "Port" value, by default in the view the program reads; an empty name
// deletes the value.
bool setConfiguredPort(const std::wstring& port, REGSAM view = kProgramView);
// Adds (or with an empty port removes) a value of the system's serial-port map.
bool setSerialMapEntry(const std::wstring& device, const std::wstring& port);
// Removes every value of the serial-port map, so a test decides exactly what it lists.
bool clearSerialMap();

} // namespace driver
