// Port discovery over the Win32 registry: the configured OPOS port and the system's port map.
#include "discovery/port_discovery.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// No registry-view flag: the 32-bit program reads the 32-bit view, where a 32-bit OPOS
// service keeps its configuration.
constexpr wchar_t kOposKey[] =
    L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\LineDisplay\\Velmarqz71LineDisplay";
constexpr wchar_t kPortValue[] = L"Port";
constexpr wchar_t kSerialMapKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

constexpr size_t kConfiguredPortUnits = 32;
// One byte short of the buffer: a stored "Port" of 31 characters plus terminator won't fit.
constexpr DWORD kConfiguredPortOffer = 63;

// Ends the text of a REG_SZ value after the bytes the registry returned, within the buffer:
// an unterminated value stops at its own end, and the dangling byte of an odd size is dropped.
void terminateString(wchar_t* text, DWORD bytesReturned, size_t capacityUnits) {
    size_t units = bytesReturned / sizeof(wchar_t);
    if (units > capacityUnits - 1) {
        units = capacityUnits - 1;
    }
    text[units] = L'\0';
}

// A size that does not fit the address space is an allocation that fails.
void* allocate(uint64_t bytes) {
    if (bytes > SIZE_MAX) {
        return nullptr;
    }
    return std::malloc(static_cast<size_t>(bytes));
}

void showConfiguredPort(ConsoleOperations& console) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kOposKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return;
    }
    wchar_t port[kConfiguredPortUnits];
    std::memset(port, 0, sizeof port);
    DWORD type = 0;
    DWORD size = kConfiguredPortOffer;
    LONG status =
        RegQueryValueExW(key, kPortValue, nullptr, &type, reinterpret_cast<BYTE*>(port), &size);
    if (status == ERROR_SUCCESS && type == REG_SZ) {
        terminateString(port, size, kConfiguredPortUnits);
        console.setPortText(port);
    }
    RegCloseKey(key);
}

void listSystemPorts(ConsoleOperations& console) {
    HKEY key = nullptr;
    // A machine without serial ports has no map at all: that is an empty list, not a failure.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialMapKey, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
        return;
    }
    DWORD longestName = 0;
    DWORD longestData = 0;
    LONG status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, &longestName, &longestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS) {
        RegCloseKey(key);
        SetLastError(static_cast<DWORD>(status));
        return;
    }
    // The longest name is counted without its terminator; the data buffer always keeps at
    // least one whole unit beyond the longest value for a terminator.
    uint64_t nameUnits = uint64_t{longestName} + 1;
    uint64_t dataBytes = (uint64_t{longestData} & ~uint64_t{1}) + sizeof(wchar_t);
    auto* name = static_cast<wchar_t*>(allocate(nameUnits * sizeof(wchar_t)));
    auto* data = static_cast<wchar_t*>(allocate(dataBytes));
    if (name == nullptr || data == nullptr) {
        SetLastError(ERROR_OUTOFMEMORY);
        std::free(name);
        std::free(data);
        RegCloseKey(key);
        return;
    }
    size_t dataUnits = static_cast<size_t>(dataBytes / sizeof(wchar_t));
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(nameUnits);
        DWORD dataLength = static_cast<DWORD>(dataBytes);
        DWORD type = 0;
        std::memset(name, 0, static_cast<size_t>(nameUnits * sizeof(wchar_t)));
        std::memset(data, 0, static_cast<size_t>(dataBytes));
        // Ends normally with ERROR_NO_MORE_ITEMS; a value that grew since the key was asked
        // (ERROR_MORE_DATA) also ends the list, as any other failure does.
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type,
                          reinterpret_cast<BYTE*>(data), &dataLength) != ERROR_SUCCESS) {
            break;
        }
        if (type == REG_SZ) {
            terminateString(data, dataLength, dataUnits);
            console.addPortEntry(data);
        }
    }
    std::free(name);
    std::free(data);
    RegCloseKey(key);
}

} // namespace

void discoverPorts(ConsoleOperations& console) {
    showConfiguredPort(console);
    listSystemPorts(console);
}
