#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
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

StoredValue text(const wchar_t* name, const std::wstring& value) {
    const auto* bytes = reinterpret_cast<const BYTE*>(value.c_str());
    return {name, REG_SZ, {bytes, bytes + (value.size() + 1) * sizeof(wchar_t)}};
}

void store(const std::vector<StoredValue>& values) {
    for (const StoredValue& v : values) {
        EXPECT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kGameSettingsKeyPath, v.name, v.type,
                                  v.data.data(), static_cast<DWORD>(v.data.size())),
                  ERROR_SUCCESS);
    }
}

// The value must be a four-byte REG_DWORD holding the number.
void expectStored(const wchar_t* name, uint32_t number) {
    DWORD type = REG_NONE, stored = 0, size = sizeof stored;
    const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, kGameSettingsKeyPath, name, RRF_RT_ANY,
                                        &type, &stored, &size);
    EXPECT_EQ(std::make_tuple(status, type, size, stored),
              std::make_tuple(LSTATUS{ERROR_SUCCESS}, DWORD{REG_DWORD}, DWORD{4}, number))
        << name;
}

void expectFiveStored(const uint32_t (&numbers)[5]) {
    const wchar_t* names[] = {L"WindowMode", L"SoundOnOFF", L"MusicOnOFF", L"VolumeLevel",
                              L"Resolution"};
    for (int i = 0; i < 5; ++i) expectStored(names[i], numbers[i]);
}

// windowMode, soundOn, musicOn, volumeLevel, resolutionIndex.
using Settings = std::tuple<bool, bool, bool, int32_t, int32_t>;

Settings current() {
    const LauncherState& s = launcherState;
    return Settings{s.windowMode, s.soundOn, s.musicOn, s.volumeLevel, s.resolutionIndex};
}

using GameSettingsStoreTest = GameStateTest;

}  // namespace

TEST_F(GameSettingsStoreTest, TakesWhatIsStoredKeepsTheRestAndWritesNothing) {
    struct Case {
        const char* label;
        std::vector<StoredValue> values;
        Settings expected;
    };
    const Case cases[] = {
        {"no key: the start values, and nothing is written", {}, {true, true, true, 5, 5}},
        {"some values only",
         {dword(L"MusicOnOFF", 0), dword(L"VolumeLevel", 7)},
         {true, true, false, 7, 5}},
        {"all five",
         {dword(L"WindowMode", 0), dword(L"SoundOnOFF", 1), dword(L"MusicOnOFF", 1),
          dword(L"VolumeLevel", 9), dword(L"Resolution", 8)},
         {false, true, true, 9, 8}},
        {"a switch is on only at exactly 1",
         {dword(L"WindowMode", 2), dword(L"SoundOnOFF", 0xFFFFFFFF), dword(L"MusicOnOFF", 0x101)},
         {false, false, false, 5, 5}},
        {"out-of-scale numbers are kept",
         {dword(L"VolumeLevel", static_cast<uint32_t>(-3)), dword(L"Resolution", 12)},
         {true, true, true, -3, 12}},
        {"a string longer than four bytes fails and keeps the field",
         {text(L"VolumeLevel", L"12345"), text(L"WindowMode", L"10")},
         {true, true, true, 5, 5}},
        {"binary data longer than four bytes fails",
         {{L"Resolution", REG_BINARY, {1, 0, 0, 0, 0}}},
         {true, true, true, 5, 5}},
        {"four bytes of any type are a number",
         {{L"Resolution", REG_BINARY, {3, 0, 0, 0}}, text(L"VolumeLevel", L"A")},
         {true, true, true, 0x41, 3}},
        {"short data widens into a zeroed number",
         {{L"WindowMode", REG_BINARY, {2}},
          {L"VolumeLevel", REG_BINARY, {0x34, 0x12}},
          {L"Resolution", REG_BINARY, {0xFF, 0xFF, 0xFF}}},
         {false, true, true, 0x1234, 0xFFFFFF}},
        {"a one-byte 1 is on, empty data is zero",
         {{L"SoundOnOFF", REG_BINARY, {1}},
          {L"MusicOnOFF", REG_BINARY, {}},
          {L"VolumeLevel", REG_BINARY, {}}},
         {true, true, false, 0, 5}},
    };
    for (const Case& c : cases) {
        clean();
        store(c.values);
        loadGameSettings();
        EXPECT_EQ(current(), c.expected) << c.label;
        EXPECT_EQ(gameKeyExists(), !c.values.empty()) << c.label;
    }
}

// Without the key a save creates it. WindowMode 2 reads as off and is saved
// as 0; all five are rewritten as REG_DWORD, out-of-scale numbers unchanged,
// other values kept.
TEST_F(GameSettingsStoreTest, SaveWritesAllFiveAndLeavesOtherValues) {
    launcherState.windowMode = launcherState.musicOn = false;
    launcherState.volumeLevel = 3;
    launcherState.resolutionIndex = -1;
    saveGameSettings();
    expectFiveStored({0, 1, 0, 3, 0xFFFFFFFF});

    clean();
    store({dword(L"WindowMode", 2), dword(L"VolumeLevel", 9), dword(L"Resolution", 42),
           dword(L"Other", 77), text(L"SoundOnOFF", L"on and on")});
    loadGameSettings();
    EXPECT_EQ(current(), Settings(false, true, true, 9, 42));
    saveGameSettings();
    expectFiveStored({0, 1, 1, 9, 42});
    expectStored(L"Other", 77);
    resetGameState();
    loadGameSettings();
    EXPECT_EQ(current(), Settings(false, true, true, 9, 42)) << "what was saved loads back";
}
