#include "Base/Core/FileIO/KZPath.h"

#include "Base/Debug/KZLog.h"
#include "Base/Hash/KZUUID.h"
#include "Base/Platform/KZPlatform.h"
#include "Base/Util/KZString.h"

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const CKZLog::SEventRecord s_recordSlashify = {"Source/Base/Core/FileIO/KZPath", "Slashify",
                                               "path != slashed.c_str()", CKZLog::EVENT_ASSERT, 0, 517};
const CKZLog::SEventRecord s_recordConcat = {"Source/Base/Core/FileIO/KZPath", "Concat", "path",
                                             CKZLog::EVENT_ASSERT, 0, 84};

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

std::string Lower(std::string str)
{
    KZStrToLower(str);
    return str;
}

void RemoveTrailingSlashes(std::string& str)
{
    while (!str.empty() && str.back() == '/')
        str.pop_back();
}

// Copies at most size - 1 bytes and terminates.
const char* Bounded(char* szBuffer, size_t size, const char* pBegin, size_t length)
{
    if (length > size - 1)
        length = size - 1;
    memcpy(szBuffer, pBegin, length);
    szBuffer[length] = 0;
    return szBuffer;
}

size_t LastSeparator(const std::string& str)
{
    return str.find_last_of("/\\");
}
} // namespace

void CKZPath::Slashify(const char* szPath, std::string& strSlashed, bool bAppend)
{
    if (szPath == strSlashed.c_str())
        KZ_REPORT_EVENT(s_recordSlashify, "%s", "");
    const std::string strSource = szPath; // the source may be the destination itself
    if (!bAppend)
        strSlashed.clear();
    for (size_t i = 0; i < strSource.size(); ++i)
    {
        const char c = strSource[i];
        if (!IsSeparator(c))
            strSlashed += c;
        else if (i + 1 >= strSource.size() || !IsSeparator(strSource[i + 1]))
            strSlashed += '/';
    }
}

CKZPath CKZPath::Slashify(const char* szPath)
{
    CKZPath path;
    Slashify(szPath, path.m_strPath, false);
    return path;
}

CKZPath CKZPath::FilePath(const char* szPath)
{
    CKZPath path;
    Slashify(szPath ? szPath : "", path.m_strPath, false);
    while (path.m_strPath.size() > 1 && path.m_strPath.back() == '/')
        path.m_strPath.pop_back();
    return path;
}

bool CKZPath::IsInsideRoot(const std::string& strName)
{
    if (strName.empty() || IsSeparator(strName[0]))
        return false;
    if (strName.size() >= 2 && strName[1] == ':')
        return false; // a drive
    size_t start = 0;
    while (start <= strName.size())
    {
        size_t end = strName.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = strName.size();
        if (strName.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

void CKZPath::ApplyTailRule()
{
    const size_t last = m_strPath.find_last_of("./\\");
    if (last != std::string::npos && m_strPath[last] == '/' && last + 1 != m_strPath.size())
        m_strPath += '/';
}

void CKZPath::Assign(const char* szPath)
{
    if (szPath == m_strPath.c_str() || m_strPath == szPath)
        return;
    Slashify(szPath, m_strPath, false);
    ApplyTailRule();
}

CKZPath::CKZPath(const char* szPath)
{
    Assign(szPath ? szPath : "");
}

CKZPath::CKZPath(const std::string& strPath)
{
    Assign(strPath.c_str());
}

CKZPath::CKZPath(const char* szDirectory, const char* szName, const char* szExtension)
{
    Construct(szDirectory, szName, szExtension);
}

CKZPath& CKZPath::operator=(const char* szPath)
{
    Assign(szPath ? szPath : "");
    return *this;
}

CKZPath& CKZPath::operator=(const std::string& strPath)
{
    Assign(strPath.c_str());
    return *this;
}

void CKZPath::Construct(const char* szDirectory, const char* szName, const char* szExtension)
{
    m_strPath.clear();
    Slashify(szDirectory ? szDirectory : "", m_strPath, false);
    ApplyTailRule();
    if (!m_strPath.empty() && m_strPath.back() != '/')
        m_strPath += '/';
    if (szName)
        *this += szName;
    if (szExtension)
        AddExtension(szExtension);
}

void CKZPath::Construct(const CKZPath& path, const char* szName, const char* szExtension)
{
    m_strPath = path.m_strPath;
    if (szName)
        *this += szName;
    if (szExtension)
        AddExtension(szExtension);
}

CKZPath& CKZPath::operator+=(const char* szText)
{
    if (!szText)
        return *this;
    if (IsSeparator(szText[0]))
        ++szText;
    Slashify(szText, m_strPath, true);
    ApplyTailRule();
    return *this;
}

void CKZPath::Concat(const char* szText)
{
    if (!szText)
    {
        KZ_REPORT_EVENT(s_recordConcat, "%s", "");
        return;
    }
    m_strPath += szText;
}

void CKZPath::AddExtension(const char* szExtension)
{
    if (!szExtension)
        return;
    if (!m_strPath.empty() && m_strPath.back() == '/')
        m_strPath.pop_back();
    if (szExtension[0] != '.')
        m_strPath += '.';
    m_strPath += szExtension;
}

void CKZPath::SetExtension(const char* szExtension)
{
    const size_t last = m_strPath.find_last_of("./\\");
    if (last != std::string::npos && m_strPath[last] == '.')
    {
        m_strPath.erase(last + 1);
        m_strPath += szExtension;
        return;
    }
    if (!m_strPath.empty() && m_strPath.back() == '/')
        m_strPath.pop_back();
    m_strPath += '.';
    m_strPath += szExtension;
}

bool CKZPath::CompareExtension(const char* szExtension) const
{
    if (szExtension[0] == '.')
        ++szExtension;
    return szExtension[0] != 0 && KZStringEndsWith(m_strPath, szExtension);
}

void CKZPath::DirectoryStr(std::string& strOut, bool bAppend) const
{
    if (!bAppend)
        strOut.clear();
    const size_t slash = m_strPath.find_last_of('/');
    if (slash != std::string::npos)
        strOut.append(m_strPath, 0, slash);
}

// The directory above the path's own directory (no trailing '/').
void CKZPath::ParentDirectoryStr(std::string& strOut, bool bAppend) const
{
    if (!bAppend)
        strOut.clear();
    std::string strDirectory;
    DirectoryStr(strDirectory, false);
    const size_t slash = strDirectory.find_last_of('/');
    if (slash != std::string::npos)
        strOut.append(strDirectory, 0, slash);
}

void CKZPath::SubPath(uint32_t dwBits, std::string& strOut, bool bAppend) const
{
    if (!bAppend)
        strOut.clear();
    const size_t slash = m_strPath.find_last_of('/');
    if (dwBits & KZ_PATH_DIRECTORY)
    {
        if (slash != std::string::npos)
            strOut.append(m_strPath, 0, slash + 1);
    }
    else if (dwBits & KZ_PATH_PARENT_DIRECTORY)
    {
        ParentDirectoryStr(strOut, true);
        strOut += '/';
    }
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    if (dwBits & KZ_PATH_FILE_TITLE)
    {
        const size_t dot = m_strPath.find('.', nameStart);
        if ((dwBits & KZ_PATH_EXTENSION) || dot == std::string::npos)
            strOut.append(m_strPath, nameStart, std::string::npos);
        else
            strOut.append(m_strPath, nameStart, dot - nameStart);
    }
    else if (dwBits & KZ_PATH_EXTENSION)
    {
        const size_t dot = m_strPath.find_last_of('.');
        if (dot != std::string::npos && dot >= nameStart)
            strOut.append(m_strPath, dot + 1, std::string::npos);
    }
}

std::string CKZPath::SubPath(uint32_t dwBits) const
{
    std::string strOut;
    SubPath(dwBits, strOut, false);
    return strOut;
}

std::string CKZPath::GetDirectory() const
{
    const size_t slash = m_strPath.find_last_of('/');
    return (slash == std::string::npos ? m_strPath : m_strPath.substr(0, slash)) + "/";
}

std::string CKZPath::GetParentDirectory(const char* szPath, int levels)
{
    std::string strDirectory = CKZPath(szPath).GetDirectory();
    for (int level = 0; level < levels && strDirectory.size() > 1; ++level)
    {
        const size_t last = strDirectory.find_last_of("./\\", strDirectory.size() - 2);
        strDirectory.erase(last == std::string::npos ? 0 : last);
    }
    return Slashify(strDirectory.c_str()).GetString();
}

bool CKZPath::IsRelativeToPath(const char* szPath, const char* szBase)
{
    std::string strPath, strBase;
    Slashify(szPath, strPath, false);
    Slashify(szBase, strBase, false);
    RemoveTrailingSlashes(strPath);
    RemoveTrailingSlashes(strBase);
    return strBase.empty() || Lower(strPath).find(Lower(strBase)) != std::string::npos;
}

std::string CKZPath::GetRelativePath(const char* szPath, const char* szBase)
{
    const std::string strPath = szPath;
    std::string strBase = Lower(szBase);
    RemoveTrailingSlashes(strBase);
    if (strBase.empty())
        return strPath;
    const size_t found = Lower(strPath).find(strBase);
    return found == std::string::npos ? strPath : strPath.substr(found + strBase.size());
}

void CKZPath::GetRelativePathStr(const char* szBase, std::string& strOut) const
{
    std::string strBase;
    Slashify(szBase, strBase, false);
    strOut = GetRelativePath(c_str(), strBase.c_str());
}

bool CKZPath::IsDirectory() const
{
    struct stat info;
    return stat(c_str(), &info) == 0 && (info.st_mode & 0x4000) != 0;
}

bool CKZPath::IsFile() const
{
    struct stat info;
    return stat(c_str(), &info) == 0 && (info.st_mode & 0xC000) == 0x8000;
}

bool CKZPath::Exist() const
{
    struct stat info;
    return stat(c_str(), &info) == 0 && info.st_mode >= 0x4000;
}

int64_t CKZPath::GetModificationTime() const
{
    struct stat info;
    return stat(c_str(), &info) == 0 ? static_cast<int64_t>(info.st_mtime) : 0;
}

bool CKZPath::SetCurrentWorkingDirectory(const char* szPath)
{
    return chdir(szPath) == 0;
}

CKZPath CKZPath::GetCurrentWorkingDirectory()
{
    char szBuffer[512];
    if (!getcwd(szBuffer, sizeof(szBuffer)))
        return CKZPath();
    return CKZPath(CKZPath(szBuffer).GetDirectory());
}

CKZPath CKZPath::GetTempFolderPath()
{
    for (const char* szName : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"})
        if (const char* szValue = getenv(szName))
            return CKZPath(szValue);
    return CKZPath("/tmp");
}

CKZPath CKZPath::GenerateTempFolderPath()
{
    CKZPath path = GetTempFolderPath();
    path += ("kztemp" + CKZUUID(CKZUUID::GENERATE).ValueAsString()).c_str();
    return path;
}

const char* CKZPath::FindExtension(const char* szPath)
{
    static thread_local char s_szBuffer[16];
    const size_t length = strlen(szPath);
    const size_t from = length > 14 ? length - 14 : 0;
    const char* pDot = strrchr(szPath + from, '.');
    return pDot ? Bounded(s_szBuffer, sizeof(s_szBuffer), pDot, strlen(pDot)) : Bounded(s_szBuffer, 1, "", 0);
}

const char* CKZPath::FindFileName(const char* szPath)
{
    static thread_local char s_szBuffer[256];
    const char* pName = szPath;
    for (const char* p = szPath; *p; ++p)
        if (IsSeparator(*p))
            pName = p + 1;
    const size_t length = strlen(pName);
    if (length > 254)
        pName += length - 254; // the last 254 characters
    return Bounded(s_szBuffer, sizeof(s_szBuffer), pName, strlen(pName));
}

const char* CKZPath::FindFileTitle(const char* szPath)
{
    static thread_local char s_szBuffer[256];
    const char* pName = FindFileName(szPath);
    const char* pDot = strchr(pName, '.');
    return Bounded(s_szBuffer, sizeof(s_szBuffer), pName, pDot ? static_cast<size_t>(pDot - pName) : strlen(pName));
}

bool CKZPath::FindFileTitle(const char* szPath, char* szOut, size_t outSize)
{
    if (outSize == 0)
        return false;
    szOut[0] = 0;
    const std::string strPath = szPath;
    const size_t separator = LastSeparator(strPath);
    const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    const size_t dot = strPath.find_last_of('.');
    if (dot == std::string::npos || dot < nameStart)
        return false;
    Bounded(szOut, outSize, szPath + nameStart, dot - nameStart);
    return true;
}

const char* CKZPath::FindPath(const char* szPath)
{
    static thread_local char s_szBuffer[256];
    const std::string strPath = szPath;
    const size_t separator = LastSeparator(strPath);
    return Bounded(s_szBuffer, sizeof(s_szBuffer), szPath, separator == std::string::npos ? strPath.size() : separator);
}

bool CKZPath::FindExtension(const std::string& strPath, std::string& strOut)
{
    const size_t dot = strPath.find_last_of('.');
    const size_t separator = LastSeparator(strPath);
    if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
        return false;
    strOut = strPath.substr(dot);
    return true;
}

bool CKZPath::FindFileName(const std::string& strPath, std::string& strOut)
{
    const size_t separator = LastSeparator(strPath);
    strOut = separator == std::string::npos ? strPath : strPath.substr(separator + 1);
    return !strOut.empty();
}

bool CKZPath::FindFileTitle(const std::string& strPath, std::string& strOut)
{
    std::string strName;
    if (!FindFileName(strPath, strName))
        return false;
    strOut = strName.substr(0, strName.find('.'));
    return !strOut.empty();
}

bool CKZPath::FindPath(const std::string& strPath, std::string& strOut)
{
    const size_t separator = LastSeparator(strPath);
    if (separator == std::string::npos)
        return false;
    strOut = strPath.substr(0, separator);
    return true;
}
