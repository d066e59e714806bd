// The serial link over the Win32 communications functions.
#pragma once

#include "display/serial_link.h"
#include "serial/win32_comm_api.h"

#include <windows.h>

class Win32SerialLink : public SerialLink {
  public:
    Win32SerialLink() = default;
    // For tests: the same link over other implementations of the communications functions.
    explicit Win32SerialLink(const Win32CommApi& api) : api_(&api) {}
    Win32SerialLink(const Win32SerialLink&) = delete;
    Win32SerialLink& operator=(const Win32SerialLink&) = delete;
    // A link dropped while open still lets go of its port.
    ~Win32SerialLink() override { close(); }

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

    // Beyond the utility's operations, for the display stand-in:
    // Makes each read wait up to waitMs for its first byte; bounds each write by writeConstantMs.
    bool applyWaitingTimeouts(uint32_t waitMs, uint32_t writeConstantMs);
    // The settings the port reports now, into settings.
    bool currentSettings(DCB& settings) const;
    // The modem lines (MS_CTS_ON, MS_DSR_ON, ...); false where the port has none to report.
    bool modemStatus(DWORD& lines) const;

  private:
    bool isOpen() const { return port_ != INVALID_HANDLE_VALUE; }
    // Applies the working record once it holds the port's own settings.
    bool applyWorking(DWORD baudRate, BYTE stopBits, bool ctsFlow, bool dsrFlow);

    const Win32CommApi* api_ = &kSystemCommApi;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    DCB working_{};
    DCB saved_{};
    bool settingsRead_ = false; // working_ and saved_ hold what this open's port reported
};
