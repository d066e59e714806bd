// The expected report, written from the report's rules rather than from display/.
#include "tests/support/expected_report.h"

#include "tests/support/call_log.h"

namespace {

// Plain arrays: constants of this file may be used before its strings would be made.
constexpr char kProductHeader[] = "\x28\x65\x40";
// The two product types that pass, blanks included.
constexpr const char* kKnownTypes[] = {"CU20029-T307A  ", "CU20029T307A01 "};
// 255 units and the terminator.
constexpr size_t kReportUnits = 255;

// Each byte as two upper-case digits and a blank.
std::wstring dump(const std::string& bytes) {
    std::string hex = hexBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return std::wstring(hex.begin(), hex.end()) + (bytes.empty() ? L"" : L" ");
}

} // namespace

std::string productReply(const std::string& type) {
    return kProductHeader + type;
}

std::wstring expectedReport(const std::string& ack, const std::string& product) {
    std::wstring report = L"User set up mode start returned " + std::to_wstring(ack.size()) +
                          L" bytes: " + dump(ack) +
                          (ack == kSetupAckReply ? L" (OK)\r\n" : L" (Incorrect)\r\n");
    report += L"Read Status information (Product type) returned " +
              std::to_wstring(product.size()) + L" bytes:\r\n" + dump(product);
    if (product.size() == 18 && product.compare(0, 3, kProductHeader) == 0) {
        bool known = product.compare(3, 15, kKnownTypes[0]) == 0 ||
                     product.compare(3, 15, kKnownTypes[1]) == 0;
        report += L" (OK)\r\nTest result: ";
        report += known ? L"PASS.\r\n" : L"FAIL - unrecognised product type\r\n";
    } else {
        report += L" (Incorrect)\r\n";
    }
    return report.substr(0, kReportUnits);
}

std::vector<std::string> expectedGoodRunCalls(const std::wstring& port,
                                              const std::wstring& report) {
    // ESC @; "Noritake Itron" CR LF "VFD test" NUL; set-up mode start; product-type request;
    // set-up mode end; "Test OK" NUL.
    return {"open \\\\.\\" + narrow(port),
            "readSettings",
            "applyTestSettings 0 0 1",
            "applyTimeouts 4000",
            "write 1B 40",
            "write 4E 6F 72 69 74 61 6B 65 20 49 74 72 6F 6E 0D 0A 56 46 44 20 74 65 73 74 00",
            "readAvailable 64 -> 0",
            "pause 300",
            "write 1F 28 65 01 49 4E",
            "write 1F 28 65 40 30",
            "setResultText " + narrow(report),
            "write 1F 28 65 02 4F 55 54",
            "pause 200",
            "write 54 65 73 74 20 4F 4B 00",
            "pause 200",
            "restoreSettings",
            "close"};
}

std::vector<std::string> expectedReleaseCalls(const std::wstring& port) {
    return {"portTextLength -> " + std::to_string(port.size()),
            "getPortText " + std::to_string(port.size() + 1),
            "open \\\\.\\" + narrow(port),
            "readSettings",
            "applyReleaseSettings",
            "applyTimeouts 1000",
            "write 1B 40",
            "pause 20",
            "restoreSettings",
            "close",
            "postQuit 0"};
}
