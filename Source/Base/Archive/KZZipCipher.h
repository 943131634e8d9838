#pragma once
// Reading zip entries, and entries protected by the zip format's traditional password encryption.
// Every entry is read in the zip library's raw mode, so that the library still finds the entry and
// checks its local header, and is inflated here with the fast raw inflater; the zip library on some
// systems is built without the cipher, so encrypted entries are deciphered and written here with
// the cipher primitives the library ships (crypt.h).

#include "Base/Archive/KZRawInflater.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <unzip.h>
#include <zip.h>
#include <zlib.h>

// Reads the current entry of an archive, deciphering it when it is encrypted, and checks what was
// read against the central directory: the content must end where the entry says, with its size and
// CRC-32. Only stored and deflated entries are read, and never more than one byte past the declared
// size.
class CKZZipEntryReader
{
public:
    explicit CKZZipEntryReader(unzFile pFile) : m_pFile(pFile) {}
    // False when the entry declares more content than deflate can make of its data (deflate never
    // expands by more than about 1032 times): such a size is not believed.
    static bool DeclaresPossibleSize(const unz_file_info& info);
    ~CKZZipEntryReader();
    CKZZipEntryReader(const CKZZipEntryReader&) = delete;
    CKZZipEntryReader& operator=(const CKZZipEntryReader&) = delete;

    // False for a compression method other than stored or deflate, for a declared size that deflate
    // cannot produce from the entry's data, and for a wrong or missing password (an encrypted entry
    // whose check byte does not match).
    bool Open(const unz_file_info& info, const char* szPassword);
    // Bytes of the entry's content; 0 at its end, negative on a damaged entry.
    int Read(void* pBuffer, unsigned size);
    // False unless the content was read to its end without damage, with the size and CRC-32 of the
    // central directory.
    bool Close();
    // Closes an entry whose content was not read; only the library's own result counts.
    bool CloseUnread();
    // Why the last Open or Close failed, or why the last Read was negative.
    const std::string& GetFault() const { return m_strFault; }

private:
    // The entry's stored bytes, deciphered; 0 once they are all read.
    int ReadRaw(uint8_t* pBuffer, unsigned size);
    int ReadInflated(uint8_t* pBuffer, unsigned size);
    bool Fail(const std::string& strFault);

    unzFile m_pFile;
    bool m_bOpen = false;
    bool m_bEncrypted = false;
    bool m_bFailed = false;
    bool m_bEnded = false;
    int m_method = 0;
    unsigned long m_keys[3] = {0, 0, 0};
    uint32_t m_dwExpectedCrc = 0;
    uint32_t m_dwCrc = 0;
    uint64_t m_qwExpectedSize = 0;
    uint64_t m_qwRead = 0;
    std::unique_ptr<CKZRawInflater> m_pInflater;
    bool m_bStreamEnd = false;
    bool m_bRawEnded = false;
    std::vector<uint8_t> m_vecInput;
    const uint8_t* m_pInput = nullptr;
    size_t m_inputLeft = 0;
    std::string m_strFault;
};

// Writes one deflated entry protected by a password; the whole content is in memory.
bool KZZipWriteEncryptedEntry(zipFile pFile, const char* szName, const zip_fileinfo* pInfo, const void* pGlobalExtra,
                              unsigned globalExtraSize, const std::string& strPassword, const uint8_t* pContent,
                              uint32_t dwLength);
