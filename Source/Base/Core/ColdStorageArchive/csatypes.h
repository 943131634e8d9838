#pragma once
// Records of the cold storage archive: a data file holding many files one after another, and a
// header file (a serializer image) describing them. The container keeps a naming style of its own.

#include "Base/Core/KZFile.h"
#include "Base/Serialize/KZSerialize.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The bytes "GEEK" in little-endian order.
constexpr uint32_t CSA_MAGIC = 0x4B454547;
// Both texts of a grocery record hold at most this many characters; longer texts are cut.
constexpr size_t CSA_MAX_PATH_TEXT = 1023;

struct CSA_HEADER : public IKZSerializable
{
    uint32_t dwmagic = CSA_MAGIC;
    uint32_t dwfileversion = 0;
    uint32_t dwfilestart = 0;
    uint16_t wmode = 0;
    uint16_t walignment = 0; // fill granularity of file data; never 0 in a container we write

    uint32_t GetMagic() const { return dwmagic; }
    void Serialize(CKZSerializer* pSerializer) override;
};

struct CSA_FILEINFO : public IKZSerializable
{
    uint32_t dwoffset = 0;
    uint32_t dwlength = 0;   // without fill
    std::string m_strPath;   // relative, "\" separators, no separator at either end
    SKZFileTime filetime;
    uint32_t dwchecksum = 0; // CRC-32 of the content

    void Serialize(CKZSerializer* pSerializer) override;
};

struct CSA_DIRECTORY : public IKZSerializable
{
    uint32_t dwnumfiles = 0;
    std::vector<CSA_FILEINFO> pfileinfo; // in data-file order

    void Serialize(CKZSerializer* pSerializer) override;
};

// One entry of a grocery list: the file on disk to store and the path it gets in the container.
struct _CSAGROCERY
{
    char szSourcePath[CSA_MAX_PATH_TEXT + 1];
    char szInternalPath[CSA_MAX_PATH_TEXT + 1];
};
static_assert(sizeof(_CSAGROCERY) == 2048, "a grocery record is 2048 bytes");

// What the store callback is given: the same two texts in the other order.
struct CSA_GROCERYINFO
{
    char szInternalPath[CSA_MAX_PATH_TEXT + 1];
    char szSourcePath[CSA_MAX_PATH_TEXT + 1];
};
static_assert(sizeof(CSA_GROCERYINFO) == 2048, "a grocery info record is 2048 bytes");

// (grocery, index, count)
typedef void (*CSA_CALLBACK)(CSA_GROCERYINFO*, unsigned int, unsigned int);

// (length, filled length) of one stored file.
typedef std::pair<uint32_t, uint32_t> CSA_LENGTHS;

// Appends one grocery's bytes and their zero fill to the container's data stream, sets the lengths
// and the entry's time and checksum; false on any failure. Arguments: container handle, the
// grocery's _CSAGROCERY record, lengths, entry.
typedef std::function<bool(void*, void*, CSA_LENGTHS&, CSA_FILEINFO&)> CSA_WRITEFUNCTION;

// The open container behind a handle.
struct _CSAFILE
{
    CSA_HEADER header;
    CSA_DIRECTORY directory;
    // The data file: written by a created container, read by an opened one; null once cleared.
    std::unique_ptr<std::fstream> m_pFStream;
    // Open for writing after csaCreate; the loaded header image after csaOpen.
    CKZFile m_HeaderFile;
    bool m_bWritable = false;
};
