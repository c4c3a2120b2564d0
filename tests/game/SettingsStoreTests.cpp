#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "GameTestSupport.h"
#include "game/GameSettings.h"

namespace {

struct StoredValue {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};

StoredValue dword(const wchar_t* name, uint32_t number) {
    return {name,
            REG_DWORD,
            {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
             static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)}};
}

StoredValue raw(const wchar_t* name, DWORD type, std::vector<BYTE> data) {
    return {name, type, std::move(data)};
}

StoredValue text(const wchar_t* name, const std::wstring& value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(value.c_str());
    return {name, REG_SZ, std::vector<BYTE>(bytes, bytes + (value.size() + 1) * sizeof(wchar_t))};
}

void store(const std::vector<StoredValue>& values) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kGameSettingsKeyPath, 0, nullptr, 0, KEY_WRITE,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const StoredValue& v : values) {
        EXPECT_EQ(
            RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.empty() ? nullptr : v.data.data(),
                           static_cast<DWORD>(v.data.size())),
            ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

// The type and the four bytes of a stored value, or an empty type if absent.
struct ReadBack {
    DWORD type = REG_NONE;
    uint32_t number = 0;
    bool present = false;
};

ReadBack readBack(const wchar_t* name) {
    ReadBack result;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kGameSettingsKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return result;
    BYTE data[16] = {};
    DWORD size = sizeof data;
    if (RegQueryValueExW(key, name, nullptr, &result.type, data, &size) == ERROR_SUCCESS &&
        size == 4) {
        result.present = true;
        std::memcpy(&result.number, data, 4);
    }
    RegCloseKey(key);
    return result;
}

struct Settings {
    bool windowMode, soundOn, musicOn;
    int32_t volumeLevel, resolutionIndex;
};

Settings current() {
    const LauncherState& s = launcherState;
    return {s.windowMode, s.soundOn, s.musicOn, s.volumeLevel, s.resolutionIndex};
}

void expectSettings(const Settings& expected, const std::string& label) {
    const Settings got = current();
    EXPECT_EQ(got.windowMode, expected.windowMode) << label;
    EXPECT_EQ(got.soundOn, expected.soundOn) << label;
    EXPECT_EQ(got.musicOn, expected.musicOn) << label;
    EXPECT_EQ(got.volumeLevel, expected.volumeLevel) << label;
    EXPECT_EQ(got.resolutionIndex, expected.resolutionIndex) << label;
}

class GameSettingsStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        deleteGameKeys();
        resetGameState();
    }
    void TearDown() override {
        deleteGameKeys();
        resetGameState();
    }
};

}  // namespace

TEST_F(GameSettingsStoreTest, WithoutTheKeyKeepsTheStartValuesAndWritesNothing) {
    loadGameSettings();
    expectSettings({true, true, true, 5, 5}, "no key");
    EXPECT_FALSE(gameKeyExists());
}

TEST_F(GameSettingsStoreTest, TakesWhatIsStoredAndKeepsTheRest) {
    struct Case {
        const char* label;
        std::vector<StoredValue> values;
        Settings expected;
    };
    const Case cases[] = {
        {"some values only",
         {dword(L"MusicOnOFF", 0), dword(L"VolumeLevel", 7)},
         {true, true, false, 7, 5}},
        {"all five",
         {dword(L"WindowMode", 0), dword(L"SoundOnOFF", 1), dword(L"MusicOnOFF", 1),
          dword(L"VolumeLevel", 2), dword(L"Resolution", 8)},
         {false, true, true, 2, 8}},
        {"a switch is on only at exactly 1",
         {dword(L"WindowMode", 2), dword(L"SoundOnOFF", 0xFFFFFFFF), dword(L"MusicOnOFF", 0x101)},
         {false, false, false, 5, 5}},
        {"a full volume", {dword(L"VolumeLevel", 9)}, {true, true, true, 9, 5}},
        {"out-of-scale numbers are kept",
         {dword(L"VolumeLevel", static_cast<uint32_t>(-3)), dword(L"Resolution", 12)},
         {true, true, true, -3, 12}},
        {"a string longer than four bytes fails and keeps the field",
         {text(L"VolumeLevel", L"12345"), text(L"WindowMode", L"10")},
         {true, true, true, 5, 5}},
        {"binary data longer than four bytes fails",
         {raw(L"Resolution", REG_BINARY, {1, 0, 0, 0, 0})},
         {true, true, true, 5, 5}},
        {"four bytes of any type are a number",
         {raw(L"Resolution", REG_BINARY, {3, 0, 0, 0}), text(L"VolumeLevel", L"A")},
         {true, true, true, 0x41, 3}},
        {"short data widens into a zeroed number",
         {raw(L"WindowMode", REG_BINARY, {2}), raw(L"VolumeLevel", REG_BINARY, {0x34, 0x12}),
          raw(L"Resolution", REG_BINARY, {0xFF, 0xFF, 0xFF})},
         {false, true, true, 0x1234, 0xFFFFFF}},
        {"a one-byte 1 is on, empty data is zero",
         {raw(L"SoundOnOFF", REG_BINARY, {1}), raw(L"MusicOnOFF", REG_BINARY, {}),
          raw(L"VolumeLevel", REG_BINARY, {})},
         {true, true, false, 0, 5}},
    };
    for (const Case& c : cases) {
        deleteGameKeys();
        resetGameState();
        store(c.values);
        loadGameSettings();
        expectSettings(c.expected, c.label);
    }
}

TEST_F(GameSettingsStoreTest, WindowModeStoredAsTwoReadsOffAndSavesZero) {
    store({dword(L"WindowMode", 2)});
    loadGameSettings();
    EXPECT_FALSE(launcherState.windowMode);
    saveGameSettings();
    EXPECT_EQ(readBack(L"WindowMode").number, 0u);
    EXPECT_TRUE(readBack(L"WindowMode").present);
}

TEST_F(GameSettingsStoreTest, SaveWithoutTheKeyCreatesItAndWritesAllFive) {
    ASSERT_FALSE(gameKeyExists());
    launcherState.windowMode = false;
    launcherState.soundOn = true;
    launcherState.musicOn = false;
    launcherState.volumeLevel = 3;
    launcherState.resolutionIndex = -1;
    saveGameSettings();

    struct Expected {
        const wchar_t* name;
        uint32_t number;
    };
    const Expected expected[] = {{L"WindowMode", 0},
                                 {L"SoundOnOFF", 1},
                                 {L"MusicOnOFF", 0},
                                 {L"VolumeLevel", 3},
                                 {L"Resolution", 0xFFFFFFFF}};
    for (const Expected& e : expected) {
        const ReadBack stored = readBack(e.name);
        EXPECT_TRUE(stored.present) << e.name;
        EXPECT_EQ(stored.type, static_cast<DWORD>(REG_DWORD)) << e.name;
        EXPECT_EQ(stored.number, e.number) << e.name;
    }
}

TEST_F(GameSettingsStoreTest, SaveWithoutAChangeWritesAllFiveAndLeavesOtherValues) {
    store({dword(L"VolumeLevel", 9), dword(L"Resolution", 42), dword(L"Other", 77),
           text(L"SoundOnOFF", L"on and on")});
    loadGameSettings();
    saveGameSettings();

    const wchar_t* names[] = {L"WindowMode", L"SoundOnOFF", L"MusicOnOFF", L"VolumeLevel",
                              L"Resolution"};
    for (const wchar_t* name : names) {
        EXPECT_EQ(readBack(name).type, static_cast<DWORD>(REG_DWORD)) << name;
    }
    EXPECT_EQ(readBack(L"WindowMode").number, 1u);
    EXPECT_EQ(readBack(L"SoundOnOFF").number, 1u);
    EXPECT_EQ(readBack(L"VolumeLevel").number, 9u);
    EXPECT_EQ(readBack(L"Resolution").number, 42u);
    EXPECT_EQ(readBack(L"Other").number, 77u);

    // What was saved loads back to the same values.
    resetGameState();
    loadGameSettings();
    expectSettings({true, true, true, 9, 42}, "round trip");
}
