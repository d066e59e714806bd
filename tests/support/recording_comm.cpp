// The recorded communications functions: each appends its line and returns what was scripted.
#include "tests/support/recording_comm.h"

#include "tests/support/call_log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

HANDLE const kRecordedPort = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x4242));
RecordingComm* recordingComm = nullptr;

std::string hexNumber(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
    return text;
}

namespace {

RecordingComm& comm() {
    return *recordingComm;
}

bool isPort(HANDLE h) {
    if (h != kRecordedPort) {
        ADD_FAILURE() << "called with a handle that CreateFileW did not return";
    }
    return h == kRecordedPort;
}

// The outcome of a call, with the last error a failing call leaves.
BOOL outcome(BOOL result) {
    if (!result) {
        SetLastError(comm().failError);
    }
    return result;
}

HANDLE WINAPI recordCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                               DWORD disposition, DWORD flags, HANDLE templ) {
    comm().calls.push_back("CreateFileW " + narrow(name) + " access=" + hexNumber(access) +
                           " share=" + hexNumber(share) + " security=" + (sa ? "given" : "none") +
                           " disposition=" + hexNumber(disposition) + " flags=" + hexNumber(flags) +
                           " template=" + (templ ? "given" : "none"));
    if (comm().openResult == INVALID_HANDLE_VALUE) {
        SetLastError(comm().openError);
    }
    return comm().openResult;
}

BOOL WINAPI recordGetCommState(HANDLE h, LPDCB dcb) {
    isPort(h);
    comm().calls.push_back("GetCommState");
    comm().receivedByGet = *dcb;
    if (comm().getResult) {
        *dcb = comm().reported;
    }
    return outcome(comm().getResult);
}

BOOL WINAPI recordSetCommState(HANDLE h, LPDCB dcb) {
    isPort(h);
    comm().calls.push_back("SetCommState");
    comm().setRecords.push_back(*dcb);
    return outcome(comm().setResult);
}

BOOL WINAPI recordSetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
    isPort(h);
    comm().timeouts = *t;
    comm().calls.push_back("SetCommTimeouts " + hexNumber(t->ReadIntervalTimeout) + " " +
                           hexNumber(t->ReadTotalTimeoutMultiplier) + " " +
                           hexNumber(t->ReadTotalTimeoutConstant) + " " +
                           hexNumber(t->WriteTotalTimeoutMultiplier) + " " +
                           hexNumber(t->WriteTotalTimeoutConstant));
    return outcome(comm().setResult);
}

BOOL WINAPI recordGetCommModemStatus(HANDLE h, LPDWORD lines) {
    isPort(h);
    comm().calls.push_back("GetCommModemStatus");
    *lines = comm().modemResult ? comm().modemLines : 0;
    return outcome(comm().modemResult);
}

// WriteFile and ReadFile alike: the buffer, whether overlapped, and the scripted outcome.
BOOL recordIo(const char* call, HANDLE h, const void* buffer, DWORD n, LPDWORD done,
              LPOVERLAPPED o) {
    isPort(h);
    comm().calls.push_back(call + std::to_string(n));
    comm().ioBuffer = buffer;
    comm().ioOverlapped = o != nullptr;
    *done = comm().ioCount;
    return outcome(comm().ioResult);
}

BOOL WINAPI recordWriteFile(HANDLE h, LPCVOID bytes, DWORD n, LPDWORD done, LPOVERLAPPED o) {
    BOOL result = recordIo("WriteFile ", h, bytes, n, done, o);
    if (result && comm().writeWhole) {
        *done = n;
    }
    const auto* first = static_cast<const uint8_t*>(bytes);
    comm().wire.insert(comm().wire.end(), first, first + std::min<DWORD>(*done, n));
    return result;
}

BOOL WINAPI recordReadFile(HANDLE h, LPVOID buffer, DWORD n, LPDWORD done, LPOVERLAPPED o) {
    if (comm().reads.empty()) {
        if (comm().readsDone) {
            comm().readsDone();
        }
        return recordIo("ReadFile ", h, buffer, n, done, o);
    }
    isPort(h);
    comm().calls.push_back("ReadFile " + std::to_string(n) + " -> " +
                           hex(comm().reads.front().data(), comm().reads.front().size()));
    std::vector<uint8_t> chunk = comm().reads.front();
    comm().reads.pop_front();
    if (chunk.size() > n) {
        ADD_FAILURE() << "a scripted read of " << chunk.size() << " bytes into " << n;
        chunk.resize(n);
    }
    std::copy(chunk.begin(), chunk.end(), static_cast<uint8_t*>(buffer));
    *done = static_cast<DWORD>(chunk.size());
    return TRUE;
}

BOOL WINAPI recordCloseHandle(HANDLE h) {
    isPort(h);
    comm().calls.push_back("CloseHandle");
    return TRUE;
}

VOID WINAPI recordSleep(DWORD ms) {
    comm().calls.push_back("Sleep " + std::to_string(ms));
}

} // namespace

const Win32CommApi kRecordingCommApi = {
    recordCreateFile,      recordGetCommState,       recordSetCommState,
    recordSetCommTimeouts, recordGetCommModemStatus, recordWriteFile,
    recordReadFile,        recordCloseHandle,        recordSleep};
