#pragma once
// The names an installation and a server tree are made of, and how a catalogue record's path maps
// to the internal path of its packed copy. Everything that lays files out or looks for them (the
// installer, the pack archive's callers, kzpublish, kztool) takes the names from here.

#include <cstdint>
#include <string>

namespace KZInstallLayout
{
// Below the install root.
extern const char* const kPackDirectory;   // "PackFiles"
extern const char* const kCacheName;       // "Data": the catalogue's base name and the download directory
extern const char* const kCatalogueName;   // "Data.ccx"
extern const char* const kOldCatalogueName; // "Data.cch"
extern const char* const kUpdateName;      // "Data.update": the server's catalogue as downloaded
extern const char* const kStageCatalogueName; // "Data.temp"
extern const char* const kLockName;        // "Data.lock": held by the run that works on the installation
extern const char* const kResumeName;      // "Data.resume": a cancelled run left downloads to resume
extern const char* const kAcceptedReleaseName; // "Data.release": the highest signed release installed here
// On the server.
extern const char* const kManifestName;     // "Data.manifest": the signed release, beside the catalogue
extern const char* const kDeltaIndexName;   // "Data.deltas": the deltas the server holds, beside the catalogue
extern const char* const kClientZipName;   // "TVKClientOSX.zip"
extern const char* const kClientAppName;   // "TVKClient.app"

// A record's path begins with this; its file lies at the same path below the install root, and
// inside its update zip at the path less the prefix.
extern const char* const kRecordPrefix; // "Data/"

// The internal path a record's file has in its pack: the record path less "Data/", with "\"
// separators ("Data/levels/a.lvl" -> "levels\a.lvl"). Empty for a path without the prefix.
std::string PackedPathOfRecord(const std::string& strRecordPath);
// The form our 1.0.0 wrote: the whole record path with "\" separators ("Data\levels\a.lvl").
std::string OldPackedPathOfRecord(const std::string& strRecordPath);

// The record path a packed file stands for: "Data/" and its internal path with "/" separators; an
// internal path of the 1.0.0 form already begins with "Data\".
std::string RecordPathOfPacked(const std::string& strPackedPath);

enum EPackedPathMatch
{
    PACKED_PATH_DIFFERS = 0,
    PACKED_PATH_MATCHES = 1,     // the design's internal path
    PACKED_PATH_MATCHES_OLD = 2, // the 1.0.0 form, accepted as the same file
};
// How a packed file's internal path stands to a record's path; "\" and "/" count the same.
EPackedPathMatch MatchPackedPath(const std::string& strPackedPath, const std::string& strRecordPath);

// Inside the pack directory. Pack i is "p_%08d.csa" and its header file that name followed by
// "header"; a patch run writes each pack it rebuilds as "p_tmp_%08d.csa" (and header) first and,
// once all of them are complete, its commit marker.
extern const char* const kPackBase;          // "p"
extern const char* const kTemporaryPackBase; // "p_tmp"
extern const char* const kPackExtension;     // "csa"
extern const char* const kPackHeaderSuffix;  // "header"
extern const char* const kPatchCommitName;   // "p_tmp_commit"

// "%s_%08d.%s" of base, index and extension.
std::string PackFileName(int index, const char* szBase, const char* szExtension);
// "p_%08d.csa" and "p_tmp_%08d.csa" of a pack number.
std::string PackName(unsigned int pack);
std::string TemporaryPackName(unsigned int pack);
// The header file beside a pack's data file (a name or a whole path).
std::string PackHeaderName(const std::string& strPackName);

// Full-install zip N on the server: "Data<N>.zip"; its install marker "Data<N>.install".
std::string FullInstallZipName(unsigned int zip);
// The update zip of a catalogue file: "Data/<name>.zip".
std::string UpdateZipName(const std::string& strName);
// The delta that turns a catalogue file whose CRC-32 is dwBaseCrc into its current bytes:
// "Data/<name>.<crc, 8 lower-case hex digits>.delta".
std::string DeltaName(const std::string& strName, uint32_t dwBaseCrc);
} // namespace KZInstallLayout
