// kztool verify: an installation checked against its own catalogue: every record packed at its path
// with its size and checksum, and nothing packed that the catalogue does not list.

#include "KZTool.h"

#include "Tools/Common/KZToolJsonWriter.h"
#include "System/KZInstallLayout.h"
#include "System/KZInstallationVerifier.h"
#include "System/Util/KZFileTimeCache.h"

#include <cstdio>
#include <vector>

namespace
{
typedef CKZInstallationVerifier Verifier;

// One problem per record or packed file; false with the reason when the installation cannot be read.
bool Verify(const std::string& strProject, Verifier::SResult& result, std::string& strError)
{
    const std::string strRoot = strProject.empty() || strProject.back() == '/' ? strProject : strProject + "/";
    const std::string strCatalogue = strRoot + KZInstallLayout::kCatalogueName;
    CKZFileTimeCache catalogue;
    if (!catalogue.Initialize(strCatalogue.c_str(), nullptr, nullptr))
    {
        strError = KZTool::InputFileProblem(strCatalogue);
        if (strError.empty())
            strError = "cannot load the catalogue " + strCatalogue;
        return false;
    }
    result = Verifier::VerifyPackDirectory(catalogue, strRoot + KZInstallLayout::kPackDirectory + "/",
                                           Verifier::DEPTH_CONTENT);
    return true;
}

void PrintJson(const std::string& strProject, const Verifier::SResult& result)
{
    CKZToolJsonWriter json;
    json.BeginObject().Key("project").String(strProject).Key("files").Unsigned(result.m_dwCatalogueFiles);
    json.Key("clean").Bool(result.m_Problems.empty()).Key("problems").BeginArray();
    for (const Verifier::SProblem& p : result.m_Problems)
        json.BeginObject()
            .Key("problem").String(Verifier::GetProblemName(p.m_eProblem))
            .Key("path").String(p.m_strPath)
            .Key("expected").String(p.m_strExpected)
            .Key("actual").String(p.m_strActual)
            .EndObject();
    json.EndArray().EndObject();
    printf("%s\n", json.Text().c_str());
}

void PrintTable(const Verifier::SResult& result)
{
    printf("problem\tpath\texpected\tactual\n");
    for (const Verifier::SProblem& p : result.m_Problems)
        printf("%s\t%s\t%s\t%s\n", Verifier::GetProblemName(p.m_eProblem), p.m_strPath.c_str(), p.m_strExpected.c_str(),
               p.m_strActual.c_str());
    fprintf(stderr, "kztool: %u files checked, %zu problems\n", result.m_dwCatalogueFiles, result.m_Problems.size());
}

int RunVerify(const CKZToolArguments& arguments)
{
    Verifier::SResult result;
    std::string strError;
    if (!Verify(arguments[0], result, strError))
        return KZTool::Fail(strError);
    if (arguments.Has("--json"))
        PrintJson(arguments[0], result);
    else
        PrintTable(result);
    return result.m_Problems.empty() ? KZTool::RESULT_OK : KZTool::RESULT_FAILURE;
}

const KZTool::CRegistration s_verify({"verify", "PROJECT_DIR [--json]",
                                      "checks an installation against its own catalogue: every file packed at its "
                                      "path with its size and CRC-32, nothing packed beyond it; exit 1 on any problem",
                                      RunVerify,
                                      CKZToolArguments(1).AddFlag("--json", CKZToolArguments::REPEAT_REFUSED)});
}
