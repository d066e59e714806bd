// End-to-end tests of LineDisplayTest.exe: the program runs under Wine against emulated displays
// on COM5 (good), COM6 (unknown product) and COM7 (silent), started by run-gui-tests.sh, and is
// driven the way a technician would use it. The emulators start at 9600 baud, so every change
// the program makes to the line shows in their logs.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tools/driver/emulator_client.h"
#include "tools/driver/gui_driver.h"

namespace {

using driver::AppProcess;
using driver::MessageBoxInfo;
using Lines = std::vector<std::string>;

constexpr int kTest = 1001;
constexpr int kExit = 1002;
constexpr int kClear = 1003;
constexpr int kResult = 1004;
constexpr int kPort = 1005;

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// One emulator's log, read from a mark: only what happened after it counts.
class EmulatorLog {
public:
    explicit EmulatorLog(const std::string& name)
        : path_(driver::windowsPath(env("LDT_LOGS") + "/" + name + ".log")) {}

    void mark() { start_ = read().size(); }

    // The events since the mark, each without its time stamp.
    Lines events() const {
        std::string text = read().substr(start_);
        Lines lines;
        size_t from = 0;
        for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
            std::string line = text.substr(from, end - from);
            size_t blank = line.find(' ');
            lines.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
        }
        return lines;
    }
    // The bytes received since the mark, as one hex string.
    std::string received() const { return joined("recv "); }
    std::string sent() const { return joined("send "); }
    Lines settings() const {
        Lines found;
        for (const std::string& line : events()) {
            if (line.rfind("settings ", 0) == 0) {
                found.push_back(line.substr(9));
            }
        }
        return found;
    }

private:
    std::string joined(const std::string& event) const {
        std::string bytes;
        for (const std::string& line : events()) {
            if (line.rfind(event, 0) == 0) {
                bytes += (bytes.empty() ? "" : " ") + line.substr(event.size());
            }
        }
        return bytes;
    }
    std::string read() const {
        std::string text;
        if (FILE* file = _wfopen(path_.c_str(), L"rb")) {
            char buffer[4096];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) {
                text.append(buffer, n);
            }
            fclose(file);
        }
        return text;
    }

    std::wstring path_;
    size_t start_ = 0;
};

// The report of a display that acknowledges and names the product type given.
std::wstring answeringReport(const std::string& productType, const std::wstring& verdict) {
    std::string dump = hex("\x28\x65\x40" + productType);
    return L"User set up mode start returned 4 bytes: 28 65 01 00  (OK)\r\n"
           L"Read Status information (Product type) returned 18 bytes:\r\n" +
           std::wstring(dump.begin(), dump.end()) + L"  (OK)\r\nTest result: " + verdict;
}

const char kTestSettings[] = "speed=38400 bits=8 parity=none stop=1 rtscts=on";
const char kReleaseSettings[] = "speed=38400 bits=8 parity=none stop=1 rtscts=off";
const char kEmulatorSettings[] = "speed=9600 bits=8 parity=none stop=1 rtscts=off";

class TestDialogTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(driver::clearSerialMap());
        ASSERT_TRUE(driver::setConfiguredPort(L""));
        ASSERT_TRUE(driver::setConfiguredPort(L"", driver::kOtherView));
        good_.mark();
        unknown_.mark();
        silent_.mark();
    }

    // Starts the program with the port configured (none: no "Port" value) and waits for it.
    void start(const std::wstring& configuredPort) {
        ASSERT_TRUE(driver::setConfiguredPort(configuredPort));
        ASSERT_TRUE(app_.start(driver::windowsPath(env("LDT_APP"))));
        ASSERT_NE(app_.waitForDialog(), nullptr) << "the dialog did not appear";
        // Initialisation has run once the result box says so.
        ASSERT_TRUE(driver::waitUntil([&] { return text(kResult) == L"Ready"; }, 5000));
    }

    std::wstring text(int id) const { return driver::text(app_.control(id)); }
    bool enabled(int id) const { return IsWindowEnabled(app_.control(id)) != 0; }

    // The control that has the focus, by name; the port box's focus is its edit field.
    std::string focusName() const {
        HWND focus = app_.focus();
        if (focus == nullptr) {
            return "none";
        }
        if (GetParent(focus) == app_.control(kPort)) {
            return "port";
        }
        for (auto [id, name] : {std::pair<int, const char*>{kTest, "Test"},
                                {kExit, "Exit"},
                                {kClear, "Clear"},
                                {kResult, "result"},
                                {kPort, "port"}}) {
            if (focus == app_.control(id)) {
                return name;
            }
        }
        return "other";
    }

    // Presses Test and waits for the run to end: Test is enabled again.
    void pressTestAndWait(DWORD timeoutMs = 5000) {
        driver::click(app_.control(kTest));
        ASSERT_TRUE(driver::waitUntil([&] { return !enabled(kTest); }, 2000)) << "no run began";
        ASSERT_TRUE(driver::waitUntil([&] { return enabled(kTest); }, timeoutMs))
            << "the run did not end";
    }

    // Waits until the log shows the line back at the emulator's own settings after a run.
    static bool settledBack(const EmulatorLog& log, size_t settingsCount) {
        return driver::waitUntil(
            [&] {
                Lines s = log.settings();
                return s.size() >= settingsCount && s.back() == kEmulatorSettings;
            },
            3000);
    }

    // After leaving: the release's ESC @ alone came, and the only line settings seen on the
    // way were the release's (38400 baud, no handshake) before the line's own came back. The
    // release holds its settings for the write and 20 ms, and the emulator polls them: they
    // may pass unseen here. The serial tests check them inside the link's own pause.
    static void expectReleaseOnly(const EmulatorLog& log) {
        EXPECT_TRUE(driver::waitUntil([&] { return log.received() == "1B 40"; }, 3000))
            << log.received();
        EXPECT_TRUE(driver::waitUntil(
            [&] {
                Lines s = log.settings();
                return s.empty() || s.back() == kEmulatorSettings;
            },
            3000));
        Lines seen = log.settings();
        if (!seen.empty()) {
            seen.pop_back();
        }
        EXPECT_EQ(seen, Lines(seen.size(), kReleaseSettings));
    }

    void pressExitAndExpectCode(DWORD expected = 0) {
        driver::click(app_.control(kExit));
        EXPECT_EQ(app_.waitForExit(), expected);
    }

    EmulatorLog good_{"good"};
    EmulatorLog unknown_{"unknown"};
    EmulatorLog silent_{"silent"};
    AppProcess app_;
};

TEST_F(TestDialogTest, ShowsConfiguredPortListAndFocusesTestWhenPortIsConfigured) {
    ASSERT_TRUE(driver::setSerialMapEntry(L"\\Device\\Serial4", L"COM5"));
    ASSERT_TRUE(driver::setSerialMapEntry(L"\\Device\\Serial9", L"COM10"));
    ASSERT_TRUE(driver::setSerialMapEntry(L"\\Device\\Serial1", L"COM2"));
    start(L"COM5");
    EXPECT_EQ(text(kPort), L"COM5");
    // Sorted as text, not by number.
    EXPECT_EQ(driver::comboEntries(app_.control(kPort)),
              (std::vector<std::wstring>{L"COM10", L"COM2", L"COM5"}));
    EXPECT_EQ(focusName(), "Test");
    EXPECT_EQ(text(kResult), L"Ready");
    EXPECT_EQ(driver::text(app_.dialog()), L"Velmar qz71 LineDisplay Test");
    pressExitAndExpectCode();
    EXPECT_EQ(good_.received(), "") << "Exit before any test opens no port";
}

// The program opens the OPOS key with no view flag: a "Port" kept only in the other view
// (the 64-bit one, for the 32-bit program) is not its configuration.
TEST_F(TestDialogTest, IgnoresAPortConfiguredOnlyInTheOtherRegistryView) {
    ASSERT_TRUE(driver::setConfiguredPort(L"COM5", driver::kOtherView));
    start(L"");
    EXPECT_EQ(text(kPort), L"");
    EXPECT_EQ(focusName(), "port");
    pressExitAndExpectCode();
    EXPECT_TRUE(driver::setConfiguredPort(L"", driver::kOtherView));
}

TEST_F(TestDialogTest, FocusesPortBoxWhenNoPortIsConfigured) {
    start(L"");
    EXPECT_EQ(text(kPort), L"");
    EXPECT_EQ(driver::comboEntries(app_.control(kPort)), std::vector<std::wstring>{});
    EXPECT_EQ(focusName(), "port");
    EXPECT_EQ(text(kResult), L"Ready");
    pressExitAndExpectCode();
}

TEST_F(TestDialogTest, ReportsPassAndReinitialisesDisplayOnExitWhenDisplayIsGood) {
    start(L"COM5");
    pressTestAndWait();
    EXPECT_EQ(text(kResult), answeringReport("CU20029-T307A  ", L"PASS.\r\n"));
    EXPECT_TRUE(enabled(kPort));
    EXPECT_EQ(focusName(), "Clear");
    EXPECT_EQ(app_.openMessageBox(), nullptr);
    ASSERT_TRUE(settledBack(good_, 2));
    EXPECT_EQ(good_.received(), kTestRunBytes);
    EXPECT_EQ(good_.sent(), "28 65 01 00 " + hex("\x28\x65\x40"
                                                 "CU20029-T307A  "));
    // The test ran with the CTS handshake and put the line's own settings back. (Wine applies
    // speed and handshake one after the other, so a poll may also catch a state in between.)
    Lines seen = good_.settings();
    EXPECT_NE(std::find(seen.begin(), seen.end(), kTestSettings), seen.end()) << seen.size();

    std::string artifacts = env("LDT_ARTIFACTS");
    if (!artifacts.empty()) {
        CreateDirectoryW(driver::windowsPath(artifacts).c_str(), nullptr);
        EXPECT_TRUE(driver::saveWindowPng(app_.dialog(),
                                          driver::windowsPath(artifacts + "/dialog-pass.png")));
    }

    good_.mark();
    pressExitAndExpectCode();
    expectReleaseOnly(good_);
}

TEST_F(TestDialogTest, ReportsUnknownProductAndClearKeepsTheDisplayAnswered) {
    start(L"COM6");
    pressTestAndWait();
    EXPECT_EQ(text(kResult),
              answeringReport("CU40026-TW200A ", L"FAIL - unrecognised product type\r\n"));
    ASSERT_TRUE(settledBack(unknown_, 2));
    EXPECT_EQ(unknown_.received(), kTestRunBytes) << "set-up mode end and Test OK still go out";

    driver::click(app_.control(kClear));
    ASSERT_TRUE(driver::waitUntil([&] { return text(kResult) == L"Ready"; }, 3000));
    EXPECT_EQ(focusName(), "Test");

    // The display answered, well-formed: leaving re-initialises it even after Clear.
    unknown_.mark();
    pressExitAndExpectCode();
    expectReleaseOnly(unknown_);
}

TEST_F(TestDialogTest, ReportsNoAnswerWhenDisplayIsSilent) {
    start(L"COM7");
    DWORD started = GetTickCount();
    pressTestAndWait(20000);
    DWORD took = GetTickCount() - started;
    // Two 50-read silences of 100 ms each, plus the fixed pauses.
    EXPECT_GE(took, 10000u);
    EXPECT_EQ(text(kResult), L"User set up mode start returned 0 bytes:  (Incorrect)\r\n"
                             L"Read Status information (Product type) returned 0 bytes:\r\n"
                             L" (Incorrect)\r\n");
    EXPECT_EQ(app_.openMessageBox(), nullptr);
    ASSERT_TRUE(settledBack(silent_, 2));
    EXPECT_EQ(silent_.received(), kTestRunBytes);

    silent_.mark();
    pressExitAndExpectCode();
    Sleep(300);
    EXPECT_EQ(silent_.events(), Lines{}) << "no answer, no release: the port stays closed";
}

TEST_F(TestDialogTest, ShowsOpenFailureWhenPortDoesNotExist) {
    start(L"COM9");
    driver::click(app_.control(kTest));
    HWND box = app_.waitForMessageBox(L"Error.  Could not open COM port:");
    ASSERT_NE(box, nullptr);
    MessageBoxInfo info = driver::describeMessageBox(box);
    EXPECT_EQ(info.text, L"COM9");
    EXPECT_EQ(info.owner, app_.dialog());
    EXPECT_FALSE(info.hasIcon);
    EXPECT_EQ(info.buttonCount, 1);
    // The line is set before the box opens; the controls stay disabled under the box.
    EXPECT_EQ(text(kResult), L"Error: Could not open COM port.");
    EXPECT_FALSE(enabled(kTest));
    EXPECT_FALSE(enabled(kPort));
    EXPECT_FALSE(IsWindowEnabled(app_.dialog())) << "the box is modal to the dialog";

    driver::dismiss(box);
    ASSERT_TRUE(driver::waitUntil([&] { return enabled(kTest); }, 5000));
    EXPECT_TRUE(enabled(kPort));
    EXPECT_EQ(focusName(), "Clear");
    EXPECT_EQ(text(kResult), L"Error: Could not open COM port.");
    pressExitAndExpectCode();
}

TEST_F(TestDialogTest, CutsSeventeenCharacterNameAndOpensTheFirstSixteen) {
    // The emulator of the good display is also reachable as VFDPORT123456789.
    start(L"");
    driver::setText(app_.control(kPort), L"VFDPORT123456789X");
    driver::click(app_.control(kTest));
    HWND box = app_.waitForMessageBox(L"COM port name truncated to:");
    ASSERT_NE(box, nullptr);
    MessageBoxInfo info = driver::describeMessageBox(box);
    EXPECT_EQ(info.text, L"VFDPORT123456789");
    EXPECT_EQ(info.owner, app_.dialog());
    EXPECT_FALSE(info.hasIcon);
    EXPECT_EQ(text(kPort), L"VFDPORT123456789");
    EXPECT_EQ(text(kResult), L"") << "the truncation line follows the box";
    EXPECT_EQ(good_.received(), "") << "nothing is opened while the box is up";

    driver::dismiss(box);
    ASSERT_TRUE(driver::waitUntil([&] { return enabled(kTest); }, 5000));
    EXPECT_EQ(text(kResult), answeringReport("CU20029-T307A  ", L"PASS.\r\n"));
    ASSERT_TRUE(settledBack(good_, 2));
    EXPECT_EQ(good_.received(), kTestRunBytes);
    pressExitAndExpectCode();
}

TEST_F(TestDialogTest, EscapeAndEnterDoNothing) {
    start(L"COM5");
    ASSERT_EQ(focusName(), "Test");
    driver::pressKey(app_.focus(), VK_ESCAPE);
    // A Tab behind each key shows the key has been through the dialog's keyboard handling.
    driver::pressKey(app_.focus(), VK_TAB);
    ASSERT_TRUE(driver::waitUntil([&] { return focusName() == "Clear"; }, 3000));

    driver::pressKey(app_.focus(), VK_TAB); // Exit
    driver::pressKey(app_.focus(), VK_TAB); // result
    ASSERT_TRUE(driver::waitUntil([&] { return focusName() == "result"; }, 3000));
    driver::pressKey(app_.focus(), VK_TAB);
    ASSERT_TRUE(driver::waitUntil([&] { return focusName() == "port"; }, 3000));
    driver::pressKey(app_.focus(), VK_RETURN);
    driver::pressKey(app_.focus(), VK_TAB);
    ASSERT_TRUE(driver::waitUntil([&] { return focusName() == "Test"; }, 3000));

    EXPECT_TRUE(app_.running());
    EXPECT_EQ(app_.openMessageBox(), nullptr);
    EXPECT_EQ(text(kResult), L"Ready");
    EXPECT_EQ(text(kPort), L"COM5");
    EXPECT_EQ(good_.received(), "") << "neither key starts a test";
    pressExitAndExpectCode();
}

TEST_F(TestDialogTest, TabVisitsControlsInTemplateOrder) {
    start(L"");
    Lines visited = {focusName()};
    for (int i = 0; i < 5; ++i) {
        std::string before = visited.back();
        driver::pressKey(app_.focus(), VK_TAB);
        driver::waitUntil([&] { return focusName() != before; }, 3000);
        visited.push_back(focusName());
    }
    EXPECT_EQ(visited, (Lines{"port", "Test", "Clear", "Exit", "result", "port"}));
    pressExitAndExpectCode();
}

TEST_F(TestDialogTest, CloseBoxAfterGoodTestReleasesDisplayAndExitsZero) {
    start(L"COM5");
    pressTestAndWait();
    ASSERT_TRUE(settledBack(good_, 2));
    good_.mark();
    driver::requestClose(app_.dialog(), true);
    EXPECT_EQ(app_.waitForExit(), 0u);
    expectReleaseOnly(good_);
}

// How a request to leave reaches the dialog while a run waits in its failure box. The close
// box and Alt+F4 can't: the window system ignores system commands to the disabled dialog.
enum class LeaveRequest { CloseMessage, ExitClick };

class LeaveDuringRunTest : public TestDialogTest,
                           public testing::WithParamInterface<LeaveRequest> {};

TEST_P(LeaveDuringRunTest, WaitsForTheRunToEndWhenItsBoxIsOpen) {
    start(L"COM9");
    driver::click(app_.control(kTest));
    HWND box = app_.waitForMessageBox(L"Error.  Could not open COM port:");
    ASSERT_NE(box, nullptr);
    switch (GetParam()) {
    case LeaveRequest::CloseMessage:
        driver::requestClose(app_.dialog(), false);
        break;
    case LeaveRequest::ExitClick:
        PostMessageW(app_.dialog(), WM_COMMAND, MAKEWPARAM(kExit, BN_CLICKED),
                     reinterpret_cast<LPARAM>(app_.control(kExit)));
        break;
    }
    // A second Test as well: it must not start a run inside the suspended one.
    PostMessageW(app_.dialog(), WM_COMMAND, MAKEWPARAM(kTest, BN_CLICKED),
                 reinterpret_cast<LPARAM>(app_.control(kTest)));
    Sleep(500);
    EXPECT_TRUE(app_.running());
    EXPECT_TRUE(IsWindow(app_.dialog())) << "the dialog outlives the run's box";
    EXPECT_EQ(app_.openMessageBox(), box) << "no second run, no second box";
    EXPECT_EQ(text(kResult), L"Error: Could not open COM port.");

    driver::dismiss(box);
    EXPECT_EQ(app_.waitForExit(), 0u) << "the request is carried out once the run has returned";
}

INSTANTIATE_TEST_SUITE_P(Requests, LeaveDuringRunTest,
                         testing::Values(LeaveRequest::CloseMessage, LeaveRequest::ExitClick),
                         [](const testing::TestParamInfo<LeaveRequest>& info) {
                             return std::string(info.param == LeaveRequest::CloseMessage
                                                    ? "CloseMessage"
                                                    : "ExitClick");
                         });

// Dialog template 101 as a broken installation might hold it: the dialog window is made, then
// its one control, of a class nobody registers, is not, and creation fails.
std::vector<BYTE> templateWithUnknownControl() {
    std::vector<BYTE> data;
    auto word = [&](WORD w) {
        data.push_back(static_cast<BYTE>(w));
        data.push_back(static_cast<BYTE>(w >> 8));
    };
    auto dword = [&](DWORD d) {
        word(LOWORD(d));
        word(HIWORD(d));
    };
    auto string = [&](const wchar_t* text) {
        for (; *text != L'\0'; ++text) {
            word(static_cast<WORD>(*text));
        }
        word(0);
    };
    dword(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    dword(0);  // extended style
    word(1);   // controls
    word(50);  // x
    word(50);  // y
    word(229); // cx
    word(130); // cy
    word(0);   // no menu
    word(0);   // the dialog class
    string(driver::kDialogCaption);
    while (data.size() % 4 != 0) {
        data.push_back(0); // each control starts on a DWORD
    }
    dword(WS_CHILD | WS_VISIBLE);
    dword(0);
    word(7);
    word(7);
    word(50);
    word(14);
    word(1001);
    string(L"NoSuchWindowClass");
    word(0); // no text
    word(0); // no creation data
    return data;
}

INT_PTR CALLBACK plainDialogProc(HWND, UINT, WPARAM, LPARAM) {
    return FALSE;
}

// The last error with which this system fails to create the exe's dialog 101, tried here with
// a procedure that does nothing. Wine, like Windows before 10 21H1, gives no error (0) when a
// control can't be made; later Windows give ERROR_CANNOT_FIND_WND_CLASS (0x57f).
std::wstring creationFailureText(const std::wstring& exe) {
    HMODULE module = LoadLibraryExW(exe.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (module == nullptr) {
        return L"<cannot load the copy>";
    }
    HWND dialog = CreateDialogParamW(module, MAKEINTRESOURCEW(101), nullptr, plainDialogProc, 0);
    DWORD error = GetLastError();
    FreeLibrary(module);
    if (dialog != nullptr) {
        DestroyWindow(dialog);
        return L"<the dialog was created>";
    }
    std::wostringstream text;
    text << L"Error x" << std::hex << error;
    return text.str();
}

TEST(StartupTest, ShowsErrorBoxUntilDismissedThenExitsOneWhenTheDialogCannotBeCreated) {
    std::wstring copy = driver::windowsPath(env("LDT_LOGS") + "/LineDisplayTest-nodialog.exe");
    ASSERT_TRUE(driver::copyWithResource(driver::windowsPath(env("LDT_APP")), copy, RT_DIALOG, 101,
                                         templateWithUnknownControl()));
    std::wstring expected = creationFailureText(copy);
    ASSERT_EQ(expected.rfind(L"Error x", 0), 0u) << "the broken template must fail here too";

    AppProcess app;
    ASSERT_TRUE(app.start(copy));
    HWND box = nullptr;
    driver::waitUntil(
        [&] {
            box = app.waitForMessageBox(L"CreateDialog", 0);
            return box != nullptr || !app.running();
        },
        30000);
    ASSERT_NE(box, nullptr) << "no CreateDialog box; exit code " << app.waitForExit(0);
    MessageBoxInfo info = driver::describeMessageBox(box);
    EXPECT_EQ(info.text, expected);
    EXPECT_EQ(info.owner, nullptr);
    EXPECT_TRUE(info.hasIcon) << "the warning icon";
    EXPECT_EQ(info.buttonCount, 1);

    // Nothing but the technician ends the box.
    Sleep(1500);
    EXPECT_TRUE(app.running());
    EXPECT_TRUE(IsWindowVisible(box)) << "the box closed by itself";
    driver::dismiss(box);
    EXPECT_EQ(app.waitForExit(), 1u);
}

} // namespace
