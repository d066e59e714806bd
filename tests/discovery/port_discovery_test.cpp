// Port discovery against the registry: each case writes its keys, runs discovery, puts them back.
#include "discovery/port_discovery.h"
#include "tests/support/recording_console.h"
#include "tools/driver/gui_driver.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace {

using driver::kOposKey;
using driver::kOtherView;
using driver::kProgramView;
using driver::kSerialMapKey;

// A last-error value that nothing in discovery would set.
constexpr DWORD kUntouched = 0x2A2A;

struct Value {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
    bool operator==(const Value& other) const {
        return name == other.name && type == other.type && data == other.data;
    }
};
using Values = std::vector<Value>;

// The first `bytes` bytes of the UTF-16 storage of text and its terminator, stored exactly:
// odd sizes and missing terminators included.
Value raw(const wchar_t* name, DWORD type, const std::wstring& text, size_t bytes) {
    const BYTE* first = reinterpret_cast<const BYTE*>(text.c_str());
    return {name, type, std::vector<BYTE>(first, first + bytes)};
}

Value sz(const wchar_t* name, const std::wstring& text) {
    return raw(name, REG_SZ, text, (text.size() + 1) * sizeof(wchar_t));
}

Value dword(const wchar_t* name, DWORD number) {
    const BYTE* first = reinterpret_cast<const BYTE*>(&number);
    return {name, REG_DWORD, std::vector<BYTE>(first, first + sizeof number)};
}

// "COM" and then digits, n characters in all.
std::wstring longPort(size_t n) {
    std::wstring text = L"COM";
    while (text.size() < n) {
        text += static_cast<wchar_t>(L'0' + text.size() % 10);
    }
    return text;
}

HKEY openKey(const std::wstring& path, REGSAM view, REGSAM access) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, access | view, &key) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

Values readValues(HKEY key) {
    Values values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS) {
            return values;
        }
        std::vector<BYTE> data(size + 1);
        if (RegQueryValueExW(key, name, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
            ADD_FAILURE() << "value " << index << " could not be read";
            return values;
        }
        data.resize(size);
        values.push_back({name, type, data});
    }
}

void deleteValues(HKEY key) {
    wchar_t name[16384];
    DWORD nameLength = 16384;
    while (RegEnumValueW(key, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
        ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(key, name));
        nameLength = 16384;
    }
}

void writeValue(HKEY key, const Value& value) {
    // Non-zero guard bytes after the data: Wine, like Windows, adds a terminator that the
    // caller "forgot" when the unit after the counted data is NUL.
    std::vector<BYTE> source = value.data;
    source.insert(source.end(), 4, 0x5A);
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, value.name.c_str(), 0, value.type, source.data(),
                                            static_cast<DWORD>(value.data.size())));
    DWORD stored = 0;
    ASSERT_EQ(ERROR_SUCCESS,
              RegQueryValueExW(key, value.name.c_str(), nullptr, nullptr, nullptr, &stored));
    ASSERT_EQ(value.data.size(), stored) << "stored size of value " << value.data.size();
}

// One key of one registry view as a case found it: its values, or its absence together with
// the parents it lacked. Cases set it as they need; restore() puts it back.
class SavedKey {
  public:
    SavedKey(std::wstring path, REGSAM view, DWORD options)
        : path_(std::move(path)), view_(view), options_(options) {
        if (HKEY key = openKey(path_, view_, KEY_QUERY_VALUE)) {
            existed_ = true;
            values_ = readValues(key);
            RegCloseKey(key);
            return;
        }
        // The outermost missing key is the one to delete again, with all below it.
        for (size_t end = path_.find(L'\\');; end = path_.find(L'\\', end + 1)) {
            std::wstring prefix = path_.substr(0, end);
            HKEY key = openKey(prefix, view_, KEY_QUERY_VALUE);
            if (key == nullptr) {
                topMissing_ = prefix;
                return;
            }
            RegCloseKey(key);
            if (end == std::wstring::npos) {
                return;
            }
        }
    }

    // Makes the key hold exactly these values; no values at all: the key is missing.
    void set(const std::optional<Values>& values) {
        if (!values) {
            LONG status = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), view_, 0);
            ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
            return;
        }
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, options_,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE | view_, nullptr, &key, nullptr));
        deleteValues(key);
        for (const Value& value : *values) {
            writeValue(key, value);
        }
        RegCloseKey(key);
    }

    void restore() {
        if (existed_) {
            set(values_);
            HKEY key = openKey(path_, view_, KEY_QUERY_VALUE);
            ASSERT_NE(nullptr, key);
            EXPECT_EQ(values_, readValues(key));
            RegCloseKey(key);
            return;
        }
        if (topMissing_.empty()) {
            return;
        }
        size_t split = topMissing_.rfind(L'\\');
        HKEY parent = openKey(topMissing_.substr(0, split), view_,
                              KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_SET_VALUE | DELETE);
        ASSERT_NE(nullptr, parent);
        LONG status = RegDeleteTreeW(parent, topMissing_.substr(split + 1).c_str());
        RegCloseKey(parent);
        EXPECT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
        EXPECT_EQ(nullptr, openKey(path_, view_, KEY_QUERY_VALUE));
    }

  private:
    std::wstring path_;
    REGSAM view_;
    DWORD options_;
    bool existed_ = false;
    Values values_;
    std::wstring topMissing_;
};

// Allocation failure on demand. The test program is linked with --wrap=malloc and --wrap=free,
// so discovery's plain allocations pass through here: while armed, every request of at least
// kHugeRequest bytes fails as on an exhausted heap (the same in a 32-bit and a 64-bit address
// space), and what the request before it got must be given back.
constexpr size_t kHugeRequest = size_t{1} << 20;
struct AllocationLog {
    bool armed = false;
    int failed = 0;
    void* beforeFailure = nullptr; // the block handed out just before the first failure
    void* lastGranted = nullptr;
    bool beforeFailureFreed = false;
};
AllocationLog allocations;

} // namespace

extern "C" void* __real_malloc(size_t size);
extern "C" void __real_free(void* block);

extern "C" void* __wrap_malloc(size_t size) {
    if (allocations.armed && size >= kHugeRequest) {
        if (allocations.failed++ == 0) {
            allocations.beforeFailure = allocations.lastGranted;
        }
        return nullptr;
    }
    void* block = __real_malloc(size);
    if (allocations.armed) {
        allocations.lastGranted = block;
    }
    return block;
}

extern "C" void __wrap_free(void* block) {
    if (allocations.armed && block != nullptr && block == allocations.beforeFailure) {
        allocations.beforeFailureFreed = true;
    }
    __real_free(block);
}

namespace {

struct Case {
    const char* name;
    std::optional<Values> oposRead;  // the OPOS key in the view the program reads; nullopt: missing
    std::optional<Values> oposOther; // the same key in the other view
    std::optional<Values> serialMap;
    std::vector<std::string> expected;
    bool failHugeAllocations = false;
    DWORD lastError = kUntouched;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

std::string caseName(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

const std::optional<Values> kMissing;
const Values kMapCom1 = {sz(L"\\Device\\Serial0", L"COM1")};
const Values kPortCom3 = {sz(L"Port", L"COM3")};

class PortDiscoveryTest : public testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        oposRead_ = std::make_unique<SavedKey>(kOposKey, kProgramView, REG_OPTION_NON_VOLATILE);
        oposOther_ = std::make_unique<SavedKey>(kOposKey, kOtherView, REG_OPTION_NON_VOLATILE);
        // The map lives under a volatile key: so must it.
        map_ = std::make_unique<SavedKey>(kSerialMapKey, 0, REG_OPTION_VOLATILE);
    }
    void TearDown() override {
        oposRead_->restore();
        oposOther_->restore();
        map_->restore();
    }

    std::unique_ptr<SavedKey> oposRead_;
    std::unique_ptr<SavedKey> oposOther_;
    std::unique_ptr<SavedKey> map_;
};

TEST_P(PortDiscoveryTest, FillsThePortBoxFromTheRegistryWhenItHoldsTheseValues) {
    const Case& c = GetParam();
    oposRead_->set(c.oposRead);
    oposOther_->set(c.oposOther);
    map_->set(c.serialMap);
    ASSERT_FALSE(HasFailure());

    // Discovery may only set the port text and add entries: any other call shows in the log.
    CallLog log;
    log.lines.reserve(16);
    RecordingConsole console(log);
    allocations = AllocationLog{};
    allocations.armed = c.failHugeAllocations;
    SetLastError(kUntouched);
    discoverPorts(console);
    DWORD lastError = GetLastError();
    allocations.armed = false;
    EXPECT_EQ(c.expected, log.lines);
    EXPECT_EQ(c.lastError, lastError);
    if (c.failHugeAllocations) {
        // Only the data buffer is that large; the name buffer was asked for first and is freed.
        EXPECT_EQ(1, allocations.failed);
        EXPECT_NE(nullptr, allocations.beforeFailure);
        EXPECT_TRUE(allocations.beforeFailureFreed);
    }
}

// A row about the configured port as stored, with a one-port map to show the list still follows:
// `shown` is the port text it gives, none when empty.
Case configured(const char* name, const Value& port, const std::wstring& shown) {
    Case c{name, Values{port}, kMissing, kMapCom1, {"addPortEntry COM1"}};
    if (!shown.empty()) {
        c.expected.insert(c.expected.begin(), "setPortText " + narrow(shown));
    }
    return c;
}

const Case kConfiguredPortCases[] = {
    {"PortInTheViewTheProgramReads",
     kPortCom3,
     kMissing,
     Values{sz(L"\\Device\\Serial0", L"COM1"), sz(L"\\Device\\Serial1", L"COM3")},
     {"setPortText COM3", "addPortEntry COM1", "addPortEntry COM3"}},
    {"PortOnlyInTheOtherView", kMissing, kPortCom3, kMapCom1, {"addPortEntry COM1"}},
    {"OposKeyMissing", kMissing, kMissing, kMapCom1, {"addPortEntry COM1"}},
    configured("PortValueMissing", sz(L"PortName", L"COM3"), L""),
    configured("PortOfExpandableType", raw(L"Port", REG_EXPAND_SZ, L"COM3", 10), L""),
    configured("PortOfThirtyCharacters", sz(L"Port", longPort(30)), longPort(30)),
    // 64 bytes with its terminator: more than the 63 offered.
    configured("PortOfThirtyOneCharacters", sz(L"Port", longPort(31)), L""),
    configured("PortOfThirtyTwoCharactersUnterminated", raw(L"Port", REG_SZ, longPort(32), 64),
               L""),
    configured("PortOfThirtyOneCharactersUnterminated", raw(L"Port", REG_SZ, longPort(31), 62),
               longPort(31)),
    // 63 bytes: the dangling byte would fill the buffer's last unit.
    configured("PortOfThirtyOneCharactersAndOddByte", raw(L"Port", REG_SZ, longPort(32), 63),
               longPort(31)),
    configured("PortUnterminated", raw(L"Port", REG_SZ, L"COM8", 8), L"COM8"),
    configured("PortOfOddSize", raw(L"Port", REG_SZ, L"COM7X", 9), L"COM7"),
};
INSTANTIATE_TEST_SUITE_P(ConfiguredPort, PortDiscoveryTest, testing::ValuesIn(kConfiguredPortCases),
                         caseName);

// A row about the serial-port map as stored, without an OPOS key: the ports it lists.
Case mapped(const char* name, const std::optional<Values>& map,
            const std::vector<std::string>& ports) {
    Case c{name, kMissing, kMissing, map, {}};
    for (const std::string& port : ports) {
        c.expected.push_back("addPortEntry " + port);
    }
    return c;
}

const Case kSystemPortCases[] = {
    mapped("OtherTypesSkipped",
           Values{sz(L"\\Device\\Serial0", L"COM1"), dword(L"\\Device\\Serial1", 2),
                  sz(L"\\Device\\Serial2", L"COM3"),
                  raw(L"\\Device\\Serial3", REG_EXPAND_SZ, L"COM4", 10),
                  sz(L"\\Device\\Serial4", L"COM5"),
                  raw(L"\\Device\\Serial5", REG_MULTI_SZ, std::wstring(L"COM6\0COM8\0", 10), 22),
                  sz(L"\\Device\\Serial6", L"COM7")},
           {"COM1", "COM3", "COM5", "COM7"}),
    mapped("SamePortTwice",
           Values{sz(L"\\Device\\Serial0", L"COM3"), sz(L"\\Device\\VSerial0", L"COM3")},
           {"COM3", "COM3"}),
    mapped("MapMissing", kMissing, {}),
    {"MapMissingWithConfiguredPort", kPortCom3, kMissing, kMissing, {"setPortText COM3"}},
    mapped("MapEmpty", Values{}, {}),
    // The longest value sizes the data buffer: these fill it up to its last unit.
    mapped("LongestUnterminated", Values{raw(L"\\Device\\Serial0", REG_SZ, L"COM4", 8)}, {"COM4"}),
    mapped("LongestOfOddSize", Values{raw(L"\\Device\\Serial0", REG_SZ, L"COM5X", 9)}, {"COM5"}),
    mapped(
        "ShorterOfOddSize",
        Values{sz(L"\\Device\\Serial0", L"COM10"), raw(L"\\Device\\Serial1", REG_SZ, L"COM6X", 9)},
        {"COM10", "COM6"}),
    // After a longer value, a shorter unterminated one shows nothing of its predecessor.
    mapped(
        "ShorterUnterminated",
        Values{sz(L"\\Device\\Serial0", L"COM123"), raw(L"\\Device\\Serial1", REG_SZ, L"COM2", 8)},
        {"COM123", "COM2"}),
    // A 1 MiB value needs a buffer that can't be had: no entry, ERROR_OUTOFMEMORY left behind.
    {"BufferNotAllocated",
     kPortCom3,
     kMissing,
     Values{sz(L"\\Device\\Serial0", L"COM1"),
            Value{L"\\Device\\Serial1", REG_BINARY, std::vector<BYTE>(1 << 20, 0x41)}},
     {"setPortText COM3"},
     true,
     ERROR_OUTOFMEMORY},
};
INSTANTIATE_TEST_SUITE_P(SystemPorts, PortDiscoveryTest, testing::ValuesIn(kSystemPortCases),
                         caseName);

} // namespace
