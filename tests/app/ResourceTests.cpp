#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "app/Application.h"
#include "core/Gdiplus.h"
#include "resources/resource.h"

namespace {

// Launcher.exe lies in the tests' working folder; its resources are read
// without running it.
HMODULE shipped() {
    static const HMODULE module = LoadLibraryExW(
        L"Launcher.exe", nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    return module;
}

std::pair<const BYTE*, DWORD> resource(WORD id, LPCWSTR type) {
    HRSRC found = FindResourceW(shipped(), MAKEINTRESOURCEW(id), type);
    if (!found) return {nullptr, 0};
    return {static_cast<const BYTE*>(LockResource(LoadResource(shipped(), found))),
            SizeofResource(shipped(), found)};
}

}  // namespace

// This test binary holds a "PNG" resource that is no picture (Broken.rc), and
// kernel32 none at all: both leave the background empty.
TEST(ShippedResourcesTest, BackgroundPictureDecodesTo900By550) {
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
    {
        const std::unique_ptr<Gdiplus::Image> image(loadBackgroundImage(shipped()));
        ASSERT_NE(image, nullptr) << "Launcher.exe not found in the working folder, or no picture";
        EXPECT_EQ(std::make_tuple(image->GetWidth(), image->GetHeight(), image->GetPixelFormat()),
                  std::make_tuple(900u, 550u, PixelFormat32bppARGB));
    }
    EXPECT_EQ(loadBackgroundImage(GetModuleHandleW(nullptr)), nullptr);
    EXPECT_EQ(loadBackgroundImage(GetModuleHandleW(L"kernel32.dll")), nullptr);
    Gdiplus::GdiplusShutdown(token);
}

// The image starts with the hot spot, then its bitmap header (colour and mask
// planes, so twice the height).
TEST(ShippedResourcesTest, CursorIs32By32With32BitsAndHotSpotOneThree) {
    const auto [group, groupSize] = resource(IDC_LAUNCHER_CURSOR, RT_GROUP_CURSOR);
    ASSERT_TRUE(group && groupSize == 6 + 14 && reinterpret_cast<const WORD*>(group)[2] == 1);
    const auto [image, size] = resource(reinterpret_cast<const WORD*>(group)[9], RT_CURSOR);
    ASSERT_GT(size, 4 + sizeof(BITMAPINFOHEADER));
    const auto* hotSpot = reinterpret_cast<const WORD*>(image);
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(image + 4);
    EXPECT_EQ(std::make_tuple(hotSpot[0], hotSpot[1], header->biWidth, header->biHeight,
                              header->biBitCount),
              std::make_tuple(WORD{1}, WORD{3}, LONG{32}, LONG{64}, WORD{32}));
}
