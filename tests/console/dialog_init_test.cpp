// The dialog procedure in this process: what initialisation leaves in the record and on the
// window, what it returns to the dialog manager and where the focus lands, and what happens when
// it throws: an allocation failure (WinException from the new-handler) or anything else. The
// template and icons come from the built LineDisplayTest.exe, loaded as data.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <new>
#include <ostream>
#include <string>
#include <thread>

#include "app/resource.h"
#include "app/startup.h"
#include "console/test_dialog.h"
#include "display/test_run.h"
#include "tools/driver/gui_driver.h"

// Set by the test: operator new, replaced in failing_new.cpp, fails on this thread.
extern std::atomic<DWORD> FailingThread;

namespace {

std::wstring ExePath;

// What testDialogProc answered to WM_INITDIALOG; the dialog manager acts on it and drops it.
INT_PTR InitResult = 0;

// The product's module loaded as data, standing in for the program's own instance.
class TestDialogStartTest : public testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW(ExePath.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
        ModuleInstance = module_;
        DialogState = nullptr;
        InitResult = 12345;
    }
    void TearDown() override {
        std::set_new_handler(nullptr);
        FreeLibrary(module_);
        driver::setConfiguredPort(L""); // the prefix is shared with the other console tests
    }

    HMODULE module_ = nullptr;
};

TEST_F(TestDialogStartTest, FillsTheRecordAndSetsTheWindowIconThenCloseFreesIt) {
    HWND dialog =
        CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_TEST_DIALOG), nullptr, testDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    ASSERT_NE(DialogState, nullptr);
    const TestDialogState& state = *DialogState;
    EXPECT_EQ(state.portBox, GetDlgItem(dialog, IDC_PORT));
    EXPECT_EQ(state.resultBox, GetDlgItem(dialog, IDC_RESULT));
    EXPECT_EQ(state.testButton, GetDlgItem(dialog, IDC_TEST));
    EXPECT_EQ(state.exitButton, GetDlgItem(dialog, IDC_EXIT));
    EXPECT_EQ(state.clearButton, GetDlgItem(dialog, IDC_CLEAR));
    // The prefix \\.\ and then zeros up to the end.
    std::wstring path(state.devicePath.units, kDevicePathUnits);
    EXPECT_EQ(path, std::wstring(L"\\\\.\\") + std::wstring(kDevicePathUnits - 4, L'\0'));
    EXPECT_EQ(state.lineSettings.baud, 0);
    EXPECT_EQ(state.lineSettings.stopBits, 0);
    EXPECT_EQ(state.lineSettings.handshake, 1);
    EXPECT_EQ(driver::text(GetDlgItem(dialog, IDC_RESULT)), L"Ready");

    // One icon, loaded from the module, serves as the big and the small window icon.
    LRESULT big = SendMessageW(dialog, WM_GETICON, ICON_BIG, 0);
    EXPECT_NE(big, 0);
    EXPECT_EQ(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0), big);

    // The close destroys the window, whose destruction runs the release and posts the quit,
    // and only then frees the record.
    SendMessageW(dialog, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(DialogState, nullptr);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

// A dialog whose creation fails is destroyed inside CreateDialogParamW, whose caller reads the
// last error afterwards: the destroy handling leaves it as it found it, even when the release it
// runs fails to open a port. (The procedure is called as the destroy would call it: destroying a
// shown window here would itself reset the error before the procedure sees it.)
TEST_F(TestDialogStartTest, DestroyLeavesTheLastErrorAsItFoundIt) {
    HWND dialog =
        CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_TEST_DIALOG), nullptr, testDialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    ASSERT_NE(DialogState, nullptr);
    // After a display has answered, the release opens the port the port box names.
    DisplayAnswered = true;
    driver::setText(GetDlgItem(dialog, IDC_PORT), L"LDTNOSUCHPORT");
    SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
    testDialogProc(dialog, WM_DESTROY, 0, 0);
    DWORD error = GetLastError();
    DisplayAnswered = false;
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the quit is posted";
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));

    DestroyWindow(dialog); // the release has run: this one only posts the quit
    PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    delete DialogState;
    DialogState = nullptr;
}

// What the box said that the failed initialisation showed.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    HWND owner = nullptr;
    bool hasIcon = false;
};

// One start of the dialog: the configured port, what fails, and what initialisation returns
// to the dialog manager, where the focus lands and which Exception box it shows.
struct InitCase {
    const char* name;
    const wchar_t* configuredPort; // empty: no "Port" value
    void (*install)();             // makes the next operator new of this thread throw; or none
    const wchar_t* boxText;        // the Exception box's text; nullptr: no box
    INT_PTR returns;
    const char* focus;
};

// Failures name the row, not its bytes.
void PrintTo(const InitCase& row, std::ostream* out) {
    *out << row.name;
}

void installUnknownThrow() {
    std::set_new_handler([] { throw 42; });
}

INT_PTR CALLBACK recordingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    INT_PTR result = testDialogProc(dialog, message, wParam, lParam);
    if (message == WM_INITDIALOG) {
        InitResult = result;
    }
    return result;
}

class TestDialogInitTest : public TestDialogStartTest,
                           public testing::WithParamInterface<InitCase> {};

TEST_P(TestDialogInitTest, ReturnsWhereTheFocusGoesAndShowsAnyFailure) {
    const InitCase& row = GetParam();
    ASSERT_TRUE(driver::setConfiguredPort(row.configuredPort));
    if (row.install != nullptr) {
        row.install();
    }

    // A box is modal on this thread: another thread reads and dismisses it.
    SeenBox seen;
    std::atomic<bool> created{false};
    std::thread reader([&] {
        bool ended = driver::waitUntil(
            [&] {
                HWND box = FindWindowW(L"#32770", L"Exception");
                if (box == nullptr || !IsWindowVisible(box)) {
                    return created.load();
                }
                driver::MessageBoxInfo info = driver::describeMessageBox(box);
                seen = {info.caption, info.text, info.owner, info.hasIcon};
                driver::dismiss(box);
                return true;
            },
            30000);
        if (!ended) {
            // A box of another caption holds the modal loop, and only this thread could end it.
            std::fprintf(stderr, "the dialog was not created and no Exception box appeared\n");
            std::fflush(stderr);
            ExitProcess(1);
        }
    });

    if (row.install != nullptr) {
        FailingThread = GetCurrentThreadId();
    }
    HWND dialog = CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_TEST_DIALOG), nullptr,
                                     recordingDialogProc, 0);
    FailingThread = 0;
    created = true;
    reader.join();
    ASSERT_NE(dialog, nullptr) << "the dialog is created even when its initialisation fails";

    EXPECT_EQ(InitResult, row.returns);
    EXPECT_EQ(driver::focusName(dialog, GetFocus()), row.focus);
    MSG msg;
    if (row.boxText == nullptr) {
        EXPECT_EQ(seen.caption, L"") << "a box although nothing failed: " << row.name;
        EXPECT_NE(DialogState, nullptr);
        SendMessageW(dialog, WM_CLOSE, 0, 0);
        PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE); // the destroy posts one
        return;
    }
    EXPECT_EQ(seen.caption, L"Exception");
    EXPECT_EQ(seen.text, row.boxText);
    EXPECT_EQ(seen.owner, nullptr);
    EXPECT_TRUE(seen.hasIcon) << "the warning icon";
    EXPECT_EQ(DialogState, nullptr);

    // Test has no record to run with: nothing changes.
    HWND result = GetDlgItem(dialog, IDC_RESULT);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_TEST, BN_CLICKED), 0);
    EXPECT_EQ(driver::text(result), L"");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_TEST)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_PORT)));
    // Clear needs no record.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_CLEAR, BN_CLICKED), 0);
    EXPECT_EQ(driver::text(result), L"Ready");
    // Exit still ends the loop: the quit message is posted, and the window stays.
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_EXIT, BN_CLICKED), 0);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_TRUE(IsWindow(dialog));
    DestroyWindow(dialog);
    PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE); // the destroy posts one too
}

// A port configured makes initialisation focus Test itself (FALSE); otherwise it leaves the
// focus to the dialog manager (TRUE), which gives it to the port box. A failure returns TRUE
// or -1 before any port is read, so the port box gets the focus even with one configured.
INSTANTIATE_TEST_SUITE_P(
    Starts, TestDialogInitTest,
    testing::Values(InitCase{"NoPortConfigured", L"", nullptr, nullptr, TRUE, "port"},
                    InitCase{"PortConfigured", L"COM5", nullptr, nullptr, FALSE, "Test"},
                    InitCase{"OutOfMemory", L"COM5", installAllocationFailureHandler,
                             L"Out of memory", TRUE, "port"},
                    InitCase{"Unknown", L"COM5", installUnknownThrow, L"Unknown", -1, "port"}),
    [](const testing::TestParamInfo<InitCase>& info) { return std::string(info.param.name); });

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: dialog_init_test PATH-TO-LineDisplayTest.exe\n");
        return 2;
    }
    ExePath = driver::windowsPath(argv[1]);
    return RUN_ALL_TESTS();
}
