// End-to-end tests of LineDisplayTest.exe: the program runs under Wine against emulated displays
// started by scripts/with-displays.sh (gui-good, gui-unknown with a product it does not accept,
// gui-silent, and the port gui-absent that does not exist), and is driven the way a technician
// would use it. The displays start at 9600 baud, so every change the program makes to the line
// shows in their logs.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/emulator_test.h"
#include "tests/support/expected_report.h"
#include "tests/support/outcomes.h"
#include "tools/driver/operator.h"

namespace {

using driver::AppProcess;
using driver::LeaveRequest;
using driver::MessageBoxInfo;
using Lines = std::vector<std::string>;

constexpr int kTest = driver::kTestButton;
constexpr int kExit = driver::kExitButton;
constexpr int kResult = driver::kResultBox;
constexpr int kPort = driver::kPortBox;

class TestDialogTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        for (auto [client, name] : {std::pair<EmulatorClient*, const char*>{&good_, "gui-good"},
                                    {&unknown_, "gui-unknown"},
                                    {&silent_, "gui-silent"}}) {
            ASSERT_TRUE(client->connect(name, error)) << error;
            client->mark();
        }
        absent_ = harnessPort("gui-absent");
        ASSERT_FALSE(absent_.empty()) << "run under scripts/with-displays.sh --absent gui-absent";
        ASSERT_TRUE(driver::clearSerialMap());
        ASSERT_TRUE(driver::setConfiguredPort(L""));
        ASSERT_TRUE(driver::setConfiguredPort(L"", driver::kOtherView));
    }

    // Starts the program with the port configured (none: no "Port" value) and waits for it.
    void start(const std::wstring& configuredPort) {
        ASSERT_TRUE(driver::setConfiguredPort(configuredPort));
        std::string error;
        ASSERT_TRUE(op_.start(driver::appUnderTest(), error)) << error;
    }

    // The end of a run re-enables Test and then gives Clear the focus: a moment may pass
    // between the two, with the focus nowhere.
    bool focusesClear() const {
        return driver::waitUntil([&] { return op_.focusName() == "Clear"; }, 3000);
    }

    // Presses Test on a run that stops in a box with that caption; the box, or nullptr.
    HWND pressTestForBox(const std::wstring& caption) {
        driver::click(op_.control(kTest));
        return op_.app().waitForMessageBox(caption);
    }

    // A box a run shows: that text, owned by the dialog, no icon, one button (OK).
    void expectRunBox(HWND box, const std::wstring& text) const {
        MessageBoxInfo info = driver::describeMessageBox(box);
        EXPECT_EQ(info.text, text);
        EXPECT_EQ(info.owner, op_.dialog());
        EXPECT_FALSE(info.hasIcon);
        EXPECT_EQ(info.buttonCount, 1);
    }

    // Waits until the log shows the line back at the emulator's own settings after a run.
    static bool settledBack(const EmulatorClient& log, size_t settingsCount) {
        return driver::waitUntil(
            [&] {
                Lines s = log.events("settings");
                return s.size() >= settingsCount && s.back() == k9600OneStop;
            },
            3000);
    }

    // After leaving: the release's ESC @ alone came, and the only line settings seen on the
    // way were the release's (38400 baud, no handshake) before the line's own came back. The
    // release holds its settings for the write and 20 ms, and the emulator polls them: they
    // may pass unseen here. The serial tests check them inside the link's own pause.
    static void expectReleaseOnly(const EmulatorClient& log) {
        EXPECT_EQ(log.receivedOnceItHas(hex(kInitialiseDisplay)), hex(kInitialiseDisplay));
        EXPECT_TRUE(driver::waitUntil(
            [&] {
                Lines s = log.events("settings");
                return s.empty() || s.back() == k9600OneStop;
            },
            3000));
        Lines seen = log.events("settings");
        if (!seen.empty()) {
            seen.pop_back();
        }
        EXPECT_EQ(seen, Lines(seen.size(), kRelease));
    }

    EmulatorClient good_;
    EmulatorClient unknown_;
    EmulatorClient silent_;
    std::wstring absent_;
    driver::Operator op_;
};

// Before any run: the configured port, the serial ports listed, Test focused. Tab visits the
// controls in the template's order; Escape on Test and Enter in the port box do nothing, the Tab
// behind each showing the key has been through the dialog's keyboard handling.
TEST_F(TestDialogTest, ShowsConfiguredPortListAndTabOrderAndIgnoresEscapeAndEnterBeforeAnyRun) {
    ASSERT_TRUE(driver::setSerialMapEntry(L"\\Device\\Serial4", good_.port()));
    ASSERT_TRUE(driver::setSerialMapEntry(L"\\Device\\Serial9", L"COM10"));
    ASSERT_TRUE(driver::setSerialMapEntry(L"\\Device\\Serial1", L"COM2"));
    start(good_.port());
    EXPECT_EQ(op_.text(kPort), good_.port());
    // Sorted as text, not by number: COM10 before COM2.
    std::vector<std::wstring> listed = {L"COM10", L"COM2", good_.port()};
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(driver::comboEntries(op_.control(kPort)), listed);
    EXPECT_EQ(op_.text(kResult), L"Ready");
    EXPECT_EQ(driver::text(op_.dialog()), L"Velmar qz71 LineDisplay Test");

    Lines visited = {op_.focusName()};
    for (UINT key : {UINT{VK_ESCAPE}, 0u, 0u, 0u, UINT{VK_RETURN}}) {
        std::string before = visited.back();
        if (key != 0) {
            driver::pressKey(op_.app().focus(), key);
        }
        driver::pressKey(op_.app().focus(), VK_TAB);
        driver::waitUntil([&] { return op_.focusName() != before; }, 3000);
        visited.push_back(op_.focusName());
    }
    EXPECT_EQ(visited, (Lines{"Test", "Clear", "Exit", "result", "port", "Test"}));
    EXPECT_TRUE(op_.app().running());
    EXPECT_EQ(op_.app().openMessageBox(), nullptr);
    EXPECT_EQ(op_.text(kResult), L"Ready");
    EXPECT_EQ(op_.text(kPort), good_.port());
    EXPECT_EQ(good_.received(), "") << "neither key starts a test";
    EXPECT_EQ(op_.exit(), 0u);
    EXPECT_EQ(good_.received(), "") << "Exit before any test opens no port";
}

// The program opens the OPOS key with no view flag: a "Port" kept only in the other view
// (the 64-bit one, for the 32-bit program) is not its configuration.
TEST_F(TestDialogTest, FocusesPortBoxWhenNoPortIsConfiguredInTheProgramsRegistryView) {
    ASSERT_TRUE(driver::setConfiguredPort(good_.port(), driver::kOtherView));
    start(L"");
    EXPECT_EQ(op_.text(kPort), L"");
    EXPECT_EQ(driver::comboEntries(op_.control(kPort)), std::vector<std::wstring>{});
    EXPECT_EQ(op_.focusName(), "port");
    EXPECT_EQ(op_.text(kResult), L"Ready");
    EXPECT_EQ(op_.exit(), 0u);
    EXPECT_TRUE(driver::setConfiguredPort(L"", driver::kOtherView));
}

TEST_F(TestDialogTest, ReportsPassAndReinitialisesDisplayOnExitWhenDisplayIsGood) {
    start(good_.port());
    ASSERT_EQ(op_.runWithoutBoxes(5000), "");
    EXPECT_EQ(op_.text(kResult), expectedShown(outcomeRow("pass"), good_.port()).result);
    EXPECT_TRUE(op_.enabled(kPort));
    EXPECT_TRUE(focusesClear()) << op_.focusName();
    EXPECT_EQ(op_.app().openMessageBox(), nullptr);
    ASSERT_TRUE(settledBack(good_, 2));
    EXPECT_EQ(good_.received(), kTestRunBytes);
    EXPECT_EQ(good_.sent(), hex(kSetupAckReply) + " " + hex(productReply(kKnownTypes[0])));
    // The test ran with the CTS handshake and put the line's own settings back. (Wine applies
    // speed and handshake one after the other, so a poll may also catch a state in between.)
    Lines seen = good_.events("settings");
    EXPECT_NE(std::find(seen.begin(), seen.end(), kTestDefaults), seen.end()) << seen.size();

    std::string artifacts = driver::environment("LDT_ARTIFACTS");
    if (!artifacts.empty()) {
        CreateDirectoryW(driver::windowsPath(artifacts).c_str(), nullptr);
        EXPECT_TRUE(driver::saveWindowBitmap(op_.dialog(),
                                             driver::windowsPath(artifacts + "/dialog-pass.bmp")));
    }

    good_.mark();
    EXPECT_EQ(op_.exit(), 0u);
    expectReleaseOnly(good_);
}

TEST_F(TestDialogTest, ReportsUnknownProductAndClearKeepsTheDisplayAnswered) {
    start(unknown_.port());
    ASSERT_EQ(op_.runWithoutBoxes(5000), "");
    EXPECT_EQ(op_.text(kResult),
              expectedShown(outcomeRow("unknown-product"), unknown_.port()).result);
    EXPECT_NE(op_.text(kResult).find(L"FAIL - unrecognised product type\r\n"), std::wstring::npos);
    ASSERT_TRUE(settledBack(unknown_, 2));
    EXPECT_EQ(unknown_.received(), kTestRunBytes) << "set-up mode end and Test OK still go out";

    ASSERT_TRUE(op_.clear()) << "focus: " << op_.focusName();

    // The display answered, well-formed: leaving re-initialises it even after Clear.
    unknown_.mark();
    EXPECT_EQ(op_.exit(), 0u);
    expectReleaseOnly(unknown_);
}

TEST_F(TestDialogTest, ReportsNoAnswerWhenDisplayIsSilent) {
    start(silent_.port());
    DWORD started = GetTickCount();
    ASSERT_EQ(op_.runWithoutBoxes(20000), "");
    DWORD took = GetTickCount() - started;
    // Two 50-read silences of 100 ms each, plus the fixed pauses.
    EXPECT_GE(took, 10000u);
    EXPECT_EQ(op_.text(kResult), expectedShown(outcomeRow("silent"), silent_.port()).result);
    EXPECT_EQ(op_.app().openMessageBox(), nullptr);
    ASSERT_TRUE(settledBack(silent_, 2));
    EXPECT_EQ(silent_.received(), kTestRunBytes);

    silent_.mark();
    EXPECT_EQ(op_.exit(), 0u);
    Sleep(300);
    std::vector<EmulatorEvent> after = silent_.events();
    EXPECT_TRUE(after.empty())
        << "no answer, no release: the port stays closed, yet the display saw "
        << testing::PrintToString(after);
}

// A run that can't open its port waits in its box; the technician dismisses it and goes on, or
// first asks to leave, which is carried out once the run has returned. A second Test comes too:
// the button is disabled, so only a posted command can ask for a run inside the waiting one.
class OpenFailureTest : public TestDialogTest,
                        public testing::WithParamInterface<std::optional<LeaveRequest>> {};

TEST_P(OpenFailureTest, RunWaitsInItsBoxUntilDismissedWhenThePortDoesNotExist) {
    start(absent_);
    const Shown failed = expectedShown(outcomeRow("open-failure"), absent_);
    HWND box = pressTestForBox(failed.boxes.at(0).caption);
    ASSERT_NE(box, nullptr);
    expectRunBox(box, failed.boxes.at(0).text);
    // The line is set before the box opens; the controls stay disabled under the box.
    EXPECT_EQ(op_.text(kResult), failed.result);
    EXPECT_FALSE(op_.enabled(kTest));
    EXPECT_FALSE(op_.enabled(kPort));
    EXPECT_FALSE(IsWindowEnabled(op_.dialog())) << "the box is modal to the dialog";

    if (GetParam()) {
        op_.requestLeave(*GetParam());
    }
    op_.postCommand(kTest);
    Sleep(500);
    EXPECT_TRUE(op_.app().running());
    EXPECT_TRUE(IsWindow(op_.dialog())) << "the dialog outlives the run's box";
    EXPECT_EQ(op_.app().openMessageBoxes(), std::vector<HWND>{box})
        << "no second run, no second box";
    EXPECT_EQ(op_.text(kResult), failed.result);

    driver::dismiss(box);
    if (GetParam()) {
        EXPECT_EQ(op_.app().waitForExit(), 0u)
            << "the request is carried out once the run has returned";
        return;
    }
    ASSERT_TRUE(driver::waitUntil([&] { return op_.enabled(kTest); }, 5000));
    EXPECT_TRUE(op_.enabled(kPort));
    EXPECT_TRUE(focusesClear()) << op_.focusName();
    EXPECT_EQ(op_.text(kResult), failed.result);
    EXPECT_EQ(op_.exit(), 0u);
}

INSTANTIATE_TEST_SUITE_P(WaysOn, OpenFailureTest,
                         testing::Values(std::nullopt, LeaveRequest::CloseMessage,
                                         LeaveRequest::ExitCommand),
                         [](const auto& row) {
                             return row.param ? testing::PrintToString(*row.param) : "Dismiss";
                         });

TEST_F(TestDialogTest, CutsSeventeenCharacterNameAndOpensTheFirstSixteen) {
    // The good display is also reachable by a name of 16 characters (scripts/ports.table).
    ASSERT_GE(good_.ports().size(), 2u);
    const std::wstring sixteen = good_.ports()[1];
    ASSERT_EQ(sixteen.size(), 16u);
    start(L"");
    op_.typePort(sixteen + L"X");
    const ShownBox cut = expectedShown(outcomeRow("truncated"), sixteen + L"X").boxes.at(0);
    HWND box = pressTestForBox(cut.caption);
    ASSERT_NE(box, nullptr);
    expectRunBox(box, cut.text);
    EXPECT_EQ(op_.text(kPort), sixteen);
    EXPECT_EQ(op_.text(kResult), L"") << "the truncation line follows the box";
    EXPECT_EQ(good_.received(), "") << "nothing is opened while the box is up";

    driver::dismiss(box);
    ASSERT_TRUE(driver::waitUntil([&] { return op_.enabled(kTest); }, 5000));
    EXPECT_EQ(op_.text(kResult), expectedShown(outcomeRow("pass"), sixteen).result);
    ASSERT_TRUE(settledBack(good_, 2));
    EXPECT_EQ(good_.received(), kTestRunBytes);
    EXPECT_EQ(op_.exit(), 0u);
}

TEST_F(TestDialogTest, CloseBoxAfterGoodTestReleasesDisplayAndExitsZero) {
    start(good_.port());
    ASSERT_EQ(op_.runWithoutBoxes(5000), "");
    ASSERT_TRUE(settledBack(good_, 2));
    good_.mark();
    driver::requestClose(op_.dialog(), true);
    EXPECT_EQ(op_.app().waitForExit(), 0u);
    expectReleaseOnly(good_);
}

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
    // Style, extended style; one control; x, y, cx, cy; no menu; the dialog class; the caption.
    dword(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    dword(0);
    for (WORD w : {1, 50, 50, 229, 130, 0, 0}) {
        word(w);
    }
    string(driver::kDialogCaption);
    while (data.size() % 4 != 0) {
        data.push_back(0); // each control starts on a DWORD
    }
    // The control: style, extended style; x, y, cx, cy, id; its class; no text, no creation data.
    dword(WS_CHILD | WS_VISIBLE);
    dword(0);
    for (WORD w : {7, 7, 50, 14, kTest}) {
        word(w);
    }
    string(L"NoSuchWindowClass");
    word(0);
    word(0);
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
    std::wstring copy =
        driver::windowsPath(driver::environment("LDT_RUN_DIR") + "/LineDisplayTest-nodialog.exe");
    ASSERT_TRUE(driver::copyWithResource(driver::appUnderTest(), copy, RT_DIALOG, 101,
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
