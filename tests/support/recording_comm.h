// The one recording table of the Win32 communications functions: a serial link built over it
// records each call as a readable line and gets the outcomes a test scripts. Windows only.
#pragma once

#include "serial/win32_comm_api.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// The handle the recorded CreateFileW hands out; any other handle given back is a failure.
extern HANDLE const kRecordedPort;

// What the recorded functions were asked and what they answer; one per test.
struct RecordingComm {
    std::vector<std::string> calls;
    HANDLE openResult = kRecordedPort;
    DWORD openError = ERROR_FILE_NOT_FOUND; // the last error when openResult is invalid
    BOOL getResult = TRUE;
    BOOL setResult = TRUE;
    BOOL modemResult = TRUE;
    DWORD modemLines = 0;
    BOOL ioResult = TRUE;
    DWORD ioCount = 0;
    bool writeWhole = false;             // writes report every byte written, not ioCount
    DWORD failError = ERROR_GEN_FAILURE; // the last error of any other call that fails
    DCB reported{};                      // what GetCommState hands out
    DCB receivedByGet{};                 // the record GetCommState was given
    std::vector<DCB> setRecords;
    COMMTIMEOUTS timeouts{};
    const void* ioBuffer = nullptr;
    bool ioOverlapped = false;
    std::vector<uint8_t> wire;              // what the writes reported written, in order
    std::deque<std::vector<uint8_t>> reads; // each ReadFile takes the next, if any...
    std::function<void()> readsDone;        // ...and once none is left, calls this first
};

// The table's calls go to this one; a test sets it, and clears it once the link is closed.
extern RecordingComm* recordingComm;
extern const Win32CommApi kRecordingCommApi;

// "FFFFFFFF": a number as the call lines show it.
std::string hexNumber(uint32_t value);
