// kzpublish: a client folder in, a patch-server tree out.

#include "KZPublisher.h"

#include "Tools/Common/KZToolArguments.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
const char* const kUsage =
    "usage: kzpublish CLIENT_DIR SERVER_DIR [--previous SERVER_DIR] [--stages RULES] [--zip-size BYTES]\n"
    "                 [--app APP_DIR]\n";

void PrintHelp()
{
    printf("%s", kUsage);
    printf("\n"
           "Publishes the files below CLIENT_DIR as a patch-server tree in SERVER_DIR:\n"
           "  Data.ccx             the catalogue; a file at PATH inside CLIENT_DIR has the path Data/PATH\n"
           "  Data<N>.zip          full-install zip N: PackFiles/p_<N>.csa and its header\n"
           "  Data/<name>.zip      one update zip per file, its entry at PATH\n"
           "  TVKClientOSX.zip     the client application: the files of APP_DIR below TVKClient.app/\n"
           "  ZipInfo.txt, DownloadStages.txt   the zip-information and download-stage reports\n"
           "Everything is written beside SERVER_DIR and moved in afterwards, the catalogue last.\n"
           "\n"
           "  --previous DIR   the tree published before (may be SERVER_DIR itself): unchanged files keep\n"
           "                   their packs, and unchanged packs' zips and update zips are kept as they are\n"
           "  --stages RULES   download stages from a rules file (below); without it all files are stage 0\n"
           "  --zip-size BYTES the size at which a pack is closed (default 67108864); a pack ends with the\n"
           "                   file that crosses it, and every stage starts a pack of its own\n"
           "  --app APP_DIR    the client application; without it the previous tree's is kept\n"
           "  --version        prints the version\n"
           "\n"
           "Refused, with nothing written: an empty client folder, two files whose names differ at most in\n"
           "letter case, a name or Data/PATH over 255 bytes, a file of 2 GiB or more, a name holding a\n"
           "backslash, and client and server folders inside one another.\n"
           "\n%s",
           CKZPublishRules::ms_szSyntax);
}

int Usage(const std::string& strProblem)
{
    fprintf(stderr, "kzpublish: %s\n%s", strProblem.c_str(), kUsage);
    return 2;
}

// Runs the publication: 0, or 1 with one line on stderr.
int Publish(const SKZPublishOptions& options)
{
    try
    {
        CKZPublisher publisher(options);
        if (!publisher.Publish())
        {
            fprintf(stderr, "kzpublish: %s\n", publisher.GetError().c_str());
            return 1;
        }
        const SKZPublishSummary& summary = publisher.GetSummary();
        printf("published %zu files (%llu bytes) in %u packs to %s: %u pack zips and %zu update zips written\n",
               summary.files, static_cast<unsigned long long>(summary.bytes), summary.packs,
               options.strServerDir.c_str(), summary.packZipsWritten, summary.updateZipsWritten);
        return 0;
    }
    catch (const std::exception& e)
    {
        fprintf(stderr, "kzpublish: %s\n", e.what());
        return 1;
    }
}
}

int main(int argc, char** argv)
{
    CKZToolArguments arguments(2, 2, CKZToolArguments::POSITIONALS_ANYWHERE);
    arguments.Expect("CLIENT_DIR and SERVER_DIR")
        .AddStop("--help")
        .AddStop("-h")
        .AddStop("--version")
        .AddOption("--previous")
        .AddOption("--stages")
        .AddOption("--app")
        .AddNumber("--zip-size", 1, 0x7FFFFFFF, "a number of bytes");
    if (!arguments.Parse(std::vector<std::string>(argv + 1, argv + argc)))
        return Usage(arguments.Error());
    if (arguments.Stopped() == "--version")
    {
        printf("kzpublish %s\n", KZ_VERSION);
        return 0;
    }
    if (!arguments.Stopped().empty())
    {
        PrintHelp();
        return 0;
    }
    SKZPublishOptions options;
    options.strClientDir = arguments[0];
    options.strServerDir = arguments[1];
    options.strPreviousDir = arguments.Value("--previous");
    options.strRulesPath = arguments.Value("--stages");
    options.strAppDir = arguments.Value("--app");
    options.dwZipSize = static_cast<uint32_t>(arguments.Number("--zip-size", options.dwZipSize));
    options.bProgress = isatty(STDERR_FILENO) != 0;
    return Publish(options);
}
