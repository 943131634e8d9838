#pragma once
// Whether the packs of an installation hold a catalogue, at one of four depths: the number of
// files; the catalogue's names; every record packed at its path with its size and nothing packed
// beyond the records; and that with the CRC-32 of every packed file's bytes. The installer checks
// the count after a patch run, kzpublish the listing of the packs it built, kztool verify the content.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class CKZFileDetails;
class CKZFileTimeCache;
class CKZPackIndex;
struct SKZPackedFile;

class CKZInstallationVerifier
{
public:
    enum EDepth
    {
        DEPTH_COUNT,   // as many packed files as records
        DEPTH_NAMES,   // every record's name packed, every packed file's name a record's
        DEPTH_LISTING, // every record packed at its path with its size, nothing packed beyond them
        DEPTH_CONTENT, // and every packed file's bytes have the record's CRC-32
    };
    enum EProblem
    {
        PROBLEM_COUNT,      // expected: the records, actual: the packed files
        PROBLEM_MISSING,    // a record without a packed file
        PROBLEM_PATH,       // packed at another internal path (expected, actual)
        PROBLEM_SIZE,       // packed with another size (expected, actual)
        PROBLEM_CHECKSUM,   // packed with other bytes (the CRC-32s as 8 hex digits)
        PROBLEM_UNREADABLE, // packed bytes that cannot all be read
        PROBLEM_EXTRA,      // a packed file no record lists (actual: its size)
    };
    struct SProblem
    {
        EProblem m_eProblem;
        std::string m_strPath; // the record's path; the file name at DEPTH_NAMES
        std::string m_strExpected;
        std::string m_strActual;
    };
    struct SResult
    {
        uint32_t m_dwCatalogueFiles = 0;
        uint32_t m_dwPackedFiles = 0;
        std::vector<SProblem> m_Problems; // records in key order first, then packed files in pack order
        bool IsClean() const { return m_Problems.empty(); }
    };

    CKZInstallationVerifier(const CKZFileTimeCache& catalogue, const CKZPackIndex& index)
        : m_Catalogue(catalogue), m_Index(index)
    {
    }
    SResult Verify(EDepth depth) const;

    // The packs of a pack directory (its text ending in "/") against a catalogue; a directory
    // whose packs do not open holds none of the catalogue's files.
    static SResult VerifyPackDirectory(const CKZFileTimeCache& catalogue, const std::string& strPackDirectory,
                                       EDepth depth);
    // The installer's check after a patch run: the packs hold as many files as the catalogue
    // lists. A catalogue of no files needs no packs at all.
    static bool HoldsFileCount(const std::string& strPackDirectory, uint32_t dwCatalogueFiles);
    // "count", "missing", "path", "size", "checksum", "unreadable", "extra".
    static const char* GetProblemName(EProblem problem);

private:
    void CompareNames(SResult& result) const;
    void CompareRecord(const CKZFileDetails& record, bool bContent, std::set<const SKZPackedFile*>& listed,
                       SResult& result) const;
    void AddExtraFiles(const std::set<const SKZPackedFile*>& listed, SResult& result) const;

    const CKZFileTimeCache& m_Catalogue;
    const CKZPackIndex& m_Index;
};
