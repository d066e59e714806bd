// The serial link over the Win32 communications functions.
#pragma once

#include "display/serial_link.h"

#include <windows.h>

class Win32SerialLink : public SerialLink {
public:
    Win32SerialLink() = default;
    Win32SerialLink(const Win32SerialLink&) = delete;
    Win32SerialLink& operator=(const Win32SerialLink&) = delete;

    bool open(const DevicePath& path) override;
    bool readSettings() override;
    bool applyTestSettings(const LineSettings& settings) override;
    bool applyReleaseSettings() override;
    bool applyTimeouts(uint32_t writeConstantMs) override;
    bool write(const uint8_t* bytes, uint32_t n, uint32_t* written) override;
    bool readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) override;
    void restoreSettings() override;
    void close() override;
    void pause(uint32_t ms) override;

private:
    HANDLE port_ = INVALID_HANDLE_VALUE;
    DCB working_{};
    DCB saved_{};
};
