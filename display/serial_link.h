// The operations the display test needs of a serial port, one per entry.
#pragma once

#include "display/types.h"

#include <cstdint>

class SerialLink {
public:
    virtual ~SerialLink() = default;

    // Opens the port for reading and writing, exclusively; false when it can't be opened.
    virtual bool open(const DevicePath& path) = 0;
    // Reads the port's current line settings and keeps them as the saved settings.
    virtual bool readSettings() = 0;
    // Applies the test line settings that the selectors choose.
    virtual bool applyTestSettings(const LineSettings& settings) = 0;
    // Applies the fixed release settings: 38400 baud, 8N1, no handshake.
    virtual bool applyReleaseSettings() = 0;
    // Makes reads return at once; bounds each write by 2 ms per byte plus writeConstantMs.
    virtual bool applyTimeouts(uint32_t writeConstantMs) = 0;
    // Writes n bytes; *written receives the count actually written.
    virtual bool write(const uint8_t* bytes, uint32_t n, uint32_t* written) = 0;
    // Reads what has arrived, at most max bytes, without waiting; *read may be 0.
    virtual bool readAvailable(uint8_t* buffer, uint32_t max, uint32_t* read) = 0;
    // Puts the saved settings back; the result is not looked at.
    virtual void restoreSettings() = 0;
    // Closes the port; the result is not looked at.
    virtual void close() = 0;
    // Waits ms milliseconds; every pause of the display test goes through here.
    virtual void pause(uint32_t ms) = 0;
};
