// kztool verify: an installation checked against its own catalogue: every record packed at its path
// with its size and checksum, and nothing packed that the catalogue does not list. Given a signed
// release manifest and the public keys, the catalogue is first checked against the release.

#include "KZTool.h"

#include "Tools/Common/KZToolJsonWriter.h"
#include "Tools/Common/KZToolReleaseFiles.h"
#include "System/KZInstallLayout.h"
#include "System/KZInstallationVerifier.h"
#include "System/KZReleaseManifest.h"
#include "System/Util/KZFileTimeCache.h"

#include <cstdio>
#include <vector>

namespace
{
typedef CKZInstallationVerifier Verifier;

// A problem of the installation: the verifier's kinds, and "signature" and "catalogue" of the release.
struct SProblem
{
    std::string strKind;
    std::string strPath;
    std::string strExpected;
    std::string strActual;
};

struct SReport
{
    uint32_t dwFiles = 0;
    bool bInstalledRelease = false;
    unsigned long long qwInstalledRelease = 0;
    bool bManifest = false;
    unsigned long long qwManifestRelease = 0;
    std::vector<SProblem> problems;
};

std::string RootOf(const std::string& strProject)
{
    return strProject.empty() || strProject.back() == '/' ? strProject : strProject + "/";
}

// The release the installation's record names, when it holds one.
void ReadInstalledRelease(const std::string& strRoot, SReport& report)
{
    std::string strText, strIgnored;
    if (!KZToolRelease::ReadBounded(strRoot + KZInstallLayout::kAcceptedReleaseName, 64, strText, strIgnored))
        return;
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r'))
        strText.pop_back();
    long long release = 0;
    if (CKZToolArguments::ParseInteger(strText, 0, INT64_MAX, release))
    {
        report.bInstalledRelease = true;
        report.qwInstalledRelease = static_cast<unsigned long long>(release);
    }
}

std::string SizeAndDigest(const SKZReleaseFile& file)
{
    return std::to_string(file.qwSize) + " " + KZSignature::ToHex(file.digest);
}

// The manifest signed by one of the keys, and the installation's catalogue the release's one.
bool CheckRelease(const std::string& strRoot, const std::string& strManifest, const std::string& strKeys,
                  SReport& report, std::string& strError)
{
    std::vector<KZSignature::PublicKey> keys;
    std::string strText;
    CKZReleaseManifest manifest;
    if (!KZToolRelease::ReadPublicKeyFile(strKeys, keys, strError) ||
        !KZToolRelease::ReadManifest(strManifest, strText, manifest, strError))
        return false;
    report.bManifest = true;
    report.qwManifestRelease = manifest.Release();
    if (CKZReleaseManifest::SigningKey(strText, keys) < 0)
        report.problems.push_back({"signature", strManifest, strKeys, "signed by none of its keys"});
    const char* const szCatalogue = KZInstallLayout::kCatalogueName;
    const SKZReleaseFile* pSigned = manifest.Find(szCatalogue);
    SKZReleaseFile installed;
    const bool bRead = KZSignature::HashFile(strRoot + szCatalogue, installed.digest, &installed.qwSize);
    const std::string strInstalled = bRead ? SizeAndDigest(installed) : "cannot be read";
    if (!pSigned)
        report.problems.push_back({"catalogue", szCatalogue, "not in the release", strInstalled});
    else if (!bRead || installed.qwSize != pSigned->qwSize || installed.digest != pSigned->digest)
        report.problems.push_back({"catalogue", szCatalogue, SizeAndDigest(*pSigned), strInstalled});
    return true;
}

// One problem per record or packed file; false with the reason when the installation cannot be read.
bool Verify(const std::string& strRoot, SReport& report, std::string& strError)
{
    const std::string strCatalogue = strRoot + KZInstallLayout::kCatalogueName;
    CKZFileTimeCache catalogue;
    if (!catalogue.Initialize(strCatalogue.c_str(), nullptr, nullptr))
    {
        strError = KZTool::InputFileProblem(strCatalogue);
        if (strError.empty())
            strError = "cannot load the catalogue " + strCatalogue;
        return false;
    }
    const Verifier::SResult result = Verifier::VerifyPackDirectory(
        catalogue, strRoot + KZInstallLayout::kPackDirectory + "/", Verifier::DEPTH_CONTENT);
    report.dwFiles = result.m_dwCatalogueFiles;
    for (const Verifier::SProblem& p : result.m_Problems)
        report.problems.push_back(
            {Verifier::GetProblemName(p.m_eProblem), p.m_strPath, p.m_strExpected, p.m_strActual});
    return true;
}

void PrintJson(const std::string& strProject, const SReport& report)
{
    CKZToolJsonWriter json;
    json.BeginObject().Key("project").String(strProject).Key("files").Unsigned(report.dwFiles);
    if (report.bInstalledRelease)
        json.Key("release").Unsigned(report.qwInstalledRelease);
    if (report.bManifest)
        json.Key("manifest_release").Unsigned(report.qwManifestRelease);
    json.Key("clean").Bool(report.problems.empty()).Key("problems").BeginArray();
    for (const SProblem& p : report.problems)
        json.BeginObject()
            .Key("problem").String(p.strKind)
            .Key("path").String(p.strPath)
            .Key("expected").String(p.strExpected)
            .Key("actual").String(p.strActual)
            .EndObject();
    json.EndArray().EndObject();
    printf("%s\n", json.Text().c_str());
}

void PrintTable(const SReport& report)
{
    printf("problem\tpath\texpected\tactual\n");
    for (const SProblem& p : report.problems)
        printf("%s\t%s\t%s\t%s\n", p.strKind.c_str(), p.strPath.c_str(), p.strExpected.c_str(), p.strActual.c_str());
    std::string strRelease;
    if (report.bInstalledRelease)
        strRelease += "release " + std::to_string(report.qwInstalledRelease) + " installed, ";
    if (report.bManifest)
        strRelease += "checked against release " + std::to_string(report.qwManifestRelease) + ", ";
    fprintf(stderr, "kztool: %s%u files checked, %zu problems\n", strRelease.c_str(), report.dwFiles,
            report.problems.size());
}

int RunVerify(const CKZToolArguments& arguments)
{
    if (arguments.Has("--manifest") != arguments.Has("--key"))
        return KZTool::Usage("verify");
    const std::string strRoot = RootOf(arguments[0]);
    SReport report;
    std::string strError;
    ReadInstalledRelease(strRoot, report);
    if (arguments.Has("--manifest") &&
        !CheckRelease(strRoot, arguments.Value("--manifest"), arguments.Value("--key"), report, strError))
        return KZTool::Fail(strError);
    if (!Verify(strRoot, report, strError))
        return KZTool::Fail(strError);
    if (arguments.Has("--json"))
        PrintJson(arguments[0], report);
    else
        PrintTable(report);
    return report.problems.empty() ? KZTool::RESULT_OK : KZTool::RESULT_FAILURE;
}

const KZTool::CRegistration s_verify(
    {"verify", "PROJECT_DIR [--manifest MANIFEST --key PUBLIC_FILE] [--json]",
     "checks an installation against its own catalogue: every file packed at its path with its size and CRC-32, "
     "nothing packed beyond it; with --manifest and --key, first that the manifest is signed by a key of "
     "PUBLIC_FILE and the installed Data.ccx is the release's; exit 1 on any problem",
     RunVerify,
     CKZToolArguments(1)
         .AddFlag("--json", CKZToolArguments::REPEAT_REFUSED)
         .AddOption("--manifest", 1, CKZToolArguments::REPEAT_REFUSED)
         .AddOption("--key", 1, CKZToolArguments::REPEAT_REFUSED)});
}
