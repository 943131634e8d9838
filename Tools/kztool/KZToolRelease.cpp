// kztool release: a server tree's signed release manifest shown, and the tree checked against it.

#include "KZTool.h"

#include "Tools/Common/KZToolJsonWriter.h"
#include "Tools/Common/KZToolReleaseFiles.h"
#include "System/KZInstallLayout.h"
#include "System/KZReleaseManifest.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

namespace
{
using KZToolRelease::STreeProblem;

int RunShow(const CKZToolArguments& arguments)
{
    const std::string strPath = KZToolRelease::ManifestPathOf(arguments[0]);
    std::string strText, strWhy;
    CKZReleaseManifest manifest;
    if (!KZToolRelease::ReadManifest(strPath, strText, manifest, strWhy))
        return KZTool::Fail(strWhy);
    const std::string strExpires = CKZReleaseManifest::FormatTime(manifest.Expires());
    if (arguments.Has("--json"))
    {
        CKZToolJsonWriter json;
        json.BeginObject()
            .Key("manifest").String(strPath)
            .Key("format").Unsigned(CKZReleaseManifest::kFormatVersion)
            .Key("release").Unsigned(manifest.Release())
            .Key("expires").String(strExpires)
            .Key("signature").String("not checked")
            .Key("count").Unsigned(manifest.Files().size())
            .Key("files").BeginArray();
        for (const auto& entry : manifest.Files())
            json.BeginObject()
                .Key("path").String(entry.first)
                .Key("size").Unsigned(entry.second.qwSize)
                .Key("digest").String(KZSignature::ToHex(entry.second.digest))
                .EndObject();
        json.EndArray().EndObject();
        printf("%s\n", json.Text().c_str());
        return KZTool::RESULT_OK;
    }
    printf("format\t%u\nrelease\t%llu\nexpires\t%s\nsignature\tnot checked\nfiles\t%zu\n",
           CKZReleaseManifest::kFormatVersion, static_cast<unsigned long long>(manifest.Release()),
           strExpires.c_str(), manifest.Files().size());
    printf("size\tdigest\tpath\n");
    for (const auto& entry : manifest.Files())
        printf("%llu\t%s\t%s\n", static_cast<unsigned long long>(entry.second.qwSize),
               KZSignature::ToHex(entry.second.digest).c_str(), entry.first.c_str());
    return KZTool::RESULT_OK;
}

int RunVerify(const CKZToolArguments& arguments)
{
    const std::string& strTree = arguments[0];
    std::error_code error;
    if (!std::filesystem::is_directory(strTree, error))
        return KZTool::Fail("not a folder: " + strTree);
    std::vector<KZSignature::PublicKey> keys;
    std::string strWhy;
    if (!KZToolRelease::ReadPublicKeyFile(arguments[1], keys, strWhy))
        return KZTool::Fail(strWhy);
    const std::string strPath = KZToolRelease::ManifestPathOf(strTree);
    std::string strText;
    CKZReleaseManifest manifest;
    if (!KZToolRelease::ReadManifest(strPath, strText, manifest, strWhy))
        return KZTool::Fail(strWhy);

    // Every problem is told, an unsigned manifest's files too: they show what was changed.
    std::vector<STreeProblem> problems;
    const int key = CKZReleaseManifest::SigningKey(strText, keys);
    if (key < 0)
        problems.push_back({"signature", KZInstallLayout::kManifestName, arguments[1], "signed by none of its keys"});
    const int64_t now = static_cast<int64_t>(time(nullptr));
    if (now > manifest.Expires())
        problems.push_back({"expired", KZInstallLayout::kManifestName,
                            CKZReleaseManifest::FormatTime(manifest.Expires()), CKZReleaseManifest::FormatTime(now)});
    const std::vector<STreeProblem> files = KZToolRelease::CompareTree(manifest, strTree);
    problems.insert(problems.end(), files.begin(), files.end());

    if (arguments.Has("--json"))
    {
        CKZToolJsonWriter json;
        json.BeginObject()
            .Key("tree").String(strTree)
            .Key("release").Unsigned(manifest.Release())
            .Key("expires").String(CKZReleaseManifest::FormatTime(manifest.Expires()))
            .Key("key").String(key < 0 ? std::string() : KZSignature::ToHex(keys[static_cast<size_t>(key)]))
            .Key("files").Unsigned(manifest.Files().size())
            .Key("clean").Bool(problems.empty())
            .Key("problems").BeginArray();
        for (const STreeProblem& p : problems)
            json.BeginObject()
                .Key("problem").String(p.strKind)
                .Key("path").String(p.strPath)
                .Key("expected").String(p.strExpected)
                .Key("actual").String(p.strActual)
                .EndObject();
        json.EndArray().EndObject();
        printf("%s\n", json.Text().c_str());
    }
    else
    {
        printf("problem\tpath\texpected\tactual\n");
        for (const STreeProblem& p : problems)
            printf("%s\t%s\t%s\t%s\n", p.strKind.c_str(), p.strPath.c_str(), p.strExpected.c_str(),
                   p.strActual.c_str());
        fprintf(stderr, "kztool: release %llu, %zu files checked, %zu problems\n",
                static_cast<unsigned long long>(manifest.Release()), manifest.Files().size(), problems.size());
    }
    return problems.empty() ? KZTool::RESULT_OK : KZTool::RESULT_FAILURE;
}

const KZTool::CRegistration s_show({"release show", "TREE|MANIFEST [--json]",
                                    "shows a signed release manifest (a server tree's Data.manifest, or the file): "
                                    "format, release, expiry and every file's size and SHA-256 digest; the "
                                    "signature is not checked",
                                    RunShow,
                                    CKZToolArguments(1).AddFlag("--json", CKZToolArguments::REPEAT_REFUSED)});
const KZTool::CRegistration s_verify({"release verify", "TREE PUBLIC_FILE [--json]",
                                      "checks a server tree against its Data.manifest: signed by a key of "
                                      "PUBLIC_FILE, not expired, every file with its size and digest and none "
                                      "unlisted; exit 1 on any problem",
                                      RunVerify,
                                      CKZToolArguments(2).AddFlag("--json", CKZToolArguments::REPEAT_REFUSED),
                                      {1}});
} // namespace
