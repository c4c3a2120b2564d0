#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "app/Application.h"
#include "core/Gdiplus.h"
#include "resources/resource.h"

namespace {

// Launcher.exe lies in the tests' working folder; its resources are read
// without running it.
class ShippedResourcesTest : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryExW(L"Launcher.exe", nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr) << "Launcher.exe not found in the working folder";
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
    }
    std::pair<const BYTE*, DWORD> resource(LPCWSTR name, LPCWSTR type) const {
        HRSRC found = FindResourceW(module_, name, type);
        if (!found) return {nullptr, 0};
        HGLOBAL loaded = LoadResource(module_, found);
        return {static_cast<const BYTE*>(LockResource(loaded)), SizeofResource(module_, found)};
    }
    HMODULE module_ = nullptr;
};

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colorCount, reserved;
    WORD planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupCursorEntry {
    WORD width, height, planes, bitCount;
    DWORD bytesInRes;
    WORD id;
};
#pragma pack(pop)

}  // namespace

TEST_F(ShippedResourcesTest, BackgroundPictureDecodesTo900By550) {
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
    {
        std::unique_ptr<Gdiplus::Image> image(loadBackgroundImage(module_));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->GetWidth(), 900u);
        EXPECT_EQ(image->GetHeight(), 550u);
        EXPECT_EQ(image->GetPixelFormat(), PixelFormat32bppARGB);
    }
    // A module without the picture leaves the background empty.
    EXPECT_EQ(loadBackgroundImage(GetModuleHandleW(nullptr)), nullptr);
    Gdiplus::GdiplusShutdown(token);
}

TEST_F(ShippedResourcesTest, IconGroupHasSixSizesAt32Bits) {
    auto [bytes, size] = resource(MAKEINTRESOURCEW(IDI_LAUNCHER), RT_GROUP_ICON);
    ASSERT_NE(bytes, nullptr);
    ASSERT_GE(size, 6u);
    const WORD count = reinterpret_cast<const WORD*>(bytes)[2];
    ASSERT_EQ(size, 6u + count * sizeof(GroupIconEntry));
    std::set<int> sizes;
    for (WORD i = 0; i < count; ++i) {
        const auto* entry = reinterpret_cast<const GroupIconEntry*>(bytes + 6) + i;
        const int width = entry->width ? entry->width : 256;
        const int height = entry->height ? entry->height : 256;
        EXPECT_EQ(width, height);
        EXPECT_EQ(entry->bitCount, 32) << width;
        sizes.insert(width);
        auto [image, imageSize] = resource(MAKEINTRESOURCEW(entry->id), RT_ICON);
        EXPECT_NE(image, nullptr) << width;
        EXPECT_EQ(imageSize, entry->bytesInRes) << width;
    }
    EXPECT_EQ(count, 6);
    EXPECT_EQ(sizes, (std::set<int>{256, 128, 64, 48, 32, 16}));
}

TEST_F(ShippedResourcesTest, CursorIs32By32With32BitsAndHotSpotOneThree) {
    auto [bytes, size] = resource(MAKEINTRESOURCEW(IDC_LAUNCHER_CURSOR), RT_GROUP_CURSOR);
    ASSERT_NE(bytes, nullptr);
    const WORD count = reinterpret_cast<const WORD*>(bytes)[2];
    ASSERT_EQ(count, 1);
    const auto* entry = reinterpret_cast<const GroupCursorEntry*>(bytes + 6);
    EXPECT_EQ(entry->width, 32);
    EXPECT_EQ(entry->height, 64);  // colour and mask planes

    // An RT_CURSOR image starts with the hot spot, then the bitmap header.
    auto [image, imageSize] = resource(MAKEINTRESOURCEW(entry->id), RT_CURSOR);
    ASSERT_NE(image, nullptr);
    ASSERT_GT(imageSize, 4 + sizeof(BITMAPINFOHEADER));
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(image + 4);
    EXPECT_EQ(header->biWidth, 32);
    EXPECT_EQ(header->biBitCount, 32);
    HICON cursor = CreateIconFromResourceEx(const_cast<BYTE*>(image), imageSize, FALSE, 0x00030000,
                                            32, 32, LR_DEFAULTCOLOR);
    ASSERT_NE(cursor, nullptr);
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(cursor, &info));
    EXPECT_FALSE(info.fIcon);
    EXPECT_EQ(info.xHotspot, 1u);
    EXPECT_EQ(info.yHotspot, 3u);
    BITMAP colour{};
    ASSERT_TRUE(info.hbmColor);
    GetObjectW(info.hbmColor, sizeof colour, &colour);
    EXPECT_EQ(colour.bmWidth, 32);
    EXPECT_EQ(colour.bmHeight, 32);
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    DestroyCursor(cursor);
}

TEST(ShippedVersionTest, VersionRecordNamesLauncherExe1001) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(L"Launcher.exe", &ignored);
    ASSERT_GT(size, 0u);
    std::string data(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(L"Launcher.exe", 0, size, data.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);

    wchar_t* internalName = nullptr;
    ASSERT_TRUE(VerQueryValueW(data.data(), L"\\StringFileInfo\\040904b0\\InternalName",
                               reinterpret_cast<void**>(&internalName), &length));
    EXPECT_STREQ(internalName, L"Launcher.exe");
}
