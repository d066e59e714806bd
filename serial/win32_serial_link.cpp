// The SerialLink operations over CreateFileW, the comm-state and time-out calls, ReadFile and
// WriteFile.
#include "serial/win32_serial_link.h"

#include <algorithm>

const Win32CommApi kSystemCommApi = {
    CreateFileW, GetCommState, SetCommState, SetCommTimeouts, GetCommModemStatus,
    WriteFile,   ReadFile,     CloseHandle,  Sleep,
};

namespace {

DWORD baudFor(uint8_t selector) {
    switch (selector) {
    case 1:
        return CBR_19200;
    case 2:
        return CBR_9600;
    case 3:
        return CBR_115200;
    default:
        return CBR_38400;
    }
}

} // namespace

bool Win32SerialLink::open(const DevicePath& path) {
    // One port at a time: a second open must not lose the handle of the first.
    if (isOpen()) {
        return false;
    }
    const wchar_t* end = path.units + kDevicePathUnits;
    if (std::find(path.units, end, L'\0') == end) {
        return false; // no terminator: the name would run past the buffer
    }
    // The path carries the "\\.\" prefix, without which COM10 and above are not found.
    // Share mode 0: no other program may open the port while a test or release holds it.
    // No flags: synchronous I/O, so each ReadFile and WriteFile completes before it returns.
    HANDLE port = api_->createFile(path.units, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return false;
    }
    port_ = port;
    settingsRead_ = false;
    return true;
}

bool Win32SerialLink::readSettings() {
    if (!isOpen()) {
        return false;
    }
    // DCBlength is left 0 by the zero-fill: GetCommState fills the whole record regardless,
    // and the saved copy is then put back exactly as the port reported it.
    ZeroMemory(&working_, sizeof working_);
    ZeroMemory(&saved_, sizeof saved_);
    settingsRead_ = false;
    if (!api_->getCommState(port_, &working_)) {
        return false;
    }
    saved_ = working_;
    settingsRead_ = true;
    return true;
}

bool Win32SerialLink::applyWorking(DWORD baudRate, BYTE stopBits, bool ctsFlow, bool dsrFlow) {
    // Without the port's own record the other fields would be zeros, not what it reported.
    if (!isOpen() || !settingsRead_) {
        return false;
    }
    working_.BaudRate = baudRate;
    working_.ByteSize = 8;
    working_.Parity = NOPARITY;
    working_.StopBits = stopBits;
    working_.fOutxCtsFlow = ctsFlow ? 1 : 0;
    working_.fOutxDsrFlow = dsrFlow ? 1 : 0;
    working_.fDtrControl = DTR_CONTROL_ENABLE;
    working_.fRtsControl = RTS_CONTROL_ENABLE;
    working_.fParity = 0;
    working_.fDsrSensitivity = 0;
    working_.fOutX = 0;
    working_.fInX = 0;
    return api_->setCommState(port_, &working_) != FALSE;
}

bool Win32SerialLink::applyTestSettings(const LineSettings& settings) {
    return applyWorking(baudFor(settings.baud), settings.stopBits == 1 ? TWOSTOPBITS : ONESTOPBIT,
                        settings.handshake == 1, settings.handshake == 2);
}

bool Win32SerialLink::applyReleaseSettings() {
    return applyWorking(CBR_38400, ONESTOPBIT, false, false);
}

bool Win32SerialLink::applyTimeouts(uint32_t writeConstantMs) {
    if (!isOpen()) {
        return false;
    }
    // MAXDWORD interval with zero read multiplier and constant: ReadFile returns at once with
    // whatever has arrived, possibly nothing; the callers' pauses do the waiting.
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 2, writeConstantMs};
    return api_->setCommTimeouts(port_, &timeouts) != FALSE;
}

bool Win32SerialLink::applyWaitingTimeouts(uint32_t waitMs, uint32_t writeConstantMs) {
    if (!isOpen()) {
        return false;
    }
    // MAXDWORD interval and multiplier with a constant: ReadFile returns at once with what has
    // arrived, else as soon as a byte arrives, else empty after waitMs; no spinning while idle.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, waitMs, 0, writeConstantMs};
    return api_->setCommTimeouts(port_, &timeouts) != FALSE;
}

bool Win32SerialLink::currentSettings(DCB& settings) const {
    // A copy: the saved record stays what the port reported when it was opened.
    ZeroMemory(&settings, sizeof settings);
    return isOpen() && api_->getCommState(port_, &settings) != FALSE;
}

bool Win32SerialLink::modemStatus(DWORD& lines) const {
    lines = 0;
    return isOpen() && api_->getCommModemStatus(port_, &lines) != FALSE;
}

bool Win32SerialLink::write(const uint8_t* bytes, uint32_t n, uint32_t* written) {
    DWORD count = 0;
    bool ok = isOpen() && api_->writeFile(port_, bytes, n, &count, nullptr) != FALSE;
    if (written != nullptr) {
        *written = count;
    }
    return ok;
}

bool Win32SerialLink::readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) {
    DWORD count = 0;
    bool ok = isOpen() && api_->readFile(port_, buffer, max, &count, nullptr) != FALSE;
    if (read != nullptr) {
        *read = count;
    }
    return ok;
}

void Win32SerialLink::restoreSettings() {
    // Only what this open's port reported may go back; a zeroed record would wreck it.
    if (!isOpen() || !settingsRead_) {
        return;
    }
    DCB saved = saved_;
    api_->setCommState(port_, &saved);
}

void Win32SerialLink::close() {
    if (!isOpen()) {
        return;
    }
    api_->closeHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
    settingsRead_ = false;
}

void Win32SerialLink::pause(uint32_t ms) {
    api_->sleep(ms);
}
