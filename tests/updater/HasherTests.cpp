#include "TestSupport.h"
#include "updater/FileHasher.h"

using namespace testing_support;

// Expected digests computed with Python's hashlib over patternBytes(size).
// What cannot be read (missing, a folder, held without sharing) gives "".
TEST(FileHasherTest, DigestsMatchHashlibAndUnreadableFilesGiveNone) {
    Sandbox sandbox("hasher");
    const struct {
        std::size_t size;
        const char* digest;
    } cases[] = {
        {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {1, "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
        {8191, "ebf91153e6bc4f7ccc97ce35630bbc73dd0d79db1c767aa82c63fc892f850154"},
        {8192, "498630374d56ea4c53c5baaee00b630be09ca5dbe678b11b1a81b37f1058635f"},
        {8193, "dc551885e957d91fe438a3c63ee2713188c54495c557de28d31c57b044d955a6"},
        {3 * 8192, "c5562aa947db7ee501ab02e79d19e33aed809863ef2907804ad7eec279bc2d37"},
        {50000017, "12f29ad6ac6650213d62bf05645d97f328ffe7b0c0cc9b10e46a67741453dc45"},
    };
    for (const auto& c : cases) {
        const std::string name = std::to_string(c.size) + ".bin";
        sandbox.put(name, patternBytes(c.size));
        EXPECT_EQ(hashFile(sandbox.at(name)), c.digest) << c.size << " bytes";
    }
    sandbox.put("folder/", "");
    sandbox.put("locked.bin", "locked");
    HANDLE lock = CreateFileW(sandbox.at("locked.bin").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    for (const char* unreadable : {"missing.bin", "folder", "locked.bin"})
        EXPECT_EQ(hashFile(sandbox.at(unreadable)), "") << unreadable;
    CloseHandle(lock);
    EXPECT_EQ(hashFile(sandbox.at("locked.bin")), sha256Of("locked"));
}
