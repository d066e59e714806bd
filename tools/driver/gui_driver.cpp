// The GUI driver: process control, window texts and clicks, message boxes, bitmap capture,
// registry.
#include "tools/driver/gui_driver.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace driver {

namespace {

// Plain waits, not SMTO_ABORTIFHUNG: a window that has just come out of a long test run still
// counts as hung for a moment, and its answer would be taken for none.
constexpr UINT kMessageTimeoutMs = 5000;

std::wstring className(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

BOOL CALLBACK addWindow(HWND window, LPARAM windows) {
    reinterpret_cast<std::vector<HWND>*>(windows)->push_back(window);
    return TRUE;
}

BOOL CALLBACK firstLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
    *reinterpret_cast<WORD*>(found) = language;
    return FALSE;
}

// Writes or deletes one string value in one registry view.
bool setValue(const wchar_t* keyName, const wchar_t* name, const std::wstring& data, DWORD options,
              REGSAM view) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, options, KEY_SET_VALUE | view,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG result;
    if (data.empty()) {
        result = RegDeleteValueW(key, name);
        if (result == ERROR_FILE_NOT_FOUND) {
            result = ERROR_SUCCESS;
        }
    } else {
        result = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

} // namespace

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring windowsPath(const std::string& path) {
    std::wstring windows = wide(path);
    if (windows.empty() || windows[0] != L'/') {
        return windows;
    }
    std::replace(windows.begin(), windows.end(), L'/', L'\\');
    return L"Z:" + windows;
}

bool writeFile(const std::wstring& path, const void* data, size_t size) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    bool written = fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && written;
}

bool waitUntil(const std::function<bool()>& ready, DWORD timeoutMs, DWORD pollMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (ready()) {
            return true;
        }
        if (GetTickCount() - start >= timeoutMs) {
            return false;
        }
        Sleep(pollMs);
    }
}

AppProcess::~AppProcess() {
    if (info_.hProcess != nullptr) {
        if (running()) {
            TerminateProcess(info_.hProcess, 99);
            WaitForSingleObject(info_.hProcess, 5000);
        }
        CloseHandle(info_.hProcess);
        CloseHandle(info_.hThread);
    }
}

bool AppProcess::start(const std::wstring& exePath, const std::wstring& arguments,
                       const std::wstring& output) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!output.empty()) {
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        // Shared, so that the output can be read while the program writes it.
        file = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           &inherited, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = file;
        startup.hStdError = file;
    }
    std::wstring commandLine =
        L"\"" + exePath + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    bool started =
        CreateProcessW(exePath.c_str(), &commandLine[0], nullptr, nullptr,
                       file != INVALID_HANDLE_VALUE, output.empty() ? 0 : CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &info_) != 0;
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    if (!started) {
        info_ = {};
        return false;
    }
    threadId_ = info_.dwThreadId;
    return true;
}

HWND AppProcess::waitForDialog(DWORD timeoutMs) {
    HWND found = nullptr;
    // A dialog of an earlier run may still be on its way out: only this process's counts.
    bool complete = waitUntil(
        [&] {
            found = findDialog(kDialogCaption);
            return found != nullptr && GetDlgItem(found, kTestButton) &&
                   GetDlgItem(found, kExitButton) && GetDlgItem(found, kClearButton) &&
                   GetDlgItem(found, kResultBox) && GetDlgItem(found, kPortBox);
        },
        timeoutMs);
    dialog_ = complete ? found : nullptr;
    return dialog_;
}

HWND AppProcess::findDialog(const wchar_t* caption) const {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"#32770", caption)) != nullptr) {
        if (GetWindowThreadProcessId(window, nullptr) == threadId_ && IsWindowVisible(window)) {
            return window;
        }
    }
    return nullptr;
}

HWND AppProcess::waitForMessageBox(const std::wstring& caption, DWORD timeoutMs) {
    HWND found = nullptr;
    waitUntil(
        [&] {
            for (HWND box : openMessageBoxes()) {
                if (text(box) == caption) {
                    found = box;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::vector<HWND> AppProcess::openMessageBoxes() const {
    std::vector<HWND> windows;
    EnumThreadWindows(threadId_, addWindow, reinterpret_cast<LPARAM>(&windows));
    std::vector<HWND> boxes;
    for (HWND window : windows) {
        if (window != dialog_ && IsWindowVisible(window) && className(window) == L"#32770") {
            boxes.push_back(window);
        }
    }
    return boxes;
}

HWND AppProcess::openMessageBox() const {
    std::vector<HWND> boxes = openMessageBoxes();
    return boxes.empty() ? nullptr : boxes.front();
}

HWND AppProcess::focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(threadId_, &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

DWORD AppProcess::waitForExit(DWORD timeoutMs) {
    if (WaitForSingleObject(info_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return STILL_ACTIVE;
    }
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(info_.hProcess, &code);
    return code;
}

bool AppProcess::running() const {
    return info_.hProcess != nullptr && WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT;
}

std::wstring text(HWND window) {
    wchar_t buffer[1024] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                             SMTO_NORMAL, kMessageTimeoutMs, &copied)) {
        return L"<no answer>";
    }
    return std::wstring(buffer, copied);
}

void setText(HWND window, const std::wstring& text) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_NORMAL,
                        kMessageTimeoutMs, &result);
}

void click(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

void pressKey(HWND focused, UINT virtualKey) {
    UINT scan = MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC);
    PostMessageW(focused, WM_KEYDOWN, virtualKey, 1 | (scan << 16));
    PostMessageW(focused, WM_KEYUP, virtualKey, 1 | (scan << 16) | 0xC0000000u);
}

void requestClose(HWND window, bool fromCloseBox) {
    if (fromCloseBox) {
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else {
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
}

std::string focusName(HWND dialog, HWND focus) {
    if (focus == nullptr) {
        return "none";
    }
    HWND port = GetDlgItem(dialog, kPortBox);
    if (focus == port || GetParent(focus) == port) {
        return "port";
    }
    for (auto [id, name] : {std::pair<int, const char*>{kTestButton, "Test"},
                            {kExitButton, "Exit"},
                            {kClearButton, "Clear"},
                            {kResultBox, "result"}}) {
        if (focus == GetDlgItem(dialog, id)) {
            return name;
        }
    }
    return "other";
}

MessageBoxInfo describeMessageBox(HWND box) {
    MessageBoxInfo info;
    info.box = box;
    info.owner = GetWindow(box, GW_OWNER);
    info.caption = text(box);
    // The box's text is the static control 0xFFFF, in Windows and in Wine alike.
    info.text = text(GetDlgItem(box, 0xFFFF));
    for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        std::wstring kind = className(child);
        if (kind == L"Button" && IsWindowVisible(child)) {
            ++info.buttonCount;
        }
        if (kind == L"Static" && GetDlgCtrlID(child) != 0xFFFF) {
            DWORD_PTR icon = 0;
            SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_NORMAL, kMessageTimeoutMs, &icon);
            info.hasIcon = info.hasIcon || icon != 0;
        }
    }
    return info;
}

void dismiss(HWND box) {
    click(GetDlgItem(box, IDOK));
}

std::vector<std::wstring> comboEntries(HWND combo) {
    std::vector<std::wstring> entries;
    DWORD_PTR count = 0;
    SendMessageTimeoutW(combo, CB_GETCOUNT, 0, 0, SMTO_NORMAL, kMessageTimeoutMs, &count);
    // CB_ERR, -1, is no count.
    for (LONG_PTR i = 0; i < static_cast<LONG_PTR>(count); ++i) {
        wchar_t entry[256] = {};
        DWORD_PTR length = 0;
        SendMessageTimeoutW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry), SMTO_NORMAL,
                            kMessageTimeoutMs, &length);
        entries.emplace_back(entry);
    }
    return entries;
}

bool copyWithResource(const std::wstring& exePath, const std::wstring& copyPath, LPCWSTR type,
                      WORD id, const std::vector<BYTE>& data) {
    HMODULE original = LoadLibraryExW(exePath.c_str(), nullptr,
                                      LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (original == nullptr) {
        return false;
    }
    // A resource added in another language would sit beside the original, which might win.
    constexpr WORD kNone = 0xFFFF;
    WORD language = kNone;
    EnumResourceLanguagesW(original, type, MAKEINTRESOURCEW(id), firstLanguage,
                           reinterpret_cast<LONG_PTR>(&language));
    FreeLibrary(original);
    if (language == kNone || !CopyFileW(exePath.c_str(), copyPath.c_str(), FALSE)) {
        return false;
    }
    HANDLE update = BeginUpdateResourceW(copyPath.c_str(), FALSE);
    if (update == nullptr) {
        return false;
    }
    if (!UpdateResourceW(update, type, MAKEINTRESOURCEW(id), language,
                         const_cast<BYTE*>(data.data()), static_cast<DWORD>(data.size()))) {
        EndUpdateResourceW(update, TRUE);
        return false;
    }
    return EndUpdateResourceW(update, FALSE) != 0;
}

bool saveWindowBitmap(HWND window, const std::wstring& path) {
    RECT rect;
    if (!GetWindowRect(window, &rect)) {
        return false;
    }
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    // A bottom-up 24-bit DIB is a BMP file's pixel array as it stands, rows padded to 4 bytes.
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = height;
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    header.biSizeImage = static_cast<DWORD>(((width * 3 + 3) & ~3) * height);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header),
                                      DIB_RGB_COLORS, &bits, nullptr, 0);
    std::vector<uint8_t> file;
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY)) {
            GdiFlush();
            BITMAPFILEHEADER head{};
            head.bfType = 0x4D42; // "BM"
            head.bfOffBits = sizeof head + sizeof header;
            head.bfSize = head.bfOffBits + header.biSizeImage;
            auto append = [&file](const void* data, size_t size) {
                const uint8_t* first = static_cast<const uint8_t*>(data);
                file.insert(file.end(), first, first + size);
            };
            append(&head, sizeof head);
            append(&header, sizeof header);
            append(bits, header.biSizeImage);
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return !file.empty() && writeFile(path, file.data(), file.size());
}

bool setConfiguredPort(const std::wstring& port, REGSAM view) {
    return setValue(kOposKey, L"Port", port, REG_OPTION_NON_VOLATILE, view);
}

bool setSerialMapEntry(const std::wstring& device, const std::wstring& port) {
    // The map is volatile: it lives only as long as the wineserver.
    // HKLM\HARDWARE has one view for all programs.
    return setValue(kSerialMapKey, device.c_str(), port, REG_OPTION_VOLATILE, kProgramView);
}

bool clearSerialMap() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialMapKey, 0,
                      KEY_QUERY_VALUE | KEY_SET_VALUE | kProgramView, &key) != ERROR_SUCCESS) {
        return true; // no map: nothing listed
    }
    bool cleared = true;
    for (;;) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        if (RegDeleteValueW(key, name) != ERROR_SUCCESS) {
            cleared = false;
            break;
        }
    }
    RegCloseKey(key);
    return cleared;
}

} // namespace driver
