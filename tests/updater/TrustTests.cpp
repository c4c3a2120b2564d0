#include <windows.h>

#include "TestSupport.h"
#include "core/LauncherState.h"
#include "updater/UpdateWorker.h"

using namespace testing_support;

namespace {

const std::wstring kVersionKey = L"Software\\LauncherTests\\Trust";
const std::wstring kUnverified = L"Error: The update could not be verified.";
const std::wstring kFailed = L"Error: Check your connection.";
const std::wstring kUpToDate = L"All files are up to date!";

}  // namespace

// Every manifest that is not signed by the key, or whose signed version or
// expiry is refused, ends in the verification text with the game folder
// byte-identical and the stored version as it was, before any game file is
// asked for; a pair that does not match is fetched once more first (the
// operator may be uploading). A redirect is an answer that failed: no
// fallback (Main.exe is present), and its target is never asked for. Nor is a
// sign-in page of the network in the way a manifest.
TEST(SignedManifestTest, OnlyTrustedManifestsChangeTheGame) {
    Sandbox sandbox("trust");
    sandbox.put("Main.exe", "MZ");
    RegDeleteTreeW(HKEY_CURRENT_USER, kVersionKey.c_str());
    const TestKey key, otherKey;
    const std::string entries = manifestFor({{"a.bin", "new"}}).substr(1);  // "files": [...]}
    const auto now = static_cast<long long>(std::time(nullptr));
    auto doc = [&](const std::string& fields) { return "{" + fields + entries; };
    auto versioned = [&](long long v, long long until = 0) { return withVersion("{" + entries, v, until); };
    const std::string good = versioned(9), sig = key.sign(good), kSigned = "<signed>";
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    std::string tampered = good;
    tampered[tampered.find("\"hash\": \"") + 9] ^= 1;
    const Requests both = {"manifest.json", "manifest.json.sig"}, all = {both[0], both[1], "a.bin"};
    const Requests twice = {both[0], both[1], both[0], both[1]};
    const struct {
        const char* name;
        std::string body, signature;  // kSigned: the body signed by the key
        const char* redirected = "";  // this file answers 302 to a copy of itself
        std::wstring text = kUnverified;
        Requests requests = {"manifest.json", "manifest.json.sig"};
        std::uint32_t stored = 5;
        const char* signatureHow = "";  // the signature file's misbehaviour
    } cases[] = {
        {"valid", versioned(5), kSigned, "", kUpToDate, all},
        {"one byte changed", tampered, sig, "", kUnverified, twice},
        {"another document's signature", good, key.sign(versioned(9, now + 100)), "", kUnverified, twice},
        {"another key's signature", good, otherKey.sign(good), "", kUnverified, twice},
        {"no signature file", good, "<none>", "", kUnverified, twice},
        {"signature a moment late", versioned(5), kSigned, "", kUpToDate,
         {both[0], both[1], both[0], both[1], "a.bin"}, 5, "status=404\nfirst=1"},
        {"2 KiB signature", good, sig + std::string(2048 - sig.size(), '\n'), "", kUnverified, twice},
        {"not hex", good, "z" + sig.substr(1), "", kUnverified, twice},
        {"no version", doc("\"expires\": " + std::to_string(now + 86400) + ", "), kSigned},
        {"version 0", versioned(0), kSigned},
        {"version as text", doc("\"version\": \"9\", \"expires\": 9999999999, "), kSigned},
        {"version beyond 32 bits", versioned(4294967296), kSigned},
        {"version below the stored one", versioned(4), kSigned},
        {"expired", versioned(9, now - 60), kSigned},
        {"no expiry", doc("\"version\": 9, "), kSigned},
        {"deep and unsigned", deep, sig, "", kUnverified, twice},
        {"deep and signed", deep, kSigned},
        {"a sign-in page", "\n<html><body>Sign in</body></html>", kSigned, "", kFailed, {both[0]}},
        {"signature redirected", good, sig, "manifest.json.sig", kUnverified, twice},
        {"manifest redirected", good, sig, "manifest.json", kFailed, {"manifest.json"}},
        {"file redirected", versioned(5), kSigned, "a.bin", kFailed, all},
        {"newer", versioned(7), kSigned, "", kUpToDate, all, 7},
        {"the same again", versioned(7), kSigned, "", kUpToDate, all, 7},
        {"older after newer", versioned(6), kSigned, "", kUnverified, both, 7},
    };
    for (const auto& c : cases) {
        PatchSite site("trust-" + std::to_string(&c - cases));
        Updater updater = site.updater();
        updater.onProgress = reportProgress;
        updater.trust = {key.publicKey(), kVersionKey};
        std::map<std::string, std::string> served = {
            {"manifest.json", c.body},
            {"manifest.json.sig", c.signature == kSigned ? key.sign(c.body) : c.signature},
            {"a.bin", "new"}};
        if (c.signature == "<none>") served.erase("manifest.json.sig");
        for (const auto& [path, bytes] : served) site.file(path, bytes);
        if (*c.redirected) {
            site.file("elsewhere/" + std::string(c.redirected), served[c.redirected]);
            site.misbehave(c.redirected, "redirect=/" + site.name + "/elsewhere/" + c.redirected);
        }
        if (*c.signatureHow) site.misbehave("manifest.json.sig", c.signatureHow);
        sandbox.put("a.bin", kOld);
        const auto before = snapshot(sandbox.root());
        runUpdate(updater);
        EXPECT_EQ(launcherState.statusDetail.get(), c.text) << c.name;
        EXPECT_EQ(site.requests(), c.requests) << c.name;
        EXPECT_EQ(storedManifestVersion(updater.trust), c.stored) << c.name;
        expectOnlyDocumentsRevalidated(c.name);
        if (c.text == kUpToDate)
            EXPECT_EQ(sandbox.content("a.bin"), "new") << c.name;
        else
            EXPECT_EQ(snapshot(sandbox.root()), before) << c.name;
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, kVersionKey.c_str());
    // The signature is checked first: the parser never sees these bytes
    // (through the worker both refusals show the same text).
    for (const std::string& unread : {deep, std::string("{\"version\": ")})
        EXPECT_EQ(checkManifestTrust(unread, sig, key.publicKey(), now, 0).verdict,
                  TrustVerdict::BadSignature);
    // This build is a signed one (scripts/build.sh gives it the test key).
    EXPECT_EQ(builtInTrust().publicKey.size(), 64u);
}

// Each deployment (key and primary patch server) keeps its own highest
// version: a test server's version 3 is taken after the live server's 9,
// and the live server still refuses an 8.
TEST(SignedManifestTest, DeploymentsKeepTheirOwnVersions) {
    RegDeleteTreeW(HKEY_CURRENT_USER, kVersionKey.c_str());
    const TestKey key;
    const auto expires = static_cast<long long>(std::time(nullptr)) + 86400;
    const ManifestTrust live{key.publicKey(), kVersionKey, "https://cdn.example/patch/"};
    const ManifestTrust test{key.publicKey(), kVersionKey, "https://test.example/patch/"};
    const auto accept = [&](const ManifestTrust& trust, int version) {
        const std::string text = "{\"version\": " + std::to_string(version) +
                                 ", \"expires\": " + std::to_string(expires) + ", \"files\": []}";
        return acceptManifest(trust, text, key.sign(text));
    };
    EXPECT_EQ(accept(live, 9), TrustVerdict::Trusted);
    EXPECT_EQ(accept(test, 3), TrustVerdict::Trusted);
    EXPECT_EQ(accept(live, 8), TrustVerdict::Rollback);
    EXPECT_EQ(std::make_pair(storedManifestVersion(live), storedManifestVersion(test)),
              std::make_pair(9u, 3u));
    RegDeleteTreeW(HKEY_CURRENT_USER, kVersionKey.c_str());
}
