// The dialog procedure in this process: what initialisation leaves in the record and on the
// window, and what happens when it throws: an allocation failure (WinException from the
// new-handler) or anything else. The template and icons come from the
// built LineDisplayTest.exe, loaded as data.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <new>
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

} // namespace

namespace {

class TestDialogStartTest : public testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(ExePath.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
        ModuleInstance = module_;
        DialogState = nullptr;
        installAllocationFailureHandler();
    }
    void TearDown() override {
        std::set_new_handler(nullptr);
        FreeLibrary(module_);
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

// What the box said that the failed initialisation showed.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    HWND owner = nullptr;
    bool hasIcon = false;
};

struct Failure {
    const char* name;
    void (*install)(); // makes the next operator new of the failing thread throw
    const wchar_t* text;
};

void installUnknownThrow() {
    std::set_new_handler([] { throw 42; });
}

class TestDialogInitTest : public testing::TestWithParam<Failure> {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(ExePath.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
        ModuleInstance = module_;
        DialogState = nullptr;
    }
    void TearDown() override {
        std::set_new_handler(nullptr);
        FreeLibrary(module_);
    }

    HMODULE module_ = nullptr;
};

TEST_P(TestDialogInitTest, ShowsExceptionBoxAndKeepsTheDialogWithoutARecord) {
    const Failure& failure = GetParam();
    failure.install();

    // The box is modal on this thread: another thread reads and dismisses it.
    SeenBox seen;
    std::thread reader([&] {
        driver::waitUntil(
            [&] {
                HWND box = FindWindowW(L"#32770", L"Exception");
                if (box == nullptr || !IsWindowVisible(box)) {
                    return false;
                }
                driver::MessageBoxInfo info = driver::describeMessageBox(box);
                seen = {info.caption, info.text, info.owner, info.hasIcon};
                driver::dismiss(box);
                return true;
            },
            30000);
        if (seen.caption.empty()) {
            // The box never came: this thread is the only one that could end the modal loop.
            std::fprintf(stderr, "no Exception box appeared\n");
            std::fflush(stderr);
            ExitProcess(1);
        }
    });

    FailingThread = GetCurrentThreadId();
    HWND dialog =
        CreateDialogParamW(module_, MAKEINTRESOURCEW(IDD_TEST_DIALOG), nullptr, testDialogProc, 0);
    FailingThread = 0;
    reader.join();
    ASSERT_NE(dialog, nullptr) << "the dialog is created even though its initialisation failed";

    EXPECT_EQ(seen.caption, L"Exception");
    EXPECT_EQ(seen.text, failure.text);
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
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_TRUE(IsWindow(dialog));
    DestroyWindow(dialog);
    PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE); // the destroy posts one too
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TestDialogInitTest,
    testing::Values(Failure{"OutOfMemory", installAllocationFailureHandler, L"Out of memory"},
                    Failure{"Unknown", installUnknownThrow, L"Unknown"}),
    [](const testing::TestParamInfo<Failure>& info) { return std::string(info.param.name); });

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
