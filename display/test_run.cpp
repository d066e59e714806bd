// The test run, draining and reply collection, and the display release.
#include "display/test_run.h"

#include "display/commands.h"

#include <cstdarg>
#include <cstring>
#include <cwchar>

uint8_t ReplyBuffer[kReplyBufferSize];
bool DisplayAnswered = false;

void DevicePath::reset() {
    std::memset(units, 0, sizeof units);
    std::memcpy(units, kDevicePrefix, kDevicePrefixUnits * sizeof(wchar_t));
}

void TestReport::append(const wchar_t* format, ...) {
    // Each piece is formatted on its own first: a piece that does not fit makes swprintf
    // return a negative count, which must never move the running length.
    wchar_t piece[kTestReportUnits];
    va_list args;
    va_start(args, format);
    int produced = std::vswprintf(piece, kTestReportUnits, format, args);
    va_end(args);
    if (produced <= 0) {
        return;
    }
    size_t room = kTestReportUnits - 1 - length_;
    size_t take = static_cast<size_t>(produced) < room ? static_cast<size_t>(produced) : room;
    std::wmemcpy(text_ + length_, piece, take);
    length_ += take;
    text_[length_] = L'\0';
}

bool drainInput(SerialLink& link) {
    for (uint32_t reads = 0; reads < kDrainMaxReads; ++reads) {
        uint32_t got = 0;
        if (!link.readAvailable(ReplyBuffer, kDrainChunk, &got)) {
            return true;
        }
        if (got == 0) {
            return false;
        }
    }
    // Still sending after a buffer's worth: go on; the replies will show what it sends.
    return false;
}

CollectResult collectReply(SerialLink& link, uint32_t expected) {
    uint32_t count = 0;
    uint32_t silence = 0;
    while (count < kReplyBufferSize) {
        uint32_t room = static_cast<uint32_t>(kReplyBufferSize) - count;
        uint32_t got = 0;
        if (!link.readAvailable(ReplyBuffer + count, room, &got)) {
            return {true, count};
        }
        if (got > room) {
            got = room; // a link never reports more than it was offered
        }
        if (got > 0) {
            count += got;
            if (count >= expected) {
                break;
            }
            link.pause(1);
            silence = 0;
        } else {
            link.pause(kEmptyReadPauseMs);
            if (++silence >= kSilenceLimit) {
                break;
            }
        }
    }
    return {false, count};
}

namespace {

bool writeCommand(SerialLink& link, const Command& command) {
    uint32_t written = 0;
    return link.write(command.bytes, command.length, &written) && written == command.length;
}

void reportFailure(ConsoleOperations& console, const wchar_t* function) {
    wchar_t line[80];
    wchar_t text[64];
    std::swprintf(line, 80, L"ERROR: %ls() returned error.", function);
    std::swprintf(text, 64, L"%ls() returned error.", function);
    console.setResultText(line);
    console.showMessage(text, L"Error.");
}

void appendDump(TestReport& report, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        report.append(L"%02X ", static_cast<unsigned>(ReplyBuffer[i]));
    }
}

// Steps 5 to 17: everything between configuring the port and putting it back. Returns the
// failing function's name, or nullptr when the exchange went through.
const wchar_t* exchange(ConsoleOperations& console, SerialLink& link) {
    if (!writeCommand(link, kInitialiseDisplay) || !writeCommand(link, kGreeting)) {
        return L"WriteFile";
    }
    if (drainInput(link)) {
        return L"ReadFile";
    }
    link.pause(300);
    if (!writeCommand(link, kSetupModeStart)) {
        return L"WriteFile";
    }
    CollectResult ack = collectReply(link, kSetupAckLength);
    if (ack.readFailed) {
        return L"ReadFile";
    }
    TestReport report;
    report.append(L"User set up mode start returned %d bytes: ", static_cast<int>(ack.count));
    appendDump(report, ack.count);
    report.append(isSetupAcknowledged(ReplyBuffer, ack.count) ? L" (OK)\r\n"
                                                              : L" (Incorrect)\r\n");

    if (!writeCommand(link, kReadProductType)) {
        return L"WriteFile";
    }
    CollectResult product = collectReply(link, kProductReplyLength);
    if (product.readFailed) {
        return L"ReadFile";
    }
    report.append(L"Read Status information (Product type) returned %d bytes:\r\n",
                  static_cast<int>(product.count));
    appendDump(report, product.count);
    if (isProductReply(ReplyBuffer, product.count)) {
        report.append(L" (OK)\r\nTest result: ");
        report.append(isKnownProduct(ReplyBuffer) ? L"PASS.\r\n"
                                                  : L"FAIL - unrecognised product type\r\n");
        DisplayAnswered = true;
    } else {
        report.append(L" (Incorrect)\r\n");
    }
    console.setResultText(report.text());

    if (!writeCommand(link, kSetupModeEnd)) {
        return L"WriteFile";
    }
    link.pause(200);
    if (!writeCommand(link, kFinalMessage)) {
        return L"WriteFile";
    }
    link.pause(200);
    return nullptr;
}

} // namespace

void runTest(DevicePath& path, const LineSettings& settings, ConsoleOperations& console,
             SerialLink& link) {
    if (!link.open(path)) {
        console.setResultText(L"Error: Could not open COM port.");
        console.showMessage(path.name(), L"Error.  Could not open COM port:");
        return;
    }
    if (!link.readSettings()) {
        link.close();
        reportFailure(console, L"GetCommState");
        return;
    }
    // A port that refuses its settings or its time-outs is closed as it is; only a run that
    // got as far as talking to the display puts the saved settings back.
    if (!link.applyTestSettings(settings)) {
        link.close();
        reportFailure(console, L"SetCommState");
        return;
    }
    if (!link.applyTimeouts(kTestWriteConstantMs)) {
        link.close();
        reportFailure(console, L"SetCommTimeouts");
        return;
    }
    if (const wchar_t* failed = exchange(console, link)) {
        // The port stays open with the test settings until the box is dismissed.
        reportFailure(console, failed);
    }
    link.restoreSettings();
    link.close();
}

bool takePortName(ConsoleOperations& console, DevicePath& path) {
    int length = console.portTextLength();
    if (length < 0) {
        length = 0;
    }
    if (static_cast<size_t>(length) <= kPortNameMaxUnits) {
        console.getPortText(path.name(), length + 1);
        return false;
    }
    console.getPortText(path.name(), static_cast<int>(kPortNameMaxUnits) + 1);
    console.setPortText(path.name());
    return true;
}

void releaseDisplay(DevicePath& path, ConsoleOperations& console, SerialLink& link) {
    if (DisplayAnswered) {
        takePortName(console, path);
        if (link.open(path)) {
            if (!link.readSettings() || !link.applyReleaseSettings()) {
                link.close();
            } else {
                if (link.applyTimeouts(kReleaseWriteConstantMs)) {
                    uint32_t written = 0;
                    link.write(kInitialiseDisplay.bytes, kInitialiseDisplay.length, &written);
                    link.pause(20);
                }
                link.restoreSettings();
                link.close();
            }
        }
    }
    console.postQuit(0);
}
