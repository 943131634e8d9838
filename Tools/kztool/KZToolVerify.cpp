// kztool verify: an installation checked against its own catalogue: every record packed with its
// size and checksum, and nothing packed that the catalogue does not list.

#include "KZTool.h"

#include "System/KZInstallLayout.h"
#include "System/KZInstallationVerifier.h"
#include "System/Util/KZFileTimeCache.h"

#include <cstdio>
#include <vector>

namespace
{
typedef CKZInstallationVerifier Verifier;

std::string JsonText(const std::string& strText)
{
    std::string strOut = "\"";
    for (const char c : strText)
    {
        if (c == '"' || c == '\\')
            strOut += std::string("\\") + c;
        else if (static_cast<unsigned char>(c) < 0x20)
        {
            char escaped[8];
            snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned>(c));
            strOut += escaped;
        }
        else
            strOut += c;
    }
    return strOut + "\"";
}

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

int RunVerify(const std::vector<std::string>& args)
{
    if (args.empty() || args.size() > 2 || (args.size() == 2 && args[1] != "--json"))
        return KZTool::Usage("verify");
    const bool bJson = args.size() == 2;
    Verifier::SResult result;
    std::string strError;
    if (!Verify(args[0], result, strError))
        return KZTool::Fail(strError);
    const size_t files = result.m_dwCatalogueFiles;
    const std::vector<Verifier::SProblem>& vecProblems = result.m_Problems;
    if (bJson)
    {
        printf("{\"project\":%s,\"files\":%zu,\"clean\":%s,\"problems\":[", JsonText(args[0]).c_str(), files,
               vecProblems.empty() ? "true" : "false");
        for (size_t i = 0; i < vecProblems.size(); ++i)
        {
            const Verifier::SProblem& p = vecProblems[i];
            printf("%s{\"problem\":%s,\"path\":%s,\"expected\":%s,\"actual\":%s}", i ? "," : "",
                   JsonText(Verifier::GetProblemName(p.m_eProblem)).c_str(), JsonText(p.m_strPath).c_str(),
                   JsonText(p.m_strExpected).c_str(), JsonText(p.m_strActual).c_str());
        }
        printf("]}\n");
    }
    else
    {
        printf("problem\tpath\texpected\tactual\n");
        for (const Verifier::SProblem& p : vecProblems)
            printf("%s\t%s\t%s\t%s\n", Verifier::GetProblemName(p.m_eProblem), p.m_strPath.c_str(),
                   p.m_strExpected.c_str(), p.m_strActual.c_str());
        fprintf(stderr, "kztool: %zu files checked, %zu problems\n", files, vecProblems.size());
    }
    return vecProblems.empty() ? KZTool::RESULT_OK : KZTool::RESULT_FAILURE;
}

const KZTool::CRegistration s_verify({"verify", "PROJECT_DIR [--json]",
                                      "checks an installation against its own catalogue: every file packed at its "
                                      "path with its size and CRC-32, nothing packed beyond it; exit 1 on any problem",
                                      RunVerify});
}
