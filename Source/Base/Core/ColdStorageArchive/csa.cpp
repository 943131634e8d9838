#include "Base/Core/ColdStorageArchive/csa.h"

#include "Base/Core/FileIO/KZPath.h"
#include "Base/Debug/KZLog.h"
#include "Base/Serialize/KZFileParser.h"
#include "Base/Serialize/KZKey.h"
#include "Base/Util/KZString.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <sys/stat.h>

namespace
{
enum : unsigned int
{
    CSA_INVALID_FILE = 0,
    CSA_FILE_NOT_FOUND = 1,
    CSA_UNABLE_TO_OPEN = 2,
    CSA_UNABLE_TO_CREATE = 3,
    CSA_READ_ERROR = 4,
    CSA_WRITE_ERROR = 5,
    CSA_OUT_OF_MEMORY = 6,
    CSA_ALREADY_OPEN = 7,
    CSA_CLOSE_CLOSED = 8,
    CSA_BAD_POINTER = 9,
    CSA_BAD_HANDLE = 10,
    CSA_UNKNOWN_ERROR = 11,
    CSA_SUCCESS = 12,
    CSA_MESSAGE_COUNT = 13,
};

const char* const szErrors[CSA_MESSAGE_COUNT] = {
    "Invalid file.",
    "File not found.",
    "Unable to open file.",
    "Unable to create file.",
    "Read error.",
    "Write error.",
    "Out of memory.",
    "Already open.",
    "Attempt to close closed file.",
    "Bad pointer.",
    "Bad handle.",
    "Unknown error.",
    "Success.",
};

// Offsets and filled lengths stay below this so that they fit the 32-bit directory fields.
constexpr uint64_t kMaxDataOffset = 0x80000000ull;

std::string g_strError;
CSA_CALLBACK g_pOnStoreGroceryCallback = nullptr;
CSA_CALLBACK g_pOnExtractFileCallback = nullptr;
unsigned int g_CallBackNumFiles = 1;
unsigned int g_dwCurrentFile = 0;

KZ_KEY(s_keyMagic, "csaheader.dwmagic");
KZ_KEY(s_keyFileVersion, "csaheader.dwfileversion");
KZ_KEY(s_keyFileStart, "csaheader.dwfilestart");
KZ_KEY(s_keyMode, "csaheader.wmode");
KZ_KEY(s_keyAlignment, "csaheader.walignment");
KZ_KEY(s_keyNumFiles, "csadirectory.dwnumfiles");
KZ_KEY(s_keyFileInfo, "csadirectory.pfileinfo");
KZ_KEY(s_keyOffset, "csafileinfo.dwoffset");
KZ_KEY(s_keyLength, "csafileinfo.dwlength");
KZ_KEY(s_keyPath, "csafileinfo.szpath");
KZ_KEY(s_keyFileTime, "csafileinfo.filetime");
KZ_KEY(s_keyChecksum, "csafileinfo.dwchecksum");

bool MessageExit(bool bResult, unsigned int code)
{
    g_strError = szErrors[code < CSA_MESSAGE_COUNT ? code : CSA_UNKNOWN_ERROR];
    return bResult;
}

void ClearHeader(_CSAFILE* pFile)
{
    pFile->header.dwmagic = CSA_MAGIC;
    pFile->header.dwfileversion = 0;
    pFile->header.dwfilestart = 0;
    pFile->header.wmode = 0;
    pFile->header.walignment = 0;
}

void ClearDirectory(_CSAFILE* pFile)
{
    pFile->directory.dwnumfiles = 0;
    pFile->directory.pfileinfo.clear();
}

void ClearAll(_CSAFILE* pFile)
{
    ClearHeader(pFile);
    ClearDirectory(pFile);
    if (pFile->m_pFStream)
        pFile->m_pFStream->close();
    pFile->m_pFStream.reset();
}

void DestroyContainer(_CSAFILE* pFile)
{
    ClearAll(pFile);
    pFile->m_HeaderFile.Close();
    delete[] pFile;
}

// Destroys the container; the handle is gone afterwards.
bool CriticalExit(_CSAFILE* pFile, unsigned int code)
{
    if (pFile)
        DestroyContainer(pFile);
    return MessageExit(false, code);
}

void ResetCallbackInfo()
{
    g_CallBackNumFiles = 1;
    g_dwCurrentFile = 0;
}

void WriteHeader(_CSAFILE* pFile, CKZSerializer& serializer)
{
    pFile->header.Serialize(&serializer);
}

bool ReadHeader(_CSAFILE* pFile, CKZSerializer& serializer)
{
    pFile->header.Serialize(&serializer);
    if (pFile->header.GetMagic() != CSA_MAGIC)
        return MessageExit(false, CSA_INVALID_FILE);
    return MessageExit(true, CSA_SUCCESS);
}

bool ReadDirectory(_CSAFILE* pFile, CKZSerializer& serializer)
{
    if (!pFile->m_pFStream)
        return MessageExit(false, CSA_INVALID_FILE);
    pFile->directory.Serialize(&serializer);
    return MessageExit(true, CSA_SUCCESS);
}

// A directory that does not describe the data file it came with is refused: its count must match
// its entries and every entry must lie inside the data file, so that no reader is sent past its end.
bool DirectoryFitsData(_CSAFILE* pFile)
{
    const CSA_DIRECTORY& directory = pFile->directory;
    if (directory.dwnumfiles != directory.pfileinfo.size())
        return false;
    std::fstream& stream = *pFile->m_pFStream;
    stream.seekg(0, std::ios::end);
    const std::streamoff dataSize = stream.tellg();
    stream.seekg(0, std::ios::beg);
    if (dataSize < 0 || stream.fail())
        return false;
    for (const CSA_FILEINFO& info : directory.pfileinfo)
        if (uint64_t(info.dwoffset) + info.dwlength > uint64_t(dataSize))
            return false;
    return true;
}

void CopyPathText(char* szDestination, const char* szSource)
{
    const size_t length = strnlen(szSource, CSA_MAX_PATH_TEXT);
    memcpy(szDestination, szSource, length);
    szDestination[length] = '\0';
}

uint64_t FilledLength(uint64_t length, uint32_t alignment)
{
    return (length + alignment - 1) / alignment * alignment;
}

// Seeks the data stream to the entry's first byte.
std::fstream* PositionStream(_CSAFILE* pFile, const CSA_FILEINFO& info)
{
    std::fstream& stream = *pFile->m_pFStream;
    // A short read of an earlier file must not fail every later look-up.
    if (stream.is_open())
        stream.clear();
    stream.seekg(info.dwoffset, std::ios::beg);
    if (stream.fail())
    {
        MessageExit(false, CSA_READ_ERROR);
        return nullptr;
    }
    MessageExit(true, CSA_SUCCESS);
    return &stream;
}
} // namespace

void CSA_HEADER::Serialize(CKZSerializer* pSerializer)
{
    pSerializer->Serialize(s_keyMagic, dwmagic);
    pSerializer->Serialize(s_keyFileVersion, dwfileversion);
    pSerializer->Serialize(s_keyFileStart, dwfilestart);
    pSerializer->Serialize(s_keyMode, wmode);
    pSerializer->Serialize(s_keyAlignment, walignment);
}

void CSA_FILEINFO::Serialize(CKZSerializer* pSerializer)
{
    pSerializer->Serialize(s_keyOffset, dwoffset);
    pSerializer->Serialize(s_keyLength, dwlength);
    pSerializer->Serialize(s_keyPath, m_strPath);
    pSerializer->Serialize(s_keyFileTime, filetime);
    pSerializer->Serialize(s_keyChecksum, dwchecksum);
}

void CSA_DIRECTORY::Serialize(CKZSerializer* pSerializer)
{
    pSerializer->Serialize(s_keyNumFiles, dwnumfiles);
    pSerializer->Serialize(s_keyFileInfo, pfileinfo);
}

void* csaCreate(const char* szPath, unsigned int version, unsigned short mode, unsigned short alignment)
{
    if (alignment == 0)
    {
        MessageExit(false, CSA_UNKNOWN_ERROR);
        return nullptr;
    }
    if (!szPath)
    {
        MessageExit(false, CSA_BAD_POINTER);
        return nullptr;
    }
    std::unique_ptr<std::fstream> pStream(
        new std::fstream(szPath, std::ios::out | std::ios::binary | std::ios::trunc));
    if (!pStream->is_open())
    {
        MessageExit(false, CSA_UNABLE_TO_OPEN);
        return nullptr;
    }
    _CSAFILE* pFile = new _CSAFILE[1];
    pFile->m_pFStream = std::move(pStream);
    pFile->m_bWritable = true;
    const std::string strHeaderPath = std::string(szPath) + "header";
    if (!pFile->m_HeaderFile.Open(strHeaderPath.c_str(), "wb"))
    {
        CriticalExit(pFile, CSA_UNABLE_TO_OPEN);
        return nullptr;
    }
    pFile->header.dwmagic = CSA_MAGIC;
    pFile->header.dwfileversion = version;
    pFile->header.dwfilestart = 0;
    pFile->header.wmode = mode;
    pFile->header.walignment = alignment;
    ClearDirectory(pFile);
    MessageExit(true, CSA_SUCCESS);
    return pFile;
}

void* csaOpen(const char* szPath)
{
    if (!szPath)
    {
        MessageExit(false, CSA_BAD_POINTER);
        return nullptr;
    }
    std::unique_ptr<std::fstream> pStream(new std::fstream(szPath, std::ios::in | std::ios::binary));
    if (!pStream->is_open())
    {
        MessageExit(false, CSA_UNABLE_TO_OPEN);
        return nullptr;
    }
    _CSAFILE* pFile = new _CSAFILE[1];
    pFile->m_pFStream = std::move(pStream);
    const std::string strHeaderPath = std::string(szPath) + "header";
    if (!pFile->m_HeaderFile.OpenInMemory(strHeaderPath.c_str()))
    {
        CriticalExit(pFile, CSA_UNABLE_TO_OPEN);
        return nullptr;
    }
    std::unique_ptr<CKZSerializer> pSerializer;
    if (CKZFileParser::Load(pFile->m_HeaderFile, pSerializer) != CKZFileParser::LOAD_OK || !pSerializer ||
        !pSerializer->IsImageValid())
    {
        CriticalExit(pFile, CSA_READ_ERROR);
        return nullptr;
    }
    if (!ReadHeader(pFile, *pSerializer))
    {
        CriticalExit(pFile, CSA_INVALID_FILE);
        return nullptr;
    }
    ReadDirectory(pFile, *pSerializer);
    if (!DirectoryFitsData(pFile))
    {
        CriticalExit(pFile, CSA_INVALID_FILE);
        return nullptr;
    }
    pFile->m_bWritable = false;
    MessageExit(true, CSA_SUCCESS);
    return pFile;
}

bool csaClose(void* csa)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    if (!pFile || !pFile->m_pFStream)
        return MessageExit(false, CSA_CLOSE_CLOSED);
    DestroyContainer(pFile);
    return MessageExit(true, CSA_SUCCESS);
}

unsigned int csaGetNumFiles(void* csa)
{
    return csa ? static_cast<_CSAFILE*>(csa)->directory.dwnumfiles : 0xFFFFFFFF;
}

const char* csaGetFileName(void* csa, unsigned int index)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    if (!pFile || index >= pFile->directory.dwnumfiles || index >= pFile->directory.pfileinfo.size())
        return nullptr;
    return pFile->directory.pfileinfo[index].m_strPath.c_str();
}

CSA_FILEINFO* csaGetFileInfo(void* csa, unsigned int index)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    if (!pFile || index >= pFile->directory.dwnumfiles || index >= pFile->directory.pfileinfo.size())
    {
        MessageExit(false, CSA_UNKNOWN_ERROR);
        return nullptr;
    }
    MessageExit(true, CSA_SUCCESS);
    return &pFile->directory.pfileinfo[index];
}

bool csaGetHeader(void* csa, CSA_HEADER* pHeader)
{
    if (!csa || !pHeader)
        return MessageExit(false, CSA_UNKNOWN_ERROR);
    const CSA_HEADER& header = static_cast<_CSAFILE*>(csa)->header;
    pHeader->dwmagic = header.dwmagic;
    pHeader->dwfileversion = header.dwfileversion;
    pHeader->dwfilestart = header.dwfilestart;
    pHeader->wmode = header.wmode;
    pHeader->walignment = header.walignment;
    return MessageExit(true, CSA_SUCCESS);
}

CSA_DIRECTORY* csaGetDirectory(void* csa)
{
    if (!csa)
    {
        MessageExit(false, CSA_BAD_HANDLE);
        return nullptr;
    }
    return &static_cast<_CSAFILE*>(csa)->directory;
}

std::fstream* csaFindFileStream(void* csa, const char* szInternalPath)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    if (!pFile || !pFile->m_pFStream)
    {
        MessageExit(false, CSA_UNKNOWN_ERROR);
        return nullptr;
    }
    if (!szInternalPath)
    {
        MessageExit(false, CSA_BAD_POINTER);
        return nullptr;
    }
    for (const CSA_FILEINFO& info : pFile->directory.pfileinfo)
        if (KZStriCmp(info.m_strPath.c_str(), szInternalPath) == 0)
            return PositionStream(pFile, info);
    return nullptr;
}

std::fstream* csaGetFileStream(void* csa, const CSA_FILEINFO* pInfo)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    unsigned int code = CSA_SUCCESS;
    if (!pFile)
        code = CSA_BAD_HANDLE;
    else if (!pInfo)
        code = CSA_BAD_POINTER;
    else if (!pFile->m_pFStream)
        code = CSA_INVALID_FILE;
    if (code != CSA_SUCCESS)
    {
        MessageExit(false, code);
        return nullptr;
    }
    return PositionStream(pFile, *pInfo);
}

const char* csaGetLastMessage()
{
    return g_strError.c_str();
}

void csaParsePath(std::string& strRelative, std::string& strNormalised, std::string& strName,
                  std::string& strExtension, const std::string& strPath, const std::string& strRoot)
{
    // The last component is the name, a file's or a directory's, whether or not it has a dot.
    const CKZPath path = CKZPath::FilePath(strPath);
    strNormalised = path.GetString();
    strRelative = CKZPath::GetRelativePath(strNormalised.c_str(), CKZPath::Slashify(strRoot.c_str()).c_str());
    if (!strRelative.empty() && strRelative.front() == '/')
        strRelative.erase(0, 1);
    strExtension = path.SubPath(KZ_PATH_EXTENSION);
    strName = path.SubPath(KZ_PATH_FILE_TITLE | KZ_PATH_EXTENSION);
    std::replace(strRelative.begin(), strRelative.end(), '/', '\\');
}

std::string csaGetInternalPath(const std::string& strPath, const std::string& strRoot)
{
    std::string strRelative, strNormalised, strName, strExtension;
    csaParsePath(strRelative, strNormalised, strName, strExtension, strPath, strRoot);
    return strRelative;
}

bool csaExtractFileStream(void*, const CSA_FILEINFO*, const char*)
{
    return MessageExit(false, CSA_WRITE_ERROR);
}

bool csaExtractAllStream(void* csa, const char* szDestination)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    if (!pFile)
        return MessageExit(false, CSA_BAD_HANDLE);
    if (!szDestination)
        return MessageExit(false, CSA_BAD_POINTER);
    if (!pFile->m_pFStream)
        return MessageExit(false, CSA_INVALID_FILE);
    g_CallBackNumFiles = pFile->directory.dwnumfiles;
    if (pFile->directory.dwnumfiles == 0)
    {
        ResetCallbackInfo();
        return MessageExit(true, CSA_SUCCESS);
    }
    g_dwCurrentFile = 0;
    MessageExit(false, CSA_WRITE_ERROR);
    ResetCallbackInfo();
    return false;
}

void* csaCreateGroceryList()
{
    return new std::vector<_CSAGROCERY>();
}

bool csaAddGrocery(void* list, const char* szRelative, const char* szSource)
{
    if (!list)
        return MessageExit(false, CSA_BAD_HANDLE);
    if (!szRelative || !szSource)
        return MessageExit(false, CSA_BAD_POINTER);
    if (std::string(szRelative).find('/') != std::string::npos)
    {
        static const CKZLog::SEventRecord s_record = {"Source/Base/Core/ColdStorageArchive/csa", "csaAddGrocery",
                                                      "string(szRelative).find(\"/\") == string::npos",
                                                      CKZLog::EVENT_ASSERT, 0, 857};
        KZ_REPORT_EVENT(s_record, "PackedFile paths should not contain forward slashes!");
    }
    _CSAGROCERY grocery;
    CopyPathText(grocery.szSourcePath, szSource);
    CopyPathText(grocery.szInternalPath, szRelative);
    static_cast<std::vector<_CSAGROCERY>*>(list)->push_back(grocery);
    return MessageExit(true, CSA_SUCCESS);
}

bool csaStoreGroceryList(void* csa, void* list, const CSA_WRITEFUNCTION& writeFunction)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    std::vector<_CSAGROCERY>* pList = static_cast<std::vector<_CSAGROCERY>*>(list);
    if (!pFile || !pList || !writeFunction)
        return MessageExit(false, CSA_BAD_HANDLE);
    if (!pFile->m_bWritable || !pFile->m_pFStream)
        return MessageExit(false, CSA_INVALID_FILE);

    CKZSerializer serializer;
    WriteHeader(pFile, serializer);
    MessageExit(true, CSA_SUCCESS);

    const unsigned int count = static_cast<unsigned int>(pList->size());
    CSA_DIRECTORY& directory = pFile->directory;
    directory.dwnumfiles = count;
    directory.pfileinfo.assign(count, CSA_FILEINFO());
    for (unsigned int i = 0; i < count; ++i)
        directory.pfileinfo[i].m_strPath = (*pList)[i].szInternalPath;

    uint64_t qwOffset = 0;
    for (unsigned int i = 0; i < count; ++i)
    {
        CSA_LENGTHS lengths(0, 0);
        if (!writeFunction(pFile, &(*pList)[i], lengths, directory.pfileinfo[i]))
            return CriticalExit(pFile, CSA_WRITE_ERROR);
        if (qwOffset >= kMaxDataOffset || lengths.second >= kMaxDataOffset)
            return CriticalExit(pFile, CSA_WRITE_ERROR);
        if (g_pOnStoreGroceryCallback)
        {
            CSA_GROCERYINFO info;
            CopyPathText(info.szInternalPath, (*pList)[i].szInternalPath);
            CopyPathText(info.szSourcePath, (*pList)[i].szSourcePath);
            g_pOnStoreGroceryCallback(&info, i, count);
        }
        directory.pfileinfo[i].dwoffset = static_cast<uint32_t>(qwOffset);
        directory.pfileinfo[i].dwlength = lengths.first;
        const std::streamoff position = pFile->m_pFStream->tellp();
        qwOffset = pFile->m_pFStream->fail() || position < 0 ? 0xFFFFFFFFull : uint64_t(position);
    }

    // Data that never reached the disk is a failed store, even after the last file.
    pFile->m_pFStream->flush();
    const bool bDataGood = !pFile->m_pFStream->fail();
    pFile->m_pFStream->close();
    if (!bDataGood || pFile->m_pFStream->fail())
        return CriticalExit(pFile, CSA_WRITE_ERROR);

    directory.Serialize(&serializer);
    if (!csaSaveHeaderImage(pFile->m_HeaderFile, serializer))
        return CriticalExit(pFile, CSA_WRITE_ERROR);
    return MessageExit(true, CSA_SUCCESS);
}

bool csaWriteFile(void* csa, void* grocery, CSA_LENGTHS& lengths, CSA_FILEINFO& info)
{
    _CSAFILE* pFile = static_cast<_CSAFILE*>(csa);
    const _CSAGROCERY* pGrocery = static_cast<const _CSAGROCERY*>(grocery);
    if (!pFile || !pGrocery || !pFile->m_pFStream || pFile->header.walignment == 0)
        return false;

    std::ifstream source(pGrocery->szSourcePath, std::ios::in | std::ios::binary);
    if (!source.is_open())
        return false;
    source.seekg(0, std::ios::end);
    const std::streamoff end = source.tellg();
    if (source.fail() || end < 0)
        return false;
    const uint64_t qwLength = uint64_t(end);
    const uint64_t qwFilled = FilledLength(qwLength, pFile->header.walignment);
    // The store refuses such a file anyway; refusing here spares reading it into memory.
    if (qwFilled >= kMaxDataOffset)
        return false;
    lengths.first = static_cast<uint32_t>(qwLength);
    lengths.second = static_cast<uint32_t>(qwFilled);

    std::vector<char> buffer(static_cast<size_t>(qwFilled), 0);
    source.seekg(0, std::ios::beg);
    if (qwLength != 0 && !source.read(buffer.data(), static_cast<std::streamsize>(qwLength)))
        return false;
    if (!buffer.empty() && !KZFileIO::AdmitWrite(buffer.size()))
        pFile->m_pFStream->setstate(std::ios::failbit);
    else if (!buffer.empty())
        pFile->m_pFStream->write(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (pFile->m_pFStream->fail())
        return false;

    SKZFileTime creation;
    if (!CKZFile::GetFileTime(pGrocery->szSourcePath, &creation, nullptr, nullptr))
        return false;
    info.filetime = creation;
    // The checksum of the bytes that were stored, so that it matches the data even if the source
    // changes while we read it.
    info.dwchecksum = static_cast<uint32_t>(
        crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(qwLength)));
    return true;
}

bool csaSaveHeaderImage(CKZFile& headerFile, CKZSerializer& serializer)
{
    const std::string strPath = headerFile.GetFilePath().GetString();
    const bool bSaved = CKZFileParser::Save(headerFile, serializer);
    headerFile.Close();
    // A write that the back end refused, or that failed only when the file was closed, leaves the
    // file short while Save still answers true: its size tells.
    const uint64_t qwImage = 8 + uint64_t(serializer.GetNodeBufferSize()) + serializer.GetContentBufferSize();
    struct stat info;
    return bSaved && stat(strPath.c_str(), &info) == 0 && uint64_t(info.st_size) == qwImage;
}

bool csaDestroyGroceryList(void* list)
{
    if (!list)
        return MessageExit(false, CSA_BAD_HANDLE);
    delete static_cast<std::vector<_CSAGROCERY>*>(list);
    return MessageExit(true, CSA_SUCCESS);
}

void csaSetOnStoreGroceryCallback(CSA_CALLBACK pCallback)
{
    g_pOnStoreGroceryCallback = pCallback;
}

void csaSetOnExtractFileCallback(CSA_CALLBACK pCallback)
{
    g_pOnExtractFileCallback = pCallback;
}
