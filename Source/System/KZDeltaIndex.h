#pragma once
// The deltas a server tree holds ("Data.deltas", beside the catalogue): for each, the catalogue file
// it belongs to, the base it applies to (size and CRC-32 of the bytes a client already has), the
// target it gives (size, CRC-32 and SHA-256 of the file's current bytes), its own size and the
// publication that made it. A text, lines ending in "\n":
//
//   kzpatch-delta-index 1
//   publication 7
//   delta 4194304 1c291ca3 4202496 a2b4c6d8 9f2c...e1 61234 7 level 3.pak
//        (base size and CRC, target size, CRC and SHA-256, delta size, publication, file name)
//
// The delta of a line lies at KZInstallLayout::DeltaName(name, base CRC): one delta per base of a
// file. A signed release lists the index like every other file, which signs the targets' digests.

#include "Base/Hash/KZSignature.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct SKZDelta
{
    std::string strName;
    uint32_t dwBaseSize = 0;
    uint32_t dwBaseCrc = 0;
    uint32_t dwTargetSize = 0;
    uint32_t dwTargetCrc = 0;
    KZSignature::Digest targetDigest{};
    uint64_t qwDeltaSize = 0;
    uint64_t qwPublication = 0;

    // Where it lies on the server.
    std::string ServerPath() const;
};

class CKZDeltaIndex
{
public:
    static constexpr uint32_t kFormatVersion = 1;
    static constexpr uint64_t kMaxBytes = 32ull << 20;
    // Sizes of bases, targets and deltas, as pack files hold files.
    static constexpr uint64_t kMaxFileSize = 0x7FFFFFFF;

    uint64_t Publication() const { return m_qwPublication; }
    void SetPublication(uint64_t qwPublication) { m_qwPublication = qwPublication; }

    // False for a name no catalogue file has, a size past kMaxFileSize, a publication after the
    // index's own, or a second delta for one base of a file.
    bool Add(const SKZDelta& delta);
    // The delta of a file for a base, or null.
    const SKZDelta* Find(const std::string& strName, uint32_t dwBaseSize, uint32_t dwBaseCrc) const;
    // Every delta, by file name and base CRC.
    const std::map<std::pair<std::string, uint32_t>, SKZDelta>& Deltas() const { return m_deltas; }
    bool Empty() const { return m_deltas.empty(); }

    std::string Text() const;
    // Reads an index; a refused text leaves the index empty and says why.
    bool Parse(const std::string& strText, std::string& strWhy);

    // A file name as the catalogue keys it: not empty, at most 255 bytes, no separators or control
    // characters, not "." or "..".
    static bool IsFileName(const std::string& strName);

private:
    bool ParseDelta(const std::string& strLine);

    uint64_t m_qwPublication = 0;
    std::map<std::pair<std::string, uint32_t>, SKZDelta> m_deltas;
};
