#pragma once
// Shared by the fuzz targets: a scratch folder of the process, whole-file writes, folder listings,
// and a stop that libFuzzer reports as a finding.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace KZFuzz
{
// Ends the run with the message; libFuzzer keeps the input as a crash.
[[noreturn]] inline void Finding(const std::string& strWhat)
{
    fprintf(stderr, "fuzz finding: %s\n", strWhat.c_str());
    fflush(stderr);
    abort();
}

// A folder of this process under the temporary folder, removed when the process ends normally.
inline const std::filesystem::path& ScratchDirectory()
{
    struct SScratch
    {
        std::filesystem::path dir;
        SScratch()
        {
            std::string strTemplate = (std::filesystem::temp_directory_path() / "kzfuzz_XXXXXX").string();
            if (!mkdtemp(&strTemplate[0]))
                Finding("no scratch folder");
            dir = strTemplate;
        }
        ~SScratch()
        {
            std::error_code error;
            std::filesystem::remove_all(dir, error);
        }
    };
    static SScratch s_scratch;
    return s_scratch.dir;
}

// An empty folder for one input, below the scratch folder.
inline std::filesystem::path FreshDirectory(const char* szName)
{
    const std::filesystem::path dir = ScratchDirectory() / szName;
    std::error_code error;
    std::filesystem::remove_all(dir, error);
    std::filesystem::create_directories(dir, error);
    if (error)
        Finding("cannot create " + dir.string());
    return dir;
}

inline void WriteFile(const std::filesystem::path& path, const void* pData, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(pData), static_cast<std::streamsize>(size));
    if (!out)
        Finding("cannot write " + path.string());
}

// Everything below a folder, as names relative to it, sorted; symbolic links are listed, never
// followed.
inline std::vector<std::string> Tree(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error))
        names.push_back(std::filesystem::relative(it->path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

// Stops when anything below the folder is not allowed. An allowed name ending in "/" allows that
// folder and everything below it; any other allows exactly that name (relative names).
inline void ExpectOnlyBelow(const std::filesystem::path& dir, const std::vector<std::string>& vecAllowed)
{
    for (const std::string& strName : Tree(dir))
    {
        const bool bAllowed = std::any_of(vecAllowed.begin(), vecAllowed.end(), [&](const std::string& strAllowed) {
            if (strAllowed.empty() || strAllowed.back() != '/')
                return strName == strAllowed;
            return strName + "/" == strAllowed || strName.compare(0, strAllowed.size(), strAllowed) == 0;
        });
        if (!bAllowed)
            Finding("written outside its folder: " + (dir / strName).string());
    }
}
} // namespace KZFuzz
