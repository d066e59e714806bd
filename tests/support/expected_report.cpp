// The expected report, written from the report's rules rather than from display/.
#include "tests/support/expected_report.h"

#include "tests/support/call_log.h"

namespace {

// Plain arrays: constants of this file may be used before its strings would be made.
constexpr char kProductHeader[] = "\x28\x65\x40";

// Each byte as two upper-case digits and a blank.
std::wstring dump(const std::string& bytes) {
    std::string text = hex(bytes);
    return std::wstring(text.begin(), text.end()) + (bytes.empty() ? L"" : L" ");
}

} // namespace

std::string hex(const Command& command) {
    return hex(command.bytes, command.length);
}

// The Command constants are constant-initialised: safe to read here before main.
const std::string kTestRunBytes = hex(kInitialiseDisplay) + " " + hex(kGreeting) + " " +
                                  hex(kSetupModeStart) + " " + hex(kReadProductType) + " " +
                                  hex(kSetupModeEnd) + " " + hex(kFinalMessage);

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
    return {"open \\\\.\\" + narrow(port),
            "readSettings",
            "applyTestSettings 0 0 1",
            "applyTimeouts 4000",
            "write " + hex(kInitialiseDisplay),
            "write " + hex(kGreeting),
            "readAvailable 64 -> 0",
            "pause 300",
            "write " + hex(kSetupModeStart),
            "write " + hex(kReadProductType),
            "setResultText " + narrow(report),
            "write " + hex(kSetupModeEnd),
            "pause 200",
            "write " + hex(kFinalMessage),
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
            "write " + hex(kInitialiseDisplay),
            "pause 20",
            "restoreSettings",
            "close",
            "postQuit 0"};
}
