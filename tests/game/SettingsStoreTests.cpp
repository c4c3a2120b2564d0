#include <tuple>
#include <vector>

#include "GameTestSupport.h"

namespace {

struct StoredValue {
    const wchar_t* name;
    DWORD type;
    std::vector<BYTE> data;
};

StoredValue dword(const wchar_t* name, uint32_t n) {
    return {name, REG_DWORD, {BYTE(n), BYTE(n >> 8), BYTE(n >> 16), BYTE(n >> 24)}};
}

void store(const std::vector<StoredValue>& values) {
    for (const StoredValue& v : values)
        EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kGameSettingsKeyPath, v.name, v.type,
                                  v.data.data(), static_cast<DWORD>(v.data.size())),
                  ERROR_SUCCESS);
}

// The value as (type, size, number); REG_NONE when it cannot be read.
std::tuple<DWORD, DWORD, uint32_t> stored(const wchar_t* name) {
    DWORD type = REG_NONE, number = 0, size = sizeof number;
    RegGetValueW(HKEY_CURRENT_USER, kGameSettingsKeyPath, name, RRF_RT_ANY, &type, &number, &size);
    return {type, size, number};
}

// windowMode, soundOn, musicOn, volumeLevel, resolutionIndex.
using Settings = std::tuple<bool, bool, bool, int32_t, int32_t>;

Settings current() {
    const LauncherState& s = launcherState;
    return Settings{s.windowMode, s.soundOn, s.musicOn, s.volumeLevel, s.resolutionIndex};
}

using GameSettingsStoreTest = GameStateTest;

}  // namespace

// What cannot be read keeps the start value; a switch is on only at exactly
// 1; out-of-scale numbers are kept; four bytes of any type are a number,
// shorter data widens into a zeroed number, longer data fails. Loading
// writes nothing.
TEST_F(GameSettingsStoreTest, TakesWhatIsStoredKeepsTheRestAndWritesNothing) {
    // clang-format off
    const std::pair<std::vector<StoredValue>, Settings> cases[] = {
        {{}, {true, true, true, 5, 5}},
        {{dword(L"WindowMode", 0), dword(L"SoundOnOFF", 1), dword(L"MusicOnOFF", 0x101),
          dword(L"VolumeLevel", static_cast<uint32_t>(-3)), dword(L"Resolution", 12)},
         {false, true, false, -3, 12}},
        {{{L"VolumeLevel", REG_SZ, {'A', 0, 0, 0}}, {L"WindowMode", REG_SZ, {'1', 0, '0', 0, 0, 0}},
          {L"SoundOnOFF", REG_BINARY, {1}}, {L"MusicOnOFF", REG_BINARY, {}},
          {L"Resolution", REG_BINARY, {3, 0, 0, 0, 0}}},
         {true, true, false, 0x41, 5}},
        {{{L"WindowMode", REG_BINARY, {2}}, {L"VolumeLevel", REG_BINARY, {0x34, 0x12}},
          {L"Resolution", REG_BINARY, {0xFF, 0xFF, 0xFF}}},
         {false, true, true, 0x1234, 0xFFFFFF}}};
    // clang-format on
    for (const auto& [values, expected] : cases) {
        clean();
        store(values);
        loadGameSettings();
        EXPECT_EQ(current(), expected) << values.size() << " values";
        EXPECT_EQ(gameKeyExists(), !values.empty());
    }
}

// All five are rewritten as REG_DWORD (an unreadable one with its start
// value, WindowMode 2 as 0), out-of-scale numbers unchanged, other values
// kept, and they load back. (The end-to-end test saves without the key.)
TEST_F(GameSettingsStoreTest, SaveWritesAllFiveAndLeavesOtherValues) {
    store({dword(L"WindowMode", 2),
           dword(L"VolumeLevel", static_cast<uint32_t>(-1)),
           dword(L"Resolution", 42),
           dword(L"Other", 77),
           {L"SoundOnOFF", REG_SZ, {'o', 0, 'n', 0, 0, 0}}});
    loadGameSettings();
    saveGameSettings();
    const std::pair<const wchar_t*, uint32_t> five[] = {{L"WindowMode", 0}, {L"SoundOnOFF", 1},
        {L"MusicOnOFF", 1}, {L"VolumeLevel", 0xFFFFFFFF}, {L"Resolution", 42}};
    for (const auto& [name, number] : five)
        EXPECT_EQ(stored(name), std::make_tuple(DWORD{REG_DWORD}, DWORD{4}, number)) << name;
    EXPECT_EQ(stored(L"Other"), std::make_tuple(DWORD{REG_DWORD}, DWORD{4}, uint32_t{77}));
    resetGameState();
    loadGameSettings();
    EXPECT_EQ(current(), Settings(false, true, true, -1, 42)) << "what was saved loads back";
}
