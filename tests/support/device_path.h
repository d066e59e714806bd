// A device path as the dialog makes one, for tests that open a port by name.
#pragma once

#include "display/types.h"

#include <cwchar>
#include <string>

// The prefix, then the name cut to a port name's 16 characters.
inline DevicePath pathOf(const std::wstring& name) {
    DevicePath path;
    path.reset();
    std::wcsncpy(path.name(), name.c_str(), kPortNameMaxUnits);
    return path;
}
