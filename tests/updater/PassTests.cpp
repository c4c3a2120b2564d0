#include "TestSupport.h"
#include "core/SupportLog.h"

using namespace testing_support;

// A manifest with no entries succeeds; any other answer that is not a whole
// 200 manifest fails. Either way only the manifest is asked for, nothing is
// reported, and there is no fallback: the server answered. Only when nothing
// answers does the pass go by Main.exe alone (the end-to-end tests see the
// line it prints then). A web page (a network's sign-in page) is no answer
// of the patch server: the connection failed, nothing is damaged.
TEST(UpdatePassTest, ManifestAnswersWithoutEntriesAndTheFallback) {
    Sandbox sandbox("pass-answers");
    // Long enough that a reset after 70,000 bytes cuts the document.
    const std::string longManifest =
        "{\"files\": [], \"pad\": \"" + std::string(200000, 'p') + "\"}";
    // "dead": no server; Main.exe is there but in the last case. The pause
    // lets the headers arrive before a reset, which would otherwise discard
    // them along with the unread body.
    // clang-format off
    const UpdateFailure ok = UpdateFailure::None, net = UpdateFailure::Network;
    const UpdateFailure damaged = UpdateFailure::DamagedData;
    const struct {
        std::string how, body;
        UpdateFailure end;
        bool orDamaged = false;
    } cases[] = {
        {"", "{}", ok}, {"", "null", ok}, {"", "{\"other\": [[[1]]], \"files\": {}} \n", ok},
        {"", "\xEF\xBB\xBF{\"files\": null}", ok}, {"", "{\"files\": []} x", damaged},
        {"", "{\"files\": [{\"path\": \"a\"", damaged}, {"~status=500/~page=json/", "{}", net},
        {"", " \r\n<!DOCTYPE html><html>Sign in</html>", net}, {"~html/", "{}", net},
        {"~short=3/", "{\"files\": []}    ", net}, {"~endless/", "{}", net},
        // Under Wine a reset may end a chunked body as if it were whole.
        {"~delay=300/~chunked/~reset=70000/", longManifest, net, true},
        {"dead", "{}", UpdateFailure::Offline}, {"dead", "{}", net}};
    // clang-format on
    for (const auto& c : cases) {
        const std::string label = c.how + c.body.substr(0, 40);
        const bool dead = c.how == "dead";
        (dead && c.end == net) ? (void)DeleteFileW(L"Main.exe") : sandbox.put("Main.exe", "MZ");
        PatchSite site("answers", dead ? "" : c.how);
        site.manifest(c.body);
        const UpdateFailure end = site.updater(dead ? kDeadHost : kHost).runPass();
        EXPECT_TRUE(end == c.end || (c.orDamaged && end == damaged)) << label << ": " << int(end);
        EXPECT_EQ(site.requests(), dead ? Requests{} : Requests{"manifest.json"}) << label;
        EXPECT_TRUE(site.reports.empty()) << label;
    }
}

// Each scenario: files on the server and listed, the game folder before;
// then the outcome, the files fetched (in order) and the game folder after.
// A successful scenario runs a second pass, which fetches nothing.
TEST(UpdatePassTest, Scenarios) {
    const std::string block = patternBytes(5000), other = patternBytes(7000);
    const std::string utf8 = u8"donn\u00e9es/\u00e9t\u00e9 #1 \U0001F3AE \u20AC%.txt";
    // Missing or differing files are fetched, in order; near misses of
    // refused names are ordinary files; UTF-8 paths are decoded for the disk
    // and percent-encoded for the URL.
    std::vector<FileSpec> decide = {{"same.bin", block}, {"missing.bin", other}};
    for (const char* path : {"data/longer.bin", "data/samelength.bin", "Main.exe", "con2.txt",
                             "console.log", "com10", ".hidden", "a..b", "logs/Launcher.log",
                             utf8.c_str()})
        decide.push_back({path, std::string("new ") + path});
    const std::vector<FileSpec> decideBefore = {{"same.bin", block},
                                                {"data/longer.bin", "old and much, much longer"},
                                                {"data/samelength.bin", "old data/samelength.bin"},
                                                {utf8.substr(0, utf8.find('/') + 1), ""}};
    const Requests decideFetched = {"missing.bin", "data/longer.bin", "data/samelength.bin",
        "Main.exe", "con2.txt", "console.log", "com10", ".hidden", "a..b", "logs/Launcher.log",
        "donn%C3%A9es/%C3%A9t%C3%A9%20%231%20%F0%9F%8E%AE%20%E2%82%AC%25.txt"};
    // two.bin always answers 500 (see below).
    const std::vector<FileSpec> three = {
        {"one.bin", "first"}, {"two.bin", "second"}, {"three.bin", "third"}};
    const std::vector<FileSpec> old = {{"two.bin", "old two"}, {"three.bin", "old three"}};
    // The query fails on a folder: "must fetch", and the fetch fails.
    const std::vector<FileSpec> inner = {{"thing/inner.txt", "inner"}};
    const struct {
        const char* name;
        std::vector<FileSpec> server, before;
        bool ok;
        Requests fetched;
        std::vector<FileSpec> after;
    } cases[] = {
        {"decide", decide, decideBefore, true, decideFetched, decide},
        {"three", three, old, false, {"one.bin", "two.bin"}, {three[0], old[0], old[1]}},
        {"folder", {{"thing", "a file"}}, inner, false, {"thing"}, inner},
    };
    for (const auto& c : cases) {
        Sandbox sandbox(c.name);
        sandbox.put("unlisted.txt", "kept");
        PatchSite site(c.name);
        for (const FileSpec& f : c.server) site.file(f.path, f.content);
        site.misbehave("two.bin", "status=500");
        site.manifest(manifestFor(c.server));
        for (const FileSpec& f : c.before) sandbox.put(f.path, f.content);
        for (const Requests& fetched : {c.fetched, Requests{}}) {
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
    // clang-format off
    // Paths that are not plain relative paths inside the game folder, names
    // Windows gives another meaning or refuses, invalid UTF-8 (cut short,
    // overlong, a surrogate, five bytes).
    std::vector<std::string> bad;
    for (const char* path : {"", "/etc/passwd", "C:/Windows/x.dll", "C:x.dll", "\\\\\\\\server\\\\share\\\\x",
             "//server/share/x", "data\\\\x.bin", "../outside/keep.txt",
             "data/../../outside/keep.txt", "./x.bin", "data//x.bin", "data/",
             "x.", "x ", "CON", "data/nul.txt", "Com1.log", "lpt9", "con .txt", "COM\xC2\xB9",
             "x*.bin", "x.bin:evil", "x\\u0001.bin", "a\x7F", "x.bin.launcher-part",
             "Launcher.exe.launcher-old", "launcher.LOG", "Launcher.log.old", "Launcher.Verified",
             "\xC3(.bin", "\xC3", "\xC0\xAE\xC0\xAE/x", "\xE0\x80\xAE", "\xED\xA0\x80.bin",
             "\xF8\x88\x80\x80\x80"})
        bad.push_back(entryJson(path, hash, "1"));
    // Sizes, digests and fields that are wrong, and entries of the wrong shape.
    for (const char* size : {"-1", "1e20", "\"1\"", "true", "null"})
        bad.push_back(entryJson("x.bin", hash, size));
    const std::string h = "\"hash\": \"" + hash + "\"";
    bad.insert(bad.end(), {entryJson("x.bin", hash.substr(1), "1"),
        entryJson("x.bin", "g" + hash.substr(1), "1"), "{\"path\": 5, " + h + ", \"size\": 1}",
        "{\"path\": \"x.bin\", \"hash\": 5, \"size\": 1}", "{" + h + ", \"size\": 1}",
        "{\"path\": \"x.bin\", \"size\": 1}", "{\"path\": \"x.bin\", " + h + "}",
        "\"x.bin\"", "null", "[\"x.bin\", \"" + hash + "\", 1]"});
    // Documents of the wrong shape, then each bad entry after a good one:
    // refusing must not wait for it.
    std::vector<std::string> manifests = {"[" + fine + "]", deep,
        "{\"files\": [" + fine + "], \"x\": " + deep + "}", "{\"files\": [" + fine + "] /* no */}",
        "\"files\"", "5", "{\"files\": \"fine.bin\"}", "{\"files\": 1}", "{\"files\": true}"};
    // clang-format on
    for (const std::string& entry : bad)
        manifests.push_back("{\"files\": [" + fine + ", " + entry + "]}");
    // An objects folder that is not a plain relative one.
    for (const std::string folder : std::initializer_list<std::string>{
             "5", "null", "[]", "\"\"", "\"/o\"", "\"o/\"", "\"o//p\"", "\"./o\"", "\"o/..\"",
             "\"o\\\\p\"", "\"o?p\"", "\"o#p\"", "\"o%41\"", "\"o\\u0001p\"", "\"\xC3(\"",
             "\"" + std::string(201, 'o') + "\""})
        manifests.push_back("{\"objects\": " + folder + ", \"files\": [" + fine + "]}");
    const auto before = snapshot(sandbox.root());
    for (const std::string& text : manifests) {
        clearRequestLog();
        site.manifest(text);
        EXPECT_FALSE(site.pass()) << text.substr(0, 200);
        EXPECT_EQ(site.requests(), Requests{"manifest.json"}) << text.substr(0, 200);
        EXPECT_EQ(snapshot(sandbox.root()), before) << text.substr(0, 200);
    }
    // The good entry alone goes through, so the refusals above were the bad parts.
    site.manifest("{\"files\": [" + fine + "]}");
    EXPECT_TRUE(site.pass());
    EXPECT_EQ(sandbox.content("fine.bin"), "fine");
    site.manifest("{\"objects\": \"" + std::string(200, 'o') + "\", \"files\": []}");
    EXPECT_TRUE(site.pass());
}

// A pass over files in place logs them as one line, so that one run, its
// header first, fits a log that a line for each would rotate twice; a run
// whose own lines pass the limit still begins the log with its header. A
// server that gives no manifest is logged with the reason.
TEST(UpdatePassTest, TheSupportLogKeepsEachRunWhole) {
    Sandbox sandbox("pass-log");
    PatchSite site("log");
    std::vector<FileSpec> files(200, {"f", "x"});
    for (FileSpec& f : files) sandbox.put(f.path += std::to_string(&f - &files[0]), f.content);
    site.manifest(manifestFor(files));
    openSupportLog(sandbox.at("Launcher.log"), 4000);
    logLine("=== run");
    EXPECT_TRUE(site.pass() && !PatchSite("log-none").pass());
    const auto firstLine = [&](const char* name) {
        flushSupportLog(10000);
        const std::string text = sandbox.content(name);
        return text.substr(std::min<std::size_t>(text.size(), 25), text.find('\r') - 25);
    };
    EXPECT_EQ(firstLine("Launcher.log.old") + firstLine("Launcher.log"), "=== run");
    for (const char* line : {" 200 up to date (200 bytes)\r", "none from 127.0.0.1 (HTTP status 404)"})
        EXPECT_NE(sandbox.content("Launcher.log").find(line), std::string::npos) << line;
    for (int i = 0; i < 3; ++i) logLine(std::string(5000, '.')), flushSupportLog(10000);
    EXPECT_EQ(firstLine("Launcher.log"), "=== run, continued");
    openSupportLog(L"");
}
