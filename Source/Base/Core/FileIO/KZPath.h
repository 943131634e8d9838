#pragma once
// The path value of the engine, kept in a normal form: forward slashes only, no doubled separators,
// and a trailing slash on every path whose last component has no dot (it names a directory).

#include <cstddef>
#include <cstdint>
#include <string>

enum KZ_PATH_PART : uint32_t
{
    KZ_PATH_DIRECTORY = 1,
    KZ_PATH_FILE_TITLE = 2,
    KZ_PATH_EXTENSION = 4,
    KZ_PATH_PARENT_DIRECTORY = 8,
};

class CKZPath
{
public:
    CKZPath() = default;
    CKZPath(const char* szPath);
    CKZPath(const std::string& strPath);
    CKZPath(const char* szDirectory, const char* szName, const char* szExtension);

    CKZPath& operator=(const char* szPath);
    CKZPath& operator=(const std::string& strPath);

    void Construct(const char* szDirectory, const char* szName, const char* szExtension);
    void Construct(const CKZPath& path, const char* szName, const char* szExtension);

    // Appends a relative piece (one leading separator is skipped); no separator is added first.
    CKZPath& operator+=(const char* szText);
    CKZPath& operator+=(const std::string& strText) { return *this += strText.c_str(); }
    CKZPath& operator+=(const CKZPath& path) { return *this += path.c_str(); }
    template <typename T> CKZPath operator+(const T& text) const
    {
        CKZPath result(*this);
        result += text;
        return result;
    }
    // Appends the text as it is.
    void Concat(const char* szText);
    void AddExtension(const char* szExtension);
    void SetExtension(const char* szExtension);
    bool CompareExtension(const char* szExtension) const;

    // Separators normalised only (no directory tail rule).
    static CKZPath Slashify(const char* szPath);
    static void Slashify(const char* szPath, std::string& strSlashed, bool bAppend);

    // A file path given as text: separators normalised and the last component kept as the file's
    // name, with or without a dot (README stays a file). Trailing separators are dropped; "/" stays.
    static CKZPath FilePath(const char* szPath);
    static CKZPath FilePath(const std::string& strPath) { return FilePath(strPath.c_str()); }
    // A relative name taken from outside data (an archive entry, a pack header, a catalogue record)
    // stays inside the directory it is placed below: it is not empty, not absolute, names no drive
    // and has no ".." component (either separator counts).
    static bool IsInsideRoot(const std::string& strName);

    // Pieces selected by KZ_PATH_PART bits.
    void SubPath(uint32_t dwBits, std::string& strOut, bool bAppend = false) const;
    std::string SubPath(uint32_t dwBits) const;
    std::string GetDirectory() const;
    void DirectoryStr(std::string& strOut, bool bAppend) const;
    void ParentDirectoryStr(std::string& strOut, bool bAppend) const;
    static std::string GetParentDirectory(const char* szPath, int levels);

    // Case-insensitive containment and relative forms.
    static bool IsRelativeToPath(const char* szPath, const char* szBase);
    bool IsRelativeToPath(const char* szBase) const { return IsRelativeToPath(c_str(), szBase); }
    static std::string GetRelativePath(const char* szPath, const char* szBase);
    CKZPath GetRelativePath(const char* szBase) const { return CKZPath(GetRelativePath(c_str(), szBase)); }
    CKZPath GetRelativePath(const CKZPath& base) const { return GetRelativePath(base.c_str()); }
    void GetRelativePathStr(const char* szBase, std::string& strOut) const;
    static bool IsRelativePath(const char* szPath) { return szPath[0] != '/'; }

    // File-system queries.
    bool IsDirectory() const;
    bool IsFile() const;
    bool Exist() const;
    int64_t GetModificationTime() const;
    static bool SetCurrentWorkingDirectory(const char* szPath);
    static CKZPath GetCurrentWorkingDirectory();
    static CKZPath GetTempFolderPath();
    static CKZPath GenerateTempFolderPath();

    // Pieces of plain strings into per-thread buffers, valid until the next call of the same
    // function on the same thread; over-long input is cut to fit. Worker code uses the string forms.
    static const char* FindExtension(const char* szPath);
    static const char* FindFileName(const char* szPath);
    static const char* FindFileTitle(const char* szPath);
    static bool FindFileTitle(const char* szPath, char* szOut, size_t outSize);
    static const char* FindPath(const char* szPath);
    static bool FindExtension(const std::string& strPath, std::string& strOut);
    static bool FindFileName(const std::string& strPath, std::string& strOut);
    static bool FindFileTitle(const std::string& strPath, std::string& strOut);
    static bool FindPath(const std::string& strPath, std::string& strOut);

    const char* c_str() const { return m_strPath.c_str(); }
    const std::string& GetString() const { return m_strPath; }
    size_t length() const { return m_strPath.size(); }
    bool empty() const { return m_strPath.empty(); }
    bool operator==(const CKZPath& other) const { return m_strPath == other.m_strPath; }
    bool operator!=(const CKZPath& other) const { return m_strPath != other.m_strPath; }
    bool operator<(const CKZPath& other) const { return m_strPath < other.m_strPath; }

private:
    void Assign(const char* szPath);
    void ApplyTailRule();

    std::string m_strPath;
};
