#include <gtest/gtest.h>

#include "TestSupport.h"
#include "updater/Manifest.h"

TEST(ManifestPathTest, SafePathsAndTheirNeighbours) {
    const struct {
        const char* path;
        bool safe;
    } cases[] = {
        {"Main.exe", true},
        {"data/sub/file.bin", true},
        {"con2.txt", true},
        {"console.log", true},
        {"com10", true},
        {".hidden", true},
        {"a..b", true},
        {"d\xC3\xA9j\xC3\xA0.txt", true},
        {"\xF0\x9F\x8E\xAE.dat", true},
        {"con .txt", false},
        {"COM\xC2\xB9", false},
        {"x.launcher-part", false},
        {"\xC3", false},
        {"\xED\xA0\x80.bin", false},
        {"\xE0\x80\xAE", false},
        {"\xF8\x88\x80\x80\x80", false},
        {"a\x7F", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isSafeManifestPath(c.path), c.safe) << c.path;
}

TEST(ManifestPathTest, Utf8DecodesToUtf16) {
    std::wstring wide;
    ASSERT_TRUE(decodeUtf8("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xAE", wide));
    EXPECT_EQ(wide, (std::wstring{L'a', 0x00E9, 0x20AC, 0xD83C, 0xDFAE}));
    EXPECT_EQ(widenForDisplay("\xFF"
                              "a"),
              (std::wstring{0x00FF, L'a'}));
}

TEST(ManifestPathTest, UrlPathsEncodeWhatAUrlCannotCarry) {
    EXPECT_EQ(joinUrlPath("/patch/", "manifest.json"), "/patch/manifest.json");
    EXPECT_EQ(joinUrlPath("/patch", "data/a b#c?d%e.bin"), "/patch/data/a%20b%23c%3Fd%25e.bin");
    EXPECT_EQ(joinUrlPath("/patch/", "\xC3\xA9"), "/patch/%C3%A9");
}
