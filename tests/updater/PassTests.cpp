#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>

#include "TestSupport.h"
#include "updater/Manifest.h"
#include "updater/Updater.h"

using namespace testing_support;

namespace {

// One server folder per test: the Updater's base path is "/<prefix>/".
struct PatchSite {
    std::string prefix;
    std::vector<std::int32_t> reports;

    explicit PatchSite(std::string name) : prefix(std::move(name)) { clearRequestLog(); }
    void file(const std::string& path, const std::string& bytes) const {
        publish(prefix + "/" + path, bytes);
    }
    // A behaviour for one file only, as the server's "<name>.how" sidecar.
    void misbehave(const std::string& path, const std::string& how) const {
        publish(prefix + "/" + path + ".how", how);
    }
    void manifest(const std::string& text) const { file("manifest.json", text); }
    Updater updater(const std::string& host = kHost) {
        return Updater{
            host, "/" + prefix + "/", false,
            [this](std::int32_t percent, const std::string&) { reports.push_back(percent); }};
    }
    bool pass() { return updater().runPass(); }
    // Request paths with the prefix removed.
    std::vector<std::string> requests() const {
        std::vector<std::string> seen;
        for (const std::string& line : requestLog()) {
            seen.push_back(line.compare(0, prefix.size() + 2, "/" + prefix + "/") == 0
                               ? line.substr(prefix.size() + 2)
                               : line);
        }
        return seen;
    }
};

using Requests = std::vector<std::string>;

// Captures what the pass writes to standard output.
class StdoutCapture {
public:
    StdoutCapture() {
        std::fflush(stdout);
        saved_ = _dup(1);
        FILE* sink = std::fopen("stdout-capture.txt", "wb");
        _dup2(_fileno(sink), 1);
        std::fclose(sink);
    }
    std::string finish() {
        std::fflush(stdout);
        _dup2(saved_, 1);
        _close(saved_);
        std::string text = readFile(L"stdout-capture.txt");
        DeleteFileW(L"stdout-capture.txt");
        return text;
    }

private:
    int saved_ = -1;
};

}  // namespace

TEST(UpdatePassTest, ManifestsWithoutEntriesSucceedAndFetchNothing) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-empty");
    for (const char* text :
         {"{}", "{\"files\": null}", "{\"files\": []}", "null", "{\"files\": {}}",
          "\xEF\xBB\xBF{\"files\": []}", "{\"other\": [[[1]]], \"files\": []}  \n"}) {
        PatchSite site("empty");
        site.manifest(text);
        EXPECT_TRUE(site.pass()) << text;
        EXPECT_EQ(site.requests(), Requests{"manifest.json"}) << text;
        EXPECT_TRUE(site.reports.empty());
    }
}

TEST(UpdatePassTest, AnAnswerThatIsNotAManifestFailsWithoutFallback) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-bad-answer");
    sandbox.put("Main.exe", "MZ");
    // Long enough that a reset after 70,000 bytes cuts the document.
    std::string longManifest = "{\"files\": [], \"padding\": \"" + std::string(200000, 'p') + "\"}";
    const struct {
        const char* prefix;
        std::string body;
    } cases[] = {
        {"bad-empty", ""},
        {"bad-trailing", "{\"files\": []} x"},
        {"bad-cut", "{\"files\": [{\"path\": \"a\""},
        {"~status=404/bad-404", "{\"files\": []}"},
        {"~status=404/~page=json/bad-404json", "{\"files\": []}"},
        {"~status=500/~page=json/bad-500json", "{\"files\": []}"},
        {"~short=3/bad-short", "{\"files\": []}    "},
        {"~endless/bad-endless", "{}"},
        {"~delay=300/~chunked/~reset=70000/bad-reset", longManifest},
        {"~delay=300/~reset=70000/bad-reset-length", longManifest},
    };
    for (const auto& c : cases) {
        const std::string prefix = c.prefix;
        PatchSite site(prefix);
        publish(prefix.substr(prefix.rfind('/') + 1) + "/manifest.json", c.body);
        StdoutCapture capture;
        const bool result = site.pass();
        EXPECT_FALSE(result) << c.prefix;
        EXPECT_EQ(capture.finish(), "") << c.prefix;
    }
}

TEST(UpdatePassTest, NoServerFallsBackToWhetherMainExeExists) {
    Sandbox sandbox("pass-fallback");
    PatchSite site("fallback");
    for (bool present : {false, true}) {
        if (present) sandbox.put("Main.exe", "MZ");
        StdoutCapture capture;
        const bool result = site.updater(kDeadHost).runPass();
        EXPECT_EQ(capture.finish(), "Manifest failed. Fallback...\n");
        EXPECT_EQ(result, present);
    }
}

TEST(UpdatePassTest, FetchesExactlyTheFilesThatAreMissingOrDiffer) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-decide");
    CreateDirectoryW(sandbox.at("data").c_str(), nullptr);
    const std::vector<FileSpec> files = {
        {"same.bin", patternBytes(5000)}, {"missing.bin", patternBytes(7000)},
        {"data/longer.bin", "new"},       {"data/samelength.bin", "NEW CONTENT"},
        {"Main.exe", "MZ new client"},
    };
    PatchSite site("decide");
    for (const FileSpec& f : files) site.file(f.path, f.content);
    site.manifest(manifestFor(files));
    sandbox.put("same.bin", patternBytes(5000));
    sandbox.put("data/longer.bin", "old and longer");
    sandbox.put("data/samelength.bin", "old content");
    sandbox.put("unlisted.txt", "never touched");
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(site.requests(), (Requests{"manifest.json", "missing.bin", "data/longer.bin",
                                         "data/samelength.bin", "Main.exe"}));
    for (const FileSpec& f : files) EXPECT_EQ(sandbox.content(f.path), f.content) << f.path;
    EXPECT_EQ(sandbox.content("unlisted.txt"), "never touched");
    EXPECT_FALSE(site.reports.empty());

    // A second pass finds everything up to date.
    clearRequestLog();
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(site.requests(), Requests{"manifest.json"});
}

TEST(UpdatePassTest, SizeAndHashSpellingsFollowTheFormat) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-spelling");
    const std::string content = patternBytes(1234);
    std::string upper = sha256Of(content);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    PatchSite site("spelling");
    site.file("f.bin", content);
    sandbox.put("f.bin", content);

    site.manifest("{\"files\": [" + entryJson("f.bin", sha256Of(content), "1234.9") + "]}");
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(site.requests(), Requests{"manifest.json"}) << "1234.9 means 1234";

    // Capitals never equal the local digest, so the file is fetched every
    // pass, and the fetched copy still verifies.
    site.manifest("{\"files\": [" + entryJson("f.bin", upper, "1234") + "]}");
    for (int pass = 0; pass < 2; ++pass) {
        clearRequestLog();
        EXPECT_TRUE(site.pass());
        EXPECT_EQ(site.requests(), (Requests{"manifest.json", "f.bin"}));
        EXPECT_EQ(sandbox.content("f.bin"), content);
    }
}

TEST(UpdatePassTest, StopsAtTheFirstFailedFetch) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-three");
    const std::vector<FileSpec> files = {
        {"one.bin", "first"}, {"two.bin", "second"}, {"three.bin", "third"}};
    PatchSite site("three");
    for (const FileSpec& f : files) site.file(f.path, f.content);
    site.misbehave("two.bin", "status=500");
    site.manifest(manifestFor(files));
    sandbox.put("two.bin", "old two");
    sandbox.put("three.bin", "old three");
    EXPECT_FALSE(site.pass());
    EXPECT_EQ(site.requests(), (Requests{"manifest.json", "one.bin", "two.bin"}));
    EXPECT_EQ(sandbox.content("one.bin"), "first");
    EXPECT_EQ(sandbox.content("two.bin"), "old two");
    EXPECT_EQ(sandbox.content("three.bin"), "old three");
}

TEST(UpdatePassTest, RepeatedPathsAreHandledInTurn) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-twice");
    PatchSite site("twice");
    site.file("a.bin", "served");
    const std::string same = entryJson("a.bin", sha256Of("served"), "6");
    site.manifest("{\"files\": [" + same + ", " + same + "]}");
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(site.requests(), (Requests{"manifest.json", "a.bin"}))
        << "the second sees the first's file";

    // A second entry the server cannot satisfy fails, keeping the first's file.
    clearRequestLog();
    site.manifest("{\"files\": [" + same + ", " + entryJson("a.bin", sha256Of("other"), "5") +
                  "]}");
    EXPECT_FALSE(site.pass());
    EXPECT_EQ(sandbox.content("a.bin"), "served");
}

TEST(UpdatePassTest, FilesGivenAsAnObjectAreWalkedInKeyOrder) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-object");
    PatchSite site("object");
    site.file("b.bin", "bee");
    site.file("a.bin", "ay");
    site.manifest("{\"files\": {\"z\": " + entryJson("a.bin", sha256Of("ay"), "2") +
                  ", \"k\": " + entryJson("b.bin", sha256Of("bee"), "3") + "}}");
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(site.requests(), (Requests{"manifest.json", "b.bin", "a.bin"}));
}

TEST(UpdatePassTest, Utf8PathsAreDecodedForDiskAndEncodedForTheUrl) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-utf8");
    const std::string folder =
        "donn\xC3\xA9"
        "es";
    const std::string path = folder + "/\xC3\xA9t\xC3\xA9 #1.txt";
    CreateDirectoryW((sandbox.game() + L"\\donn\u00e9es").c_str(), nullptr);
    PatchSite site("utf8");
    site.file(path, "summer");
    site.manifest(manifestFor({{path, "summer"}}));
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(site.requests(),
              (Requests{"manifest.json", "donn%C3%A9es/%C3%A9t%C3%A9%20%231.txt"}));
    EXPECT_EQ(readFile(sandbox.game() + L"\\donn\u00e9es\\\u00e9t\u00e9 #1.txt"), "summer");
}

TEST(UpdatePassTest, AFolderWhereAFileBelongsFailsThePass) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-folder");
    CreateDirectoryW(sandbox.at("thing").c_str(), nullptr);
    sandbox.put("thing/inner.txt", "inner");
    PatchSite site("folder");
    site.file("thing", "a file");
    site.manifest(manifestFor({{"thing", "a file"}}));
    EXPECT_FALSE(site.pass());
    EXPECT_EQ(sandbox.content("thing/inner.txt"), "inner");
}

// Every manifest here is refused as a whole before anything is fetched, and
// nothing in the sandbox (game folder and its neighbour) changes.
TEST(UpdatePassTest, UnsafeOrMalformedManifestsTouchNothing) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-refused");
    sandbox.put("Main.exe", "MZ");
    PatchSite site("refused");
    site.file("fine.bin", "fine");
    const std::string fine = entryJson("fine.bin", sha256Of("fine"), "4");
    const std::string hash = sha256Of("x");
    auto withPath = [&](const std::string& path) { return entryJson(path, hash, "1"); };
    std::string deep(100000, '[');
    deep += std::string(100000, ']');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty path", withPath("")},
        {"absolute", withPath("/etc/passwd")},
        {"drive letter", withPath("C:/Windows/x.dll")},
        {"drive relative", withPath("C:x.dll")},
        {"unc", withPath("\\\\\\\\server\\\\share\\\\x")},
        {"double slash", withPath("//server/share/x")},
        {"backslash", withPath("data\\\\x.bin")},
        {"stream", withPath("x.bin:evil")},
        {"control character", withPath("x\\u0001.bin")},
        {"parent", withPath("../outside/keep.txt")},
        {"inner parent", withPath("data/../../outside/keep.txt")},
        {"dot segment", withPath("./x.bin")},
        {"empty segment", withPath("data//x.bin")},
        {"trailing slash", withPath("data/")},
        {"trailing dot", withPath("x.")},
        {"trailing blank", withPath("x ")},
        {"device", withPath("CON")},
        {"device with extension", withPath("data/nul.txt")},
        {"device any case", withPath("Com1.log")},
        {"printer port", withPath("lpt9")},
        {"wildcard", withPath("x*.bin")},
        {"invalid utf-8", withPath("\xC3(.bin")},
        {"overlong utf-8", withPath("\xC0\xAE\xC0\xAE/x")},
        {"staging name", withPath("x.bin.launcher-part")},
        {"negative size", entryJson("x.bin", hash, "-1")},
        {"size too large", entryJson("x.bin", hash, "1e20")},
        {"string size", entryJson("x.bin", hash, "\"1\"")},
        {"boolean size", entryJson("x.bin", hash, "true")},
        {"null size", entryJson("x.bin", hash, "null")},
        {"short hash", entryJson("x.bin", hash.substr(1), "1")},
        {"non-hex hash", entryJson("x.bin", "g" + hash.substr(1), "1")},
        {"numeric hash", "{\"path\": \"x.bin\", \"hash\": 5, \"size\": 1}"},
        {"numeric path", "{\"path\": 5, \"hash\": \"" + hash + "\", \"size\": 1}"},
        {"missing path", "{\"hash\": \"" + hash + "\", \"size\": 1}"},
        {"missing hash", "{\"path\": \"x.bin\", \"size\": 1}"},
        {"missing size", "{\"path\": \"x.bin\", \"hash\": \"" + hash + "\"}"},
        {"entry is a string", "\"x.bin\""},
        {"entry is null", "null"},
        {"entry is an array", "[\"x.bin\", \"" + hash + "\", 1]"},
    };
    std::vector<std::pair<std::string, std::string>> manifests;
    for (const auto& c : cases) {
        // The good entry comes first: refusing must not wait for the bad one.
        manifests.push_back({c.first, "{\"files\": [" + fine + ", " + c.second + "]}"});
    }
    for (const auto& whole : std::vector<std::pair<std::string, std::string>>{
             {"root array", "[" + fine + "]"},
             {"root string", "\"files\""},
             {"root number", "5"},
             {"files string", "{\"files\": \"fine.bin\"}"},
             {"files number", "{\"files\": 1}"},
             {"files boolean", "{\"files\": true}"},
             {"100000 nested arrays", deep},
             {"deep inside an ignored member", "{\"files\": [" + fine + "], \"x\": " + deep + "}"},
             {"comment", "{\"files\": [" + fine + "] /* no */}"},
         }) {
        manifests.push_back(whole);
    }
    const auto before = snapshot(sandbox.root());
    for (const auto& m : manifests) {
        clearRequestLog();
        site.manifest(m.second);
        EXPECT_FALSE(site.pass()) << m.first;
        EXPECT_EQ(site.requests(), Requests{"manifest.json"}) << m.first;
        EXPECT_EQ(snapshot(sandbox.root()), before) << m.first;
    }
    // The good entry alone goes through, so the refusals above were the bad parts.
    clearRequestLog();
    site.manifest("{\"files\": [" + fine + "]}");
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(sandbox.content("fine.bin"), "fine");
}

TEST(UpdatePassTest, APassKilledMidDownloadIsRepairedByTheNext) {
    REQUIRE_SERVER();
    Sandbox sandbox("pass-killed");
    const std::string content = patternBytes(3 * 1024 * 1024);
    PatchSite site("killed");
    site.file("big.bin", content);
    site.misbehave("big.bin", "stall=2100000");
    site.manifest(manifestFor({{"big.bin", content}}));
    sandbox.put("big.bin", "old");

    wchar_t runner[MAX_PATH];
    GetModuleFileNameW(nullptr, runner, MAX_PATH);
    std::wstring command = runner;
    command = command.substr(0, command.rfind(L'\\')) + L"\\updater_pass_runner.exe";
    std::wstring line = L"\"" + command + L"\" 127.0.0.1 /killed/";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(command.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                               sandbox.game().c_str(), &startup, &child));
    // Wait until the child has written part of the staging file (bounded).
    const std::wstring staging = sandbox.at("big.bin") + widen(kStagingSuffix);
    bool started = false;
    for (int i = 0; i < 1200 && !started; ++i) {
        started = sizeOf(staging) >= 1024 * 1024;
        if (!started) Sleep(50);
    }
    TerminateProcess(child.hProcess, 9);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    ASSERT_TRUE(started) << "the child never reached the middle of the download";
    EXPECT_EQ(sandbox.content("big.bin"), "old");

    DeleteFileW((wwwRoot() + L"\\killed\\big.bin.how").c_str());
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(sandbox.content("big.bin"), content);
    EXPECT_FALSE(exists(staging));
}
