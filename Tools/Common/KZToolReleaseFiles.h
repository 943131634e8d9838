#pragma once
// What kzpublish and kztool share about signed releases: key files read with a bound, the manifest of
// a server tree read without trusting it, and a tree compared file by file with a manifest.
//
// Key files are text: comment lines starting with "#", then 64 hex digits. A secret key file holds
// one 32-byte seed, a public key file one or more public keys (separated by white space or commas).

#include "Base/Hash/KZSignature.h"
#include "System/KZReleaseManifest.h"

#include <cstdint>
#include <string>
#include <vector>

namespace KZToolRelease
{
// Key files are small: anything longer is not one.
constexpr uint64_t kMaxKeyFileBytes = 64 * 1024;
// The first lines of the files kztool key generate writes.
extern const char* const kSecretKeyComment; // "# kzpatch secret signing key: keep it private"
extern const char* const kPublicKeyComment; // "# kzpatch public key"

// The whole file when it holds at most maxBytes; false with one line in strWhy otherwise.
bool ReadBounded(const std::string& strPath, uint64_t maxBytes, std::string& strBytes, std::string& strWhy);
// Writes the whole text into a file with the mode and flushes it to the disk; a file that could not
// be written whole is removed. bMustBeNew refuses an existing file. False with errno set.
bool WriteFileDurably(const std::string& strPath, bool bMustBeNew, unsigned mode, const std::string& strText);

// A file that says it holds a public key is refused: both kinds are 64 hex digits.
bool ReadSecretKeyFile(const std::string& strPath, KZSignature::SecretSeed& seed, std::string& strWhy);
// At least one key; a file of comments alone is refused, as it would trust nothing.
bool ReadPublicKeyFile(const std::string& strPath, std::vector<KZSignature::PublicKey>& keys, std::string& strWhy);

// The manifest a path names: a folder's Data.manifest, or the file itself.
std::string ManifestPathOf(const std::string& strTreeOrFile);

// Reads a manifest's text and its body, the signature left unchecked; false with strWhy when the file
// cannot be read or is not a manifest.
bool ReadManifest(const std::string& strPath, std::string& strText, CKZReleaseManifest& manifest, std::string& strWhy);

struct STreeProblem
{
    std::string strKind; // "missing", "size", "digest", "unreadable", "unlisted"
    std::string strPath; // the path on the server
    std::string strExpected;
    std::string strActual;
};
// Every file the manifest lists, checked in the tree for its size and digest, then every file of the
// tree that it does not list (the manifest itself apart), in path order.
std::vector<STreeProblem> CompareTree(const CKZReleaseManifest& manifest, const std::string& strRoot);
} // namespace KZToolRelease
