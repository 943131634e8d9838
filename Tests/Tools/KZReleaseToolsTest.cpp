// Signed releases as a publisher makes them: kztool key generate, kzpublish --sign-key, and kztool
// release show and release verify on the trees it writes, tampered with in each way that must show.

#include "Base/Hash/KZSignature.h"
#include "System/KZReleaseManifest.h"

#include "Fixtures/KZTestCommand.h"
#include "Fixtures/KZTestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;

namespace
{
const std::string kTool = KZ_BINARY_DIR "/kztool ";
const std::string kPublish = KZ_BINARY_DIR "/kzpublish ";

void WriteFile(const fs::path& path, const std::string& strBytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << strBytes;
}

// The stdout lines after the header, one per problem.
size_t ProblemLines(const std::string& strOut)
{
    return static_cast<size_t>(std::count(strOut.begin(), strOut.end(), '\n')) - 1;
}

class KZReleaseToolsTest : public CKZTestWithDirectory
{
protected:
    KZReleaseToolsTest() : CKZTestWithDirectory("kzrelease") {}
    void SetUp() override
    {
        CKZTestWithDirectory::SetUp();
        WriteFile(m_dir / "client" / "maps" / "a.map", std::string(5000, 'a'));
        WriteFile(m_dir / "client" / "c.txt", "ccc");
        WriteFile(m_dir / "app" / "Info.plist", "app");
        ASSERT_EQ(Run(kTool + "key generate k.secret k.public").status, 0);
        ASSERT_EQ(Run(kTool + "key generate other.secret other.public").status, 0);
    }
    SKZTestCommandResult Run(const std::string& strCommand)
    {
        return KZTestRunCommandIn(m_dir.string(), strCommand, Path("run"));
    }
    SKZTestCommandResult Publish(const std::string& strArgs)
    {
        return Run(kPublish + "client server --app app " + strArgs);
    }
    // The release number and expiry kztool release show reads from a tree.
    uint64_t ShownRelease(const std::string& strTree, int64_t* pExpires = nullptr)
    {
        const std::string strOut = Run(kTool + "release show " + strTree).out;
        const size_t release = strOut.find("\nrelease\t"), expires = strOut.find("\nexpires\t");
        if (release == std::string::npos || expires == std::string::npos)
            return 0;
        if (pExpires)
            CKZReleaseManifest::ParseTime(strOut.substr(expires + 9, 20), *pExpires);
        return std::stoull(strOut.substr(release + 9));
    }
};
} // namespace

TEST_F(KZReleaseToolsTest, KeyGenerateWritesAPrivateSecretAndNeverOverwrites)
{
    struct stat status;
    ASSERT_EQ(stat(Path("k.secret").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    const std::string strSecret = KZTestReadFile(m_dir / "k.secret");
    const std::string strPublic = KZTestReadFile(m_dir / "k.public");
    EXPECT_EQ(strSecret.rfind("# kzpatch secret signing key: keep it private\n", 0), 0u) << strSecret;
    EXPECT_EQ(strPublic.rfind("# kzpatch public key\n", 0), 0u) << strPublic;
    KZSignature::SecretSeed seed;
    std::vector<KZSignature::PublicKey> keys;
    ASSERT_TRUE(KZSignature::ParseSecret(strSecret, seed));
    ASSERT_TRUE(KZSignature::ParseKeys(strPublic, keys));
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0], KZSignature::PublicKeyOf(seed)) << "the two files are one pair";
    EXPECT_NE(KZTestReadFile(m_dir / "other.public"), strPublic) << "every pair is new";

    // Either name taken: nothing is written, and the file there stays as it was.
    for (const char* szArgs : {"k.secret fresh.public", "fresh.secret k.public", "same same"})
    {
        const SKZTestCommandResult result = Run(kTool + "key generate " + szArgs);
        EXPECT_EQ(result.status, 1) << szArgs;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_FALSE(fs::exists(m_dir / "fresh.public") || fs::exists(m_dir / "fresh.secret") ||
                     fs::exists(m_dir / "same"))
            << szArgs;
    }
    EXPECT_NE(Run(kTool + "key generate k.secret x.public").err.find("k.secret exists already"), std::string::npos);
    EXPECT_EQ(KZTestReadFile(m_dir / "k.secret"), strSecret);
    EXPECT_EQ(KZTestReadFile(m_dir / "k.public"), strPublic);
    EXPECT_EQ(Run(kTool + "key generate only-one").status, 2);
}

TEST_F(KZReleaseToolsTest, SignedTreeVerifiesAndEachTamperingIsOneProblem)
{
    const SKZTestCommandResult published = Publish("--sign-key k.secret");
    ASSERT_EQ(published.status, 0) << published.err;
    EXPECT_NE(published.out.find("signed release 1 of 7 files"), std::string::npos) << published.out;
    SKZTestCommandResult result = Run(kTool + "release verify server k.public");
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out, "problem\tpath\texpected\tactual\n");

    // Two trusted keys, the signing one second: still signed.
    WriteFile(m_dir / "both.public", KZTestReadFile(m_dir / "other.public") + KZTestReadFile(m_dir / "k.public"));
    EXPECT_EQ(Run(kTool + "release verify server both.public").status, 0);

    struct SCase
    {
        const char* szName;
        std::function<void(const fs::path&)> tamper;
        const char* szKeys;
        const char* szProblem;
    };
    const SCase cases[] = {
        {"flipped byte", [](const fs::path& tree) {
             std::string strZip = KZTestReadFile(tree / "Data" / "a.map.zip");
             strZip[strZip.size() / 2] ^= 1;
             WriteFile(tree / "Data" / "a.map.zip", strZip);
         }, "k.public", "digest\tData/a.map.zip\t"},
        {"grown file", [](const fs::path& tree) {
             WriteFile(tree / "Data" / "c.txt.zip", KZTestReadFile(tree / "Data" / "c.txt.zip") + "x");
         }, "k.public", "size\tData/c.txt.zip\t"},
        {"added file", [](const fs::path& tree) { WriteFile(tree / "Data" / "extra.zip", "extra"); }, "k.public",
         "unlisted\tData/extra.zip\t\t5\n"},
        {"removed file", [](const fs::path& tree) { fs::remove(tree / "TVKClientOSX.zip"); }, "k.public",
         "missing\tTVKClientOSX.zip\t"},
        {"another key", [](const fs::path&) {}, "other.public", "signature\tData.manifest\tother.public\t"},
        {"edited release", [](const fs::path& tree) {
             std::string strText = KZTestReadFile(tree / "Data.manifest");
             strText.replace(strText.find("release 1\n"), 10, "release 9\n");
             WriteFile(tree / "Data.manifest", strText);
         }, "k.public", "signature\tData.manifest\t"},
    };
    for (const SCase& test : cases)
    {
        SCOPED_TRACE(test.szName);
        fs::remove_all(m_dir / "copy");
        fs::copy(m_dir / "server", m_dir / "copy", fs::copy_options::recursive);
        test.tamper(m_dir / "copy");
        result = Run(kTool + "release verify copy " + test.szKeys);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(ProblemLines(result.out), 1u) << result.out;
        EXPECT_NE(result.out.find(test.szProblem), std::string::npos) << result.out;
    }

    result = Run(kTool + "release verify server k.public --json");
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("\"release\":1,"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"clean\":true,\"problems\":[]}"), std::string::npos) << result.out;
    // Not a tree, a public key file that holds no key, a tree without a manifest.
    WriteFile(m_dir / "empty.public", "# no keys here\n");
    fs::create_directories(m_dir / "bare");
    for (const char* szArgs : {"k.public k.public", "server empty.public", "bare k.public", "server nowhere"})
    {
        result = Run(kTool + "release verify " + szArgs);
        EXPECT_EQ(result.status, 1) << szArgs;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << szArgs << ": " << result.err;
    }
}

TEST_F(KZReleaseToolsTest, ExpiryIsDaysFromNowAndAnExpiredReleaseFails)
{
    ASSERT_EQ(Publish("--sign-key k.secret").status, 0);
    int64_t expires = 0;
    ShownRelease("server", &expires);
    const int64_t now = static_cast<int64_t>(time(nullptr));
    EXPECT_NEAR(static_cast<double>(expires - now), 30.0 * 86400, 120.0) << "the default is 30 days";

    ASSERT_EQ(Publish("--previous server --sign-key k.secret --expires 0").status, 0);
    ShownRelease("server", &expires);
    // It expires the second it is published: wait for the clock to pass that second.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (static_cast<int64_t>(time(nullptr)) <= expires && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const SKZTestCommandResult result = Run(kTool + "release verify server k.public");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(ProblemLines(result.out), 1u) << result.out;
    EXPECT_NE(result.out.find("expired\tData.manifest\t" + CKZReleaseManifest::FormatTime(expires) + "\t"),
              std::string::npos)
        << result.out;
}

TEST_F(KZReleaseToolsTest, ReleaseNumbersOnlyGrow)
{
    ASSERT_EQ(Publish("--sign-key k.secret").status, 0);
    EXPECT_EQ(ShownRelease("server"), 1u);
    ASSERT_EQ(Publish("--previous server --sign-key k.secret").status, 0);
    EXPECT_EQ(ShownRelease("server"), 2u);
    // Into a new tree, the previous one gives the number.
    ASSERT_EQ(Run(kPublish + "client next --previous server --sign-key k.secret").status, 0);
    EXPECT_EQ(ShownRelease("next"), 3u);
    ASSERT_EQ(Publish("--previous next --sign-key k.secret --release 10").status, 0);
    EXPECT_EQ(ShownRelease("server"), 10u);

    const std::vector<std::string> before = KZTestTree(m_dir);
    const std::string strManifest = KZTestReadFile(m_dir / "server" / "Data.manifest");
    for (const char* szRelease : {"10", "4"})
    {
        const SKZTestCommandResult result = Publish(std::string("--sign-key k.secret --release ") + szRelease);
        EXPECT_EQ(result.status, 2) << szRelease;
        EXPECT_NE(result.err.find("is not above release 10 of server/Data.manifest: release numbers only grow"),
                  std::string::npos)
            << result.err;
    }
    EXPECT_EQ(KZTestTree(m_dir), before);
    EXPECT_EQ(KZTestReadFile(m_dir / "server" / "Data.manifest"), strManifest);

    // A damaged manifest gives no number to follow: refused, unless the release is given.
    WriteFile(m_dir / "server" / "Data.manifest", "damaged\n");
    SKZTestCommandResult result = Publish("--sign-key k.secret");
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("cannot number the release"), std::string::npos) << result.err;
    EXPECT_EQ(KZTestReadFile(m_dir / "server" / "Data.manifest"), "damaged\n");
    EXPECT_EQ(Publish("--sign-key k.secret --release 11").status, 0);
    EXPECT_EQ(ShownRelease("server"), 11u);

    // Unsigned, the tree keeps no manifest that no longer holds.
    result = Publish("--previous server");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.out.find("removed the signed release manifest"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(m_dir / "server" / "Data.manifest"));
    result = Publish("--previous server");
    EXPECT_EQ(result.out.find("removed"), std::string::npos) << result.out;
}

TEST_F(KZReleaseToolsTest, BadKeysAndOptionsLeaveTheTreeAlone)
{
    ASSERT_EQ(Publish("--sign-key k.secret").status, 0);
    WriteFile(m_dir / "bad.secret", "# a seed too short\n0123abcd\n");
    WriteFile(m_dir / "huge.secret", std::string(70000, '#'));
    const std::vector<std::string> before = KZTestTree(m_dir);
    const std::string strManifest = KZTestReadFile(m_dir / "server" / "Data.manifest");
    const struct
    {
        const char* szArgs;
        int status;
        const char* szError;
    } cases[] = {
        {"--sign-key nowhere", 1, "no such file: nowhere"},
        {"--sign-key bad.secret", 1, "bad.secret is not a secret key file"},
        {"--sign-key k.public", 1, "k.public holds a public key"},
        {"--sign-key huge.secret", 1, "huge.secret is larger than 65536 bytes"},
        {"--sign-key app", 1, "is a directory"},
        {"--sign-key k.secret --expires 3651", 2, "--expires"},
        {"--sign-key k.secret --expires -1", 2, "--expires"},
        {"--sign-key k.secret --release 0", 2, "--release"},
        {"--expires 3", 2, "give --sign-key"},
        {"--release 3", 2, "give --sign-key"},
    };
    for (const auto& test : cases)
    {
        const SKZTestCommandResult result = Publish(test.szArgs);
        EXPECT_EQ(result.status, test.status) << test.szArgs;
        EXPECT_NE(result.err.find(test.szError), std::string::npos) << test.szArgs << ": " << result.err;
    }
    EXPECT_EQ(KZTestTree(m_dir), before);
    EXPECT_EQ(KZTestReadFile(m_dir / "server" / "Data.manifest"), strManifest);
}

TEST_F(KZReleaseToolsTest, ShowReadsATreeOrAManifestWithoutTrustingIt)
{
    ASSERT_EQ(Publish("--sign-key k.secret --expires 7 --release 4").status, 0);
    SKZTestCommandResult result = Run(kTool + "release show server");
    ASSERT_EQ(result.status, 0) << result.err;
    const std::string strShown = result.out;
    EXPECT_EQ(strShown.rfind("format\t1\nrelease\t4\nexpires\t", 0), 0u) << strShown;
    EXPECT_NE(strShown.find("\nsignature\tnot checked\nfiles\t7\nsize\tdigest\tpath\n"), std::string::npos) << strShown;
    KZSignature::Digest digest;
    uint64_t qwSize = 0;
    ASSERT_TRUE(KZSignature::HashFile(Path("server/Data.ccx"), digest, &qwSize));
    EXPECT_NE(strShown.find(std::to_string(qwSize) + "\t" + KZSignature::ToHex(digest) + "\tData.ccx\n"),
              std::string::npos)
        << strShown;
    EXPECT_EQ(Run(kTool + "release show server/Data.manifest").out, strShown);
    result = Run(kTool + "release show server --json");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(KZTestRunCommand("echo '" + result.out + "' | python3 -c 'import json, sys; m = json.load(sys.stdin); "
                               "print(m[\"release\"], m[\"count\"], len(m[\"files\"]), m[\"signature\"])'"),
              "4 7 7 not checked\n");

    // Signed by a key nobody trusts still shows; a manifest cut short or a bare folder does not.
    std::string strText = KZTestReadFile(m_dir / "server" / "Data.manifest");
    WriteFile(m_dir / "cut.manifest", strText.substr(0, strText.size() - 10));
    strText.replace(strText.find("expires "), 12, "expires 20x6");
    WriteFile(m_dir / "bad-date.manifest", strText);
    fs::create_directories(m_dir / "bare");
    for (const char* szPath : {"cut.manifest", "bad-date.manifest", "bare"})
    {
        result = Run(kTool + "release show " + szPath);
        EXPECT_EQ(result.status, 1) << szPath;
        EXPECT_EQ(result.out, "") << szPath;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

// The manifest checked with tools of their own: the signature with the openssl command line, each
// digest with Python's hashlib, and the listing against the tree's files.
TEST_F(KZReleaseToolsTest, ManifestHoldsUpToIndependentTools)
{
    if (system("openssl version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "no openssl command line here";
    ASSERT_EQ(Publish("--sign-key k.secret").status, 0);
    const fs::path script = m_dir / "check.py";
    std::ofstream(script) << R"(import base64, hashlib, os, subprocess, sys
tree, public, work, flip = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == "flip"
text = open(os.path.join(tree, "Data.manifest"), "rb").read()
body, _, last = text[:-1].rpartition(b"\n")
body += b"\n"
word, hexsig = last.split(b" ")
assert word == b"signature", last
if flip:
    body = body.replace(b"release 1\n", b"release 2\n")
key = bytes.fromhex([l for l in open(public) if not l.startswith("#")][0].strip())
der = bytes.fromhex("302a300506032b6570032100") + key
with open(os.path.join(work, "pub.pem"), "w") as f:
    f.write("-----BEGIN PUBLIC KEY-----\n" + base64.b64encode(der).decode() + "\n-----END PUBLIC KEY-----\n")
open(os.path.join(work, "body"), "wb").write(body)
open(os.path.join(work, "sig"), "wb").write(bytes.fromhex(hexsig.decode()))
verified = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey", os.path.join(work, "pub.pem"),
                           "-rawin", "-in", os.path.join(work, "body"), "-sigfile", os.path.join(work, "sig")],
                          capture_output=True).returncode == 0
listed = set()
for line in body.decode().splitlines()[3:]:
    word, size, digest, path = line.split(" ", 3)
    data = open(os.path.join(tree, path), "rb").read()
    assert word == "file" and int(size) == len(data), line
    assert hashlib.sha256(data).hexdigest() == digest, line
    listed.add(path)
files = set(os.path.relpath(os.path.join(d, n), tree) for d, _, names in os.walk(tree) for n in names)
assert files - {"Data.manifest"} == listed, files ^ listed
print("signature", "verified" if verified else "refused", "files", len(listed))
)";
    const std::string strCheck = "python3 " + script.string() + " " + Path("server") + " " + Path("k.public") + " " +
                                 m_dir.string();
    EXPECT_EQ(KZTestRunCommand(strCheck + " keep 2>&1"), "signature verified files 7\n");
    EXPECT_EQ(KZTestRunCommand(strCheck + " flip 2>&1"), "signature refused files 7\n") << "the check can fail";
}
