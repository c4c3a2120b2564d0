#include "TestSupport.h"
#include "updater/FileHasher.h"

using namespace testing_support;

// Expected digests computed with Python's hashlib over patternBytes(size):
// empty, across the first pattern change, and across many read blocks.
// What cannot be read (missing, a folder, held without sharing) gives "".
TEST(FileHasherTest, DigestsMatchHashlibAndUnreadableFilesGiveNone) {
    Sandbox sandbox("hasher");
    const std::pair<std::size_t, const char*> cases[] = {
        {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {8193, "dc551885e957d91fe438a3c63ee2713188c54495c557de28d31c57b044d955a6"},
        {50000017, "12f29ad6ac6650213d62bf05645d97f328ffe7b0c0cc9b10e46a67741453dc45"},
    };
    for (const auto& [size, digest] : cases) {
        sandbox.put(std::to_string(size), patternBytes(size));
        EXPECT_EQ(hashFile(sandbox.at(std::to_string(size))), digest) << size << " bytes";
    }
    sandbox.put("folder/", "");
    sandbox.put("locked", "locked");
    const UniqueFile lock(CreateFileW(sandbox.at("locked").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    for (const char* unreadable : {"missing", "folder", "locked"})
        EXPECT_EQ(hashFile(sandbox.at(unreadable)), "") << unreadable;
}
