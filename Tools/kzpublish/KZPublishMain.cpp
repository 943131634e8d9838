// kzpublish: a client folder in, a patch-server tree out.

#include "KZPublisher.h"
#include "KZReleaseSigner.h"

#include "System/KZReleaseManifest.h"
#include "Tools/Common/KZToolArguments.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
const char* const kUsage =
    "usage: kzpublish CLIENT_DIR SERVER_DIR [--previous SERVER_DIR [--keep-deltas N] [--delta-level L]]\n"
    "                 [--stages RULES] [--zip-size BYTES] [--app APP_DIR]\n"
    "                 [--sign-key SECRET_KEY_FILE [--expires DAYS] [--release N]]\n";

void PrintHelp()
{
    printf("%s", kUsage);
    printf("\n"
           "Publishes the files below CLIENT_DIR as a patch-server tree in SERVER_DIR:\n"
           "  Data.ccx             the catalogue; a file at PATH inside CLIENT_DIR has the path Data/PATH\n"
           "  Data<N>.zip          full-install zip N: PackFiles/p_<N>.csa and its header\n"
           "  Data/<name>.zip      one update zip per file, its entry at PATH\n"
           "  TVKClientOSX.zip     the client application: the files of APP_DIR below TVKClient.app/\n"
           "  Data.deltas          with --previous: the index of the deltas the tree holds\n"
           "  Data/<name>.<crc>.delta  a delta that turns the file whose CRC-32 is <crc> into its current bytes\n"
           "  ZipInfo.txt, DownloadStages.txt   the zip-information and download-stage reports\n"
           "Everything is written beside SERVER_DIR and moved in afterwards, the catalogue last.\n"
           "\n"
           "  --previous DIR   the tree published before (may be SERVER_DIR itself): unchanged files keep\n"
           "                   their packs, and unchanged packs' zips and update zips are kept as they are;\n"
           "                   a changed file gets a delta from its previous bytes when the delta is at most\n"
           "                   three quarters of its update zip\n"
           "  --keep-deltas N  a delta stays listed for N publications while it still gives the file's\n"
           "                   current bytes (0 to 1000, default 3); 0 writes no deltas and no index\n"
           "  --delta-level L  the compression level of new deltas (1 to 19, default 19)\n"
           "  --stages RULES   download stages from a rules file (below); without it all files are stage 0\n"
           "  --zip-size BYTES the size at which a pack is closed (default 67108864); a pack ends with the\n"
           "                   file that crosses it, and every stage starts a pack of its own\n"
           "  --app APP_DIR    the client application; without it the previous tree's is kept\n"
           "  --sign-key FILE  signs the release: once the tree is in place, Data.manifest at its root lists\n"
           "                   every file of the tree with its size and SHA-256 digest, signed with the\n"
           "                   Ed25519 secret key in FILE (kztool key generate makes one). Without it no\n"
           "                   manifest is written, and one left by an earlier signed publication is removed\n"
           "  --expires DAYS   the signed release expires DAYS days from now (0 to 3650, default 30)\n"
           "  --release N      the signed release's number (default: one more than the release of the\n"
           "                   manifest in SERVER_DIR or in the --previous tree, else 1); it must be above it\n"
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

// Signs the tree just published, or removes the manifest of an earlier signed publication from it.
int Sign(CKZReleaseSigner* pSigner, const std::string& strServerDir)
{
    if (!pSigner)
    {
        std::string strError;
        if (CKZReleaseSigner::RemoveStale(strServerDir, strError))
            printf("removed the signed release manifest of an earlier publication: this one is not signed\n");
        if (strError.empty())
            return 0;
        fprintf(stderr, "kzpublish: %s\n", strError.c_str());
        return 1;
    }
    if (!pSigner->Write(static_cast<int64_t>(time(nullptr))))
    {
        fprintf(stderr, "kzpublish: the tree is published, but not signed: %s\n", pSigner->GetError().c_str());
        return 1;
    }
    printf("signed release %llu of %zu files, expires %s, key %s\n",
           static_cast<unsigned long long>(pSigner->Release()), pSigner->Files(),
           CKZReleaseManifest::FormatTime(pSigner->Expires()).c_str(), pSigner->PublicKeyHex().c_str());
    return 0;
}

void PrintDeltas(const SKZDeltaSummary& deltas)
{
    const double share = deltas.qwZipBytes ? 100.0 * static_cast<double>(deltas.qwBytes) /
                                                 static_cast<double>(deltas.qwZipBytes)
                                           : 0.0;
    printf("deltas: %zu written (%llu bytes, %.1f%% of their update zips), %zu kept from earlier publications, "
           "%zu not worth writing\n",
           deltas.written, static_cast<unsigned long long>(deltas.qwBytes), share, deltas.kept, deltas.notWorth);
}

// Runs the publication: 0, or 1 with one line on stderr.
int Publish(const SKZPublishOptions& options, CKZReleaseSigner* pSigner)
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
        if (!options.strPreviousDir.empty())
            PrintDeltas(summary.deltas);
        return Sign(pSigner, options.strServerDir);
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
        .AddNumber("--zip-size", 1, 0x7FFFFFFF, "a number of bytes")
        .AddNumber("--keep-deltas", 0, 1000, "a number of publications")
        .AddNumber("--delta-level", 1, KZFileDelta::kDefaultLevel, "a compression level")
        .AddOption("--sign-key", 1, CKZToolArguments::REPEAT_REFUSED)
        .AddNumber("--expires", 0, 3650, "a number of days")
        .AddNumber("--release", 1, INT64_MAX, "a release number");
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
    if ((arguments.Has("--keep-deltas") || arguments.Has("--delta-level")) && !arguments.Has("--previous"))
        return Usage("--keep-deltas and --delta-level concern deltas from a previous tree: give --previous DIR");
    options.dwKeepDeltas = static_cast<uint32_t>(arguments.Number("--keep-deltas", options.dwKeepDeltas));
    options.deltaLevel = static_cast<int>(arguments.Number("--delta-level", options.deltaLevel));
    options.bProgress = isatty(STDERR_FILENO) != 0;

    std::unique_ptr<CKZReleaseSigner> pSigner;
    if (arguments.Has("--sign-key"))
    {
        CKZReleaseSigner::SOptions signing;
        signing.strKeyPath = arguments.Value("--sign-key");
        signing.expiresDays = arguments.Number("--expires", signing.expiresDays);
        signing.qwRelease = static_cast<uint64_t>(arguments.Number("--release", 0));
        pSigner = std::make_unique<CKZReleaseSigner>(signing, options.strServerDir, options.strPreviousDir);
        const CKZReleaseSigner::EPrepared prepared = pSigner->Prepare();
        if (prepared == CKZReleaseSigner::PREPARE_USAGE)
            return Usage(pSigner->GetError());
        if (prepared != CKZReleaseSigner::PREPARED)
        {
            fprintf(stderr, "kzpublish: %s\n", pSigner->GetError().c_str());
            return 1;
        }
    }
    else if (arguments.Has("--expires") || arguments.Has("--release"))
        return Usage("--expires and --release sign a release: give --sign-key SECRET_KEY_FILE");
    return Publish(options, pSigner.get());
}
