#include <gtest/gtest.h>

#include <memory>
#include <tuple>

#include "app/Application.h"
#include "core/Gdiplus.h"

// Launcher.exe lies in the tests' working folder; its picture is read without
// running it. This test binary holds a "PNG" resource that is no picture
// (Broken.rc), and kernel32 none at all: both leave the background empty.
TEST(ShippedResourcesTest, BackgroundPictureDecodesTo900By550) {
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, nullptr), Gdiplus::Ok);
    HMODULE shipped = LoadLibraryExW(L"Launcher.exe", nullptr,
                                     LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    {
        const std::unique_ptr<Gdiplus::Image> image(loadBackgroundImage(shipped));
        ASSERT_NE(image, nullptr) << "Launcher.exe not found in the working folder, or no picture";
        EXPECT_EQ(std::make_tuple(image->GetWidth(), image->GetHeight(), image->GetPixelFormat()),
                  std::make_tuple(900u, 550u, PixelFormat32bppARGB));
        // Made ready for the screen when the program was built (the frame
        // tests compare them with the decoded picture).
        EXPECT_NE(findBackgroundPixels(shipped), nullptr);
    }
    EXPECT_EQ(loadBackgroundImage(GetModuleHandleW(nullptr)), nullptr);
    EXPECT_EQ(loadBackgroundImage(GetModuleHandleW(L"kernel32.dll")), nullptr);
    FreeLibrary(shipped);
    Gdiplus::GdiplusShutdown(token);
}
