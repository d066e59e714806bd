// The expected report, written from the report's rules rather than from display/.
#include "tests/support/expected_report.h"

namespace {

// Plain arrays: constants of this file may be used before its strings would be made.
constexpr char kProductHeader[] = "\x28\x65\x40";
// The two product types that pass, blanks included.
constexpr const char* kKnownTypes[] = {"CU20029-T307A  ", "CU20029T307A01 "};
// 255 units and the terminator.
constexpr size_t kReportUnits = 255;

std::wstring dump(const std::string& bytes) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
        out += L' ';
    }
    return out;
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
