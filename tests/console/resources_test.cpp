// Checks the built LineDisplayTest.exe as Windows loads it: its headers (a GUI program for the
// target named), the dialog template, both icon groups, the version block and the manifest.
// A 64-bit build of this test checks the 32-bit product too, which it loads as data only.
#include <gtest/gtest.h>
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "tools/driver/gui_driver.h"

namespace {

std::wstring ExePath;
std::string ExpectedMachine; // "i386" or "x86-64"

class ResourcesTest : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        module_ = LoadLibraryExW(ExePath.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    static void TearDownTestSuite() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    void SetUp() override { ASSERT_NE(module_, nullptr) << "cannot load the exe as data"; }

    static std::vector<uint8_t> resource(LPCWSTR type, LPCWSTR name) {
        HRSRC found = FindResourceW(module_, name, type);
        if (found == nullptr) {
            return {};
        }
        auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(module_, found)));
        return std::vector<uint8_t>(data, data + SizeofResource(module_, found));
    }

    static HMODULE module_;
};

HMODULE ResourcesTest::module_ = nullptr;

std::string quoted(const std::wstring& text) {
    return "'" + std::string(text.begin(), text.end()) + "'";
}

// Reads a dialog template field by field.
class TemplateReader {
  public:
    explicit TemplateReader(const std::vector<uint8_t>& data) : data_(data) {}
    uint16_t word() {
        uint16_t value = 0;
        if (offset_ + 2 <= data_.size()) {
            value = static_cast<uint16_t>(data_[offset_] | data_[offset_ + 1] << 8);
        }
        offset_ += 2;
        return value;
    }
    uint32_t dword() {
        uint32_t low = word();
        return low | static_cast<uint32_t>(word()) << 16;
    }
    std::wstring string() {
        std::wstring text;
        while (uint16_t unit = word()) {
            text += static_cast<wchar_t>(unit);
        }
        return text;
    }
    // A name or an ordinal (0xFFFF then the number); an empty name is "none".
    std::string nameOrOrdinal() {
        uint16_t first = word();
        if (first == 0xFFFF) {
            return "#" + std::to_string(word());
        }
        if (first == 0) {
            return "none";
        }
        offset_ -= 2;
        return quoted(string());
    }
    // A rectangle in dialog units, as "x,y wxh".
    std::string place() {
        std::string text = std::to_string(static_cast<int16_t>(word()));
        text += "," + std::to_string(static_cast<int16_t>(word()));
        text += " " + std::to_string(static_cast<int16_t>(word()));
        return text + "x" + std::to_string(static_cast<int16_t>(word()));
    }
    void alignDword() { offset_ = (offset_ + 3) & ~static_cast<size_t>(3); }
    void skip(size_t n) { offset_ += n; }

  private:
    const std::vector<uint8_t>& data_;
    size_t offset_ = 0;
};

std::string hex(uint32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", value);
    return buffer;
}

// The predefined classes may be written as atoms or as names; both create the same control.
std::string className(const std::string& written) {
    static const std::map<std::string, std::string> kAtoms = {
        {"#128", "'BUTTON'"}, {"#129", "'EDIT'"}, {"#130", "'STATIC'"}, {"#133", "'COMBOBOX'"}};
    auto atom = kAtoms.find(written);
    if (atom != kAtoms.end()) {
        return atom->second;
    }
    std::string upper = written;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return upper;
}

TEST_F(ResourcesTest, DialogTemplateMatchesTheLayout) {
    std::vector<uint8_t> data = resource(RT_DIALOG, MAKEINTRESOURCEW(101));
    ASSERT_FALSE(data.empty());
    TemplateReader reader(data);
    std::vector<std::string> lines;
    ASSERT_EQ(reader.word(), 1); // version
    ASSERT_EQ(reader.word(), 0xFFFF) << "an extended template";
    reader.dword(); // help id
    uint32_t exStyle = reader.dword();
    uint32_t style = reader.dword();
    uint16_t items = reader.word();
    std::string place = reader.place();
    std::string menu = reader.nameOrOrdinal();
    std::string windowClass = reader.nameOrOrdinal();
    std::string caption = quoted(reader.string());
    uint16_t points = reader.word();
    uint16_t weight = reader.word();
    uint16_t italicAndCharset = reader.word();
    std::string font = quoted(reader.string());
    lines.push_back("dialog " + place + " style " + hex(style) + " ex " + hex(exStyle) + " menu " +
                    menu + " class " + windowClass + " caption " + caption + " font " +
                    std::to_string(points) + " " + std::to_string(weight) + " italic " +
                    std::to_string(italicAndCharset & 0xFF) + " " + font);
    for (uint16_t i = 0; i < items; ++i) {
        reader.alignDword();
        reader.dword(); // help id
        uint32_t itemExStyle = reader.dword();
        uint32_t itemStyle = reader.dword();
        std::string itemPlace = reader.place();
        int32_t id = static_cast<int32_t>(reader.dword());
        std::string itemClass = className(reader.nameOrOrdinal());
        std::string itemText = reader.nameOrOrdinal();
        reader.skip(reader.word());
        lines.push_back(std::to_string(id) + " " + itemClass + " " + itemText + " " + itemPlace +
                        " style " + hex(itemStyle) + " ex " + hex(itemExStyle));
    }
    // Styles: the dialog is
    // WS_VISIBLE|WS_CAPTION|WS_SYSMENU|WS_MINIMIZEBOX|DS_MODALFRAME|DS_SETFONT|DS_FIXEDSYS with
    // WS_EX_NOPARENTNOTIFY; the group box has no WS_GROUP; the combo box is CBS_DROPDOWN|
    // CBS_SORT|WS_VSCROLL|WS_TABSTOP without CBS_AUTOHSCROLL; the buttons are plain push
    // buttons (none is the default); the result box is ES_MULTILINE|ES_READONLY|ES_AUTOHSCROLL|
    // WS_BORDER|WS_TABSTOP; the version text is SS_LEFT|WS_GROUP.
    std::vector<std::string> expected = {
        "dialog 50,50 229x130 style 10ca00c8 ex 00000004 menu none class none caption 'Velmar "
        "qz71 LineDisplay Test' font 8 400 italic 0 'MS Shell Dlg'",
        "-1 'BUTTON' 'COM Port     ' 7,7 156x46 style 50000007 ex 00000000",
        "1005 'COMBOBOX' none 19,24 126x96 style 50210102 ex 00000000",
        "1001 'BUTTON' 'Test' 7,60 50x14 style 50010000 ex 00000000",
        "1003 'BUTTON' 'Clear' 70,60 50x14 style 50010000 ex 00000000",
        "1002 'BUTTON' 'Exit' 159,60 50x14 style 50010000 ex 00000000",
        "1004 'EDIT' none 7,81 214x41 style 50810884 ex 00000000",
        "-1 'STATIC' #103 179,23 21x20 style 50000003 ex 00000000",
        "-1 'STATIC' 'Version 1.0.0.3' 167,7 54x11 style 50020000 ex 00000000",
    };
    EXPECT_EQ(lines, expected);
}

// Every name of a resource type, in the order the loader gives them; 0 for a string name.
BOOL CALLBACK allNames(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR param) {
    reinterpret_cast<std::vector<uintptr_t>*>(param)->push_back(
        IS_INTRESOURCE(name) ? reinterpret_cast<uintptr_t>(name) : 0);
    return TRUE;
}

TEST_F(ResourcesTest, ProgramIconIsTheFirstIconGroup) {
    std::vector<uintptr_t> names;
    EnumResourceNamesW(module_, RT_GROUP_ICON, allNames, reinterpret_cast<LONG_PTR>(&names));
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), 102u);
}

// Every image of an icon group, decoded the way the window system does it.
std::vector<std::string> decodeGroup(HMODULE module, int group) {
    std::vector<std::string> images;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(group), RT_GROUP_ICON);
    if (found == nullptr) {
        return images;
    }
    auto* dir = static_cast<const uint8_t*>(LockResource(LoadResource(module, found)));
    uint16_t count = static_cast<uint16_t>(dir[4] | dir[5] << 8);
    for (uint16_t i = 0; i < count; ++i) {
        const uint8_t* entry = dir + 6 + 14 * i; // GRPICONDIRENTRY
        int size = entry[0] == 0 ? 256 : entry[0];
        int bits = entry[6] | entry[7] << 8;
        int id = entry[12] | entry[13] << 8;
        HRSRC image = FindResourceW(module, MAKEINTRESOURCEW(id), RT_ICON);
        std::string line = std::to_string(size) + "px " + std::to_string(bits) + "bpp";
        if (image == nullptr) {
            images.push_back(line + " missing");
            continue;
        }
        auto* bytes = static_cast<BYTE*>(LockResource(LoadResource(module, image)));
        DWORD length = SizeofResource(module, image);
        auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(bytes);
        line += " header " + std::to_string(header->biWidth) + "x" +
                std::to_string(header->biHeight) + "/" + std::to_string(header->biBitCount);
        HICON icon = CreateIconFromResourceEx(bytes, length, TRUE, 0x00030000, size, size, 0);
        ICONINFO info{};
        BITMAP colour{};
        if (icon != nullptr && GetIconInfo(icon, &info) && info.hbmColor != nullptr &&
            GetObjectW(info.hbmColor, sizeof colour, &colour)) {
            line += " decodes " + std::to_string(colour.bmWidth) + "x" +
                    std::to_string(colour.bmHeight);
        } else {
            line += " does not decode";
        }
        // Each refuses a null handle harmlessly.
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
        images.push_back(line);
    }
    return images;
}

TEST_F(ResourcesTest, IconsDecodeAtTheirSizesAndDepths) {
    // The header's height is doubled: colour rows then the transparency mask.
    EXPECT_EQ(decodeGroup(module_, 102),
              (std::vector<std::string>{"48px 24bpp header 48x96/24 decodes 48x48",
                                        "32px 24bpp header 32x64/24 decodes 32x32",
                                        "16px 24bpp header 16x32/24 decodes 16x16"}));
    EXPECT_EQ(decodeGroup(module_, 103),
              (std::vector<std::string>{"32px 4bpp header 32x64/4 decodes 32x32"}));
}

TEST_F(ResourcesTest, VersionBlockNamesTheProgram) {
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(ExePath.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<uint8_t> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(ExePath.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000003u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000002u);
    EXPECT_EQ(fixed->dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0009);
    EXPECT_EQ(translation[1], 1200);

    std::vector<std::string> strings;
    for (const wchar_t* name :
         {L"FileVersion", L"ProductVersion", L"FileDescription", L"Comments", L"CompanyName",
          L"LegalCopyright", L"OriginalFilename", L"InternalName", L"ProductName"}) {
        std::wstring query = std::wstring(L"\\StringFileInfo\\000904b0\\") + name;
        wchar_t* value = nullptr;
        std::string line = std::string(name, name + wcslen(name)) + "=";
        if (VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value),
                           &length)) {
            line += quoted(value);
        }
        strings.push_back(line);
    }
    EXPECT_EQ(strings, (std::vector<std::string>{
                           "FileVersion='1.0.0.3'",
                           "ProductVersion='1.0.0.3'",
                           "FileDescription='Test for VFD'",
                           "Comments='Utility to test VFD hardware configuration and connection'",
                           "CompanyName='Velmar'",
                           "LegalCopyright='Copyright (C) Velmar'",
                           "OriginalFilename='LineDisplayTest.exe'",
                           "InternalName='LineDisplayTest'",
                           "ProductName='Velmar qz71 LineDisplay Test'",
                       }));
}

// Little-endian fields of the file as it lies on disk, before any loader sees it.
TEST(ExeHeadersTest, IsAGuiProgramForTheExpectedTarget) {
    std::vector<uint8_t> file;
    if (FILE* in = _wfopen(ExePath.c_str(), L"rb")) {
        uint8_t buffer[4096];
        size_t n = fread(buffer, 1, sizeof buffer, in); // the headers lie in the first page
        file.assign(buffer, buffer + n);
        fclose(in);
    }
    ASSERT_GE(file.size(), 0x40u) << "cannot read the exe";
    auto u16 = [&](size_t at) {
        return at + 2 <= file.size() ? static_cast<unsigned>(file[at] | file[at + 1] << 8) : 0u;
    };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    ASSERT_EQ(u16(0), 0x5A4Du) << "no MZ header";
    size_t pe = u32(0x3C);
    ASSERT_EQ(u32(pe), 0x00004550u) << "no PE signature";
    size_t optional = pe + 24;
    unsigned subsystem = u16(optional + 68); // the same offset in PE32 and PE32+
    std::string found = u16(pe + 4) == 0x014C && u16(optional) == 0x010B   ? "i386 PE32"
                        : u16(pe + 4) == 0x8664 && u16(optional) == 0x020B ? "x86-64 PE32+"
                                                                           : "other";
    EXPECT_EQ(found, ExpectedMachine == "i386" ? "i386 PE32" : "x86-64 PE32+");
    EXPECT_EQ(subsystem, static_cast<unsigned>(IMAGE_SUBSYSTEM_WINDOWS_GUI));
    EXPECT_NE(u16(pe + 22) & IMAGE_FILE_EXECUTABLE_IMAGE, 0u);
    EXPECT_EQ(u16(pe + 22) & IMAGE_FILE_DLL, 0u);
}

TEST_F(ResourcesTest, ManifestAsksOnlyForTheInvokersLevel) {
    std::vector<uintptr_t> names;
    EnumResourceNamesW(module_, RT_MANIFEST, allNames, reinterpret_cast<LONG_PTR>(&names));
    EXPECT_EQ(names, std::vector<uintptr_t>{1});
    std::vector<uint8_t> data = resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
    std::string manifest(data.begin(), data.end());
    EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"),
              std::string::npos)
        << manifest;
    // Anything more, a common-controls dependency above all, would change the program.
    EXPECT_EQ(manifest.find("dependency"), std::string::npos) << manifest;
    EXPECT_EQ(manifest.find("Common-Controls"), std::string::npos) << manifest;
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3 || (std::string(argv[2]) != "i386" && std::string(argv[2]) != "x86-64")) {
        std::fprintf(stderr, "usage: resources_test PATH-TO-LineDisplayTest.exe i386|x86-64\n");
        return 2;
    }
    ExePath = driver::windowsPath(argv[1]);
    ExpectedMachine = argv[2];
    return RUN_ALL_TESTS();
}
