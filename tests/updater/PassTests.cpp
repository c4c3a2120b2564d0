#include <io.h>
#include <process.h>

#include "TestSupport.h"

using namespace testing_support;

namespace {

// What `run` writes to standard output.
template <class Run>
std::string stdoutOf(Run run) {
    std::fflush(stdout);
    const int saved = _dup(1);
    FILE* sink = std::fopen("stdout-capture.txt", "wb");
    _dup2(_fileno(sink), 1);
    std::fclose(sink);
    run();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(saved);
    const std::string text = readFile(L"stdout-capture.txt");
    DeleteFileW(L"stdout-capture.txt");
    return text;
}

}  // namespace

// A manifest with no entries succeeds; any other answer that is not a whole
// 200 manifest fails. Either way only the manifest is asked for, nothing is
// reported, and there is no fallback: the server answered. Only when nothing
// answers does the pass print the fallback line and go by Main.exe alone.
TEST(UpdatePassTest, ManifestAnswersWithoutEntriesAndTheFallback) {
    Sandbox sandbox("pass-answers");
    // Long enough that a reset after 70,000 bytes cuts the document.
    const std::string longManifest =
        "{\"files\": [], \"pad\": \"" + std::string(200000, 'p') + "\"}";
    const struct {
        std::string body;
        bool ok;
        const char* how = "";
        const char* host = kHost;
        bool mainExe = true;
    } cases[] = {
        {"{}", true},
        {"{\"files\": null}", true},
        {"{\"files\": []}", true},
        {"null", true},
        {"{\"files\": {}}", true},
        {"\xEF\xBB\xBF{\"files\": []}", true},
        {"{\"other\": [[[1]]], \"files\": []}  \n", true},
        {"", false},
        {"{\"files\": []} x", false},
        {"{\"files\": [{\"path\": \"a\"", false},
        {"{\"files\": []}", false, "~status=404/"},
        {"{\"files\": []}", false, "~status=404/~page=json/"},
        {"{\"files\": []}", false, "~status=500/~page=json/"},
        {"{\"files\": []}    ", false, "~short=3/"},
        {"{}", false, "~endless/"},
        // The pause lets the headers arrive before the reset, which would
        // otherwise discard them along with the unread body.
        {longManifest, false, "~delay=300/~chunked/~reset=70000/"},
        {longManifest, false, "~delay=300/~reset=70000/"},
        {"{}", false, "", kDeadHost, false},
        {"{}", true, "", kDeadHost, true},
    };
    for (const auto& c : cases) {
        const std::string label = c.host + std::string(c.how) + c.body.substr(0, 40);
        const bool dead = c.host == kDeadHost;
        if (c.mainExe)
            sandbox.put("Main.exe", "MZ");
        else
            DeleteFileW(L"Main.exe");
        PatchSite site("answers", c.how);
        site.manifest(c.body);
        bool result = !c.ok;
        EXPECT_EQ(stdoutOf([&] {
                      const UpdateFailure end = site.updater(c.host).runPass();
                      result = end == UpdateFailure::None || end == UpdateFailure::Offline;
                  }),
                  dead ? "Manifest failed. Fallback...\n" : "")
            << label;
        EXPECT_EQ(result, c.ok) << label;
        EXPECT_EQ(site.requests(), dead ? Requests{} : Requests{"manifest.json"}) << label;
        EXPECT_TRUE(site.reports.empty()) << label;
    }
}

// Each scenario: files on the server, the manifest, the game folder before;
// then the outcome, the files fetched (in order) and the game folder after.
// A successful scenario runs a second pass, which fetches `again`.
TEST(UpdatePassTest, Scenarios) {
    const std::string block = patternBytes(5000), other = patternBytes(7000);
    const std::string utf8 = u8"donn\u00e9es/\u00e9t\u00e9 #1 \U0001F3AE \u20AC%.txt";
    // Missing or differing files are fetched, in order; near misses of
    // refused names are ordinary files; UTF-8 paths are decoded for the disk
    // and percent-encoded for the URL.
    std::vector<FileSpec> decide = {{"same.bin", block}, {"missing.bin", other}};
    for (const char* path : {"data/longer.bin", "data/samelength.bin", "Main.exe", "con2.txt",
                             "console.log", "com10", ".hidden", "a..b", utf8.c_str()})
        decide.push_back({path, std::string("new ") + path});
    const std::vector<FileSpec> decideBefore = {{"same.bin", block},
                                                {"data/longer.bin", "old and much, much longer"},
                                                {"data/samelength.bin", "old data/samelength.bin"},
                                                {utf8.substr(0, utf8.find('/') + 1), ""}};
    Requests decideFetched = {"missing.bin", "data/longer.bin", "data/samelength.bin",
                              "Main.exe",    "con2.txt",        "console.log",
                              "com10",       ".hidden",         "a..b"};
    decideFetched.push_back("donn%C3%A9es/%C3%A9t%C3%A9%20%231%20%F0%9F%8E%AE%20%E2%82%AC%25.txt");
    // A size of 1234.0 means 1234. Capitals never equal the local digest, so
    // that file is fetched on every pass, and the fetched copy still verifies.
    const std::vector<FileSpec> spelled = {{"f.bin", block.substr(0, 1234)}, {"g.bin", block}};
    const std::string spelledManifest =
        "{\"files\": [" + entryJson("f.bin", sha256Of(spelled[0].content), "1234.0") + ", " +
        entryJson("g.bin", upper(sha256Of(block)), "5000") + "]}";
    // Walked in key order; two entries for one file refuse the manifest.
    const std::string a = entryJson("a.bin", sha256Of("ay"), "2");
    const std::string objectManifest =
        "{\"files\": {\"z\": " + a + ", \"k\": " + entryJson("b.bin", sha256Of("bee"), "3") + "}}";
    const std::vector<FileSpec> ab = {{"a.bin", "ay"}, {"b.bin", "bee"}};
    const std::string unsatisfiable =
        "{\"files\": [" + a + ", " + entryJson("a.bin", sha256Of("other"), "5") + "]}";
    // two.bin always answers 500 (see below).
    const std::vector<FileSpec> three = {
        {"one.bin", "first"}, {"two.bin", "second"}, {"three.bin", "third"}};
    const std::vector<FileSpec> old = {{"two.bin", "old two"}, {"three.bin", "old three"}};
    const std::vector<FileSpec> threeAfter = {three[0], old[0], old[1]};
    // The query fails on a folder: "must fetch", and the fetch fails.
    const std::vector<FileSpec> thing = {{"thing", "a file"}};
    const std::vector<FileSpec> inner = {{"thing/inner.txt", "inner"}};
    const struct {
        const char* name;
        std::vector<FileSpec> server;
        std::string manifest;
        std::vector<FileSpec> before;
        bool ok;
        Requests fetched;
        std::vector<FileSpec> after;
        Requests again;
    } cases[] = {
        {"decide", decide, manifestFor(decide), decideBefore, true, decideFetched, decide, {}},
        {"spelling", spelled, spelledManifest, spelled, true, {"g.bin"}, spelled, {"g.bin"}},
        {"object", ab, objectManifest, {}, true, {"b.bin", "a.bin"}, ab, {}},
        {"three", three, manifestFor(three), old, false, {"one.bin", "two.bin"}, threeAfter, {}},
        {"same-path", ab, unsatisfiable, {}, false, {}, {}, {}},
        {"folder", thing, manifestFor(thing), inner, false, {"thing"}, inner, {}},
    };
    for (const auto& c : cases) {
        Sandbox sandbox(c.name);
        sandbox.put("unlisted.txt", "kept");
        PatchSite site(c.name);
        for (const FileSpec& f : c.server) site.file(f.path, f.content);
        site.misbehave("two.bin", "status=500");
        site.manifest(c.manifest);
        for (const FileSpec& f : c.before) sandbox.put(f.path, f.content);
        for (const Requests& fetched : {c.fetched, c.again}) {
            clearRequestLog();
            site.reports.clear();
            EXPECT_EQ(site.pass(), c.ok) << c.name;
            Requests expected{"manifest.json"};
            expected.insert(expected.end(), fetched.begin(), fetched.end());
            EXPECT_EQ(site.requests(), expected) << c.name;
            for (const FileSpec& f : c.after)
                EXPECT_EQ(sandbox.content(f.path), f.content) << c.name << ": " << f.path;
            EXPECT_EQ(sandbox.content("unlisted.txt"), "kept") << c.name;
            if (fetched.empty()) EXPECT_TRUE(site.reports.empty()) << c.name;
            if (!c.ok) break;
        }
    }
}

// Every manifest here is refused as a whole before anything is fetched, and
// nothing in the sandbox (game folder and its neighbour) changes.
TEST(UpdatePassTest, UnsafeOrMalformedManifestsTouchNothing) {
    Sandbox sandbox("pass-refused");
    sandbox.put("Main.exe", "MZ");
    PatchSite site("refused");
    site.file("fine.bin", "fine");
    const std::string fine = entryJson("fine.bin", sha256Of("fine"), "4");
    const std::string hash = sha256Of("x");
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    // Each bad entry follows a good one: refusing must not wait for it.
    std::vector<std::string> bad;
    auto withPaths = [&](std::initializer_list<const char*> paths) {
        for (const char* path : paths) bad.push_back(entryJson(path, hash, "1"));
    };
    // Paths that are not plain relative paths inside the game folder.
    withPaths({"", "/etc/passwd", "C:/Windows/x.dll", "C:x.dll", "\\\\\\\\server\\\\share\\\\x",
               "//server/share/x", "data\\\\x.bin", "../outside/keep.txt",
               "data/../../outside/keep.txt", "./x.bin", "data//x.bin", "data/"});
    // Names Windows gives another meaning, and characters it refuses.
    withPaths({"x.", "x ", "CON", "data/nul.txt", "Com1.log", "lpt9", "con .txt", "COM\xC2\xB9",
               "x*.bin", "x.bin:evil", "x\\u0001.bin", "a\x7F", "x.bin.launcher-part",
               "Launcher.exe.launcher-old"});
    // Invalid UTF-8: cut short, overlong, a surrogate, five bytes.
    withPaths({"\xC3(.bin", "\xC3", "\xC0\xAE\xC0\xAE/x", "\xE0\x80\xAE", "\xED\xA0\x80.bin",
               "\xF8\x88\x80\x80\x80"});
    for (const char* size : {"-1", "1e20", "\"1\"", "true", "null"})
        bad.push_back(entryJson("x.bin", hash, size));
    for (const std::string& digest : {hash.substr(1), "g" + hash.substr(1)})
        bad.push_back(entryJson("x.bin", digest, "1"));
    bad.insert(bad.end(),
               {std::string("{\"path\": \"x.bin\", \"hash\": 5, \"size\": 1}"),
                "{\"path\": 5, \"hash\": \"" + hash + "\", \"size\": 1}",
                "{\"hash\": \"" + hash + "\", \"size\": 1}", "{\"path\": \"x.bin\", \"size\": 1}",
                "{\"path\": \"x.bin\", \"hash\": \"" + hash + "\"}", std::string("\"x.bin\""),
                std::string("null"), "[\"x.bin\", \"" + hash + "\", 1]"});
    // Documents of the wrong shape, then each bad entry after a good one.
    std::vector<std::string> manifests = {"[" + fine + "]", deep,
                                          "{\"files\": [" + fine + "], \"x\": " + deep + "}",
                                          "{\"files\": [" + fine + "] /* no */}"};
    manifests.insert(manifests.end(), {"\"files\"", "5", "{\"files\": \"fine.bin\"}",
                                       "{\"files\": 1}", "{\"files\": true}"});
    for (const std::string& entry : bad)
        manifests.push_back("{\"files\": [" + fine + ", " + entry + "]}");
    const auto before = snapshot(sandbox.root());
    for (const std::string& text : manifests) {
        const std::string name = text.substr(0, 200);
        clearRequestLog();
        site.manifest(text);
        EXPECT_FALSE(site.pass()) << name;
        EXPECT_EQ(site.requests(), Requests{"manifest.json"}) << name;
        EXPECT_EQ(snapshot(sandbox.root()), before) << name;
    }
    // The good entry alone goes through, so the refusals above were the bad parts.
    site.manifest("{\"files\": [" + fine + "]}");
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(sandbox.content("fine.bin"), "fine");
}

TEST(UpdatePassTest, APassKilledMidDownloadIsRepairedByTheNext) {
    Sandbox sandbox("pass-killed");
    const std::string content = patternBytes(3 * 1024 * 1024);
    PatchSite site("killed");
    site.file("big.bin", content);
    site.misbehave("big.bin", "stall=2100000");
    site.manifest(manifestFor({{"big.bin", content}}));
    sandbox.put("big.bin", "old");

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring runner = self;
    runner = runner.substr(0, runner.rfind(L'\\')) + L"\\updater_pass_runner.exe";
    const HANDLE child = reinterpret_cast<HANDLE>(
        _wspawnl(_P_NOWAIT, runner.c_str(), L"runner", L"127.0.0.1", L"/killed/", nullptr));
    ASSERT_NE(child, INVALID_HANDLE_VALUE);
    // Wait (bounded) until the child has written part of the staging file; its
    // size is read from the folder entry, as the child holds the file unshared.
    const std::wstring staging = sandbox.at("big.bin") + fromUtf8(kStagingSuffix);
    bool started = false;
    for (int i = 0; i < 1200 && !started; ++i) {
        WIN32_FILE_ATTRIBUTE_DATA data;
        started = GetFileAttributesExW(staging.c_str(), GetFileExInfoStandard, &data) &&
                  (data.nFileSizeHigh || data.nFileSizeLow >= 1024 * 1024);
        if (!started) Sleep(50);
    }
    TerminateProcess(child, 9);
    WaitForSingleObject(child, INFINITE);
    CloseHandle(child);
    ASSERT_TRUE(started) << "the child never reached the middle of the download";
    EXPECT_EQ(sandbox.content("big.bin"), "old");

    DeleteFileW((wwwRoot() + L"\\killed\\big.bin.how").c_str());
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(sandbox.content("big.bin"), content);
    EXPECT_EQ(readFile(staging), "<missing>");
}
