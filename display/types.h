// The values the display test shares with the dialog: port path, line-setting selectors, limits.
#pragma once

#include <cstddef>
#include <cstdint>

// "\\.\" lets every port name, COM10 and above included, reach the device namespace.
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";
constexpr size_t kDevicePrefixUnits = 4;
constexpr size_t kPortNameMaxUnits = 16;
constexpr size_t kDevicePathUnits = 32;

// The Win32 device name of the port: the prefix, the port name, a terminating NUL.
struct DevicePath {
    wchar_t units[kDevicePathUnits];

    // Zero-filled and given its prefix, as the dialog sets it up.
    void reset();
    // The port name after the prefix.
    wchar_t* name() { return units + kDevicePrefixUnits; }
    const wchar_t* name() const { return units + kDevicePrefixUnits; }
};

// Selectors of the test line settings; their meaning is the serial link's.
struct LineSettings {
    uint8_t baud = 0;      // 1: 19200, 2: 9600, 3: 115200, other: 38400
    uint8_t stopBits = 0;  // 1: two stop bits, other: one
    uint8_t handshake = 1; // 1: CTS output flow, 2: DSR output flow, other: none
};

constexpr size_t kReplyBufferSize = 4096;
constexpr size_t kTestReportUnits = 256;
