#include "KZPublisher.h"

#include "Base/Archive/KZZipFile.h"
#include "System/KZInstallLayout.h"
#include "System/KZInstallationVerifier.h"
#include "System/KZPackFileArchive.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
using KZInstallLayout::UpdateZipName;
const char* const kCatalogue = KZInstallLayout::kCatalogueName;
const char* const kClientZip = KZInstallLayout::kClientZipName;
// The folder of the update zips, "Data/<name>.zip".
const char* const kUpdateZipFolder = KZInstallLayout::kCacheName;
const char* const kZipInfo = "ZipInfo.txt";
const char* const kStageInfo = "DownloadStages.txt";

std::string PackZipName(uint32_t pack)
{
    return KZInstallLayout::FullInstallZipName(pack);
}

std::string Lower(std::string strText)
{
    for (char& c : strText)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return strText;
}

std::string Reason(const std::error_code& error)
{
    return error.message();
}

// The path with its last separator removed, made absolute: "srv/" and "srv" name one folder.
fs::path FolderPath(const std::string& strPath)
{
    fs::path path = fs::absolute(fs::path(strPath)).lexically_normal();
    if (path.filename().empty() && path.has_parent_path())
        path = path.parent_path();
    return path;
}

// Whether inner is outer or lies below it.
bool IsWithin(const fs::path& inner, const fs::path& outer)
{
    std::error_code error;
    const fs::path a = fs::weakly_canonical(inner, error);
    const fs::path b = fs::weakly_canonical(outer, error);
    auto itA = a.begin();
    for (auto itB = b.begin(); itB != b.end(); ++itB, ++itA)
        if (itA == a.end() || *itA != *itB)
            return false;
    return true;
}

// The N of a full-install zip's name, "Data<N>.zip"; false for any other name.
bool FullInstallZipNumber(const std::string& strFile, unsigned long& zip)
{
    const std::string strPrefix = KZInstallLayout::kCacheName;
    const std::string strSuffix = ".zip";
    if (strFile.size() <= strPrefix.size() + strSuffix.size() || strFile.compare(0, strPrefix.size(), strPrefix) != 0 ||
        strFile.compare(strFile.size() - strSuffix.size(), strSuffix.size(), strSuffix) != 0)
        return false;
    const std::string strNumber = strFile.substr(strPrefix.size(), strFile.size() - strPrefix.size() - strSuffix.size());
    if (strNumber.find_first_not_of("0123456789") != std::string::npos || strNumber.size() >= 10)
        return false;
    zip = std::stoul(strNumber);
    return true;
}

// How many packs a catalogue's zip indexes name.
uint32_t PackCount(const CKZFileTimeCache& catalogue)
{
    uint32_t count = 0;
    for (const auto& entry : catalogue.GetRawData())
        count = std::max(count, entry.second->m_dwZipIndex + 1);
    return count;
}

// A pack while files are assigned to packs: its stage and the bytes in it so far.
struct SPackFill
{
    uint32_t dwStage = 0;
    uint64_t qwSize = 0;
};
typedef std::map<uint32_t, SPackFill> PackFills;

// The pack a new file of a stage joins: the last pack of its stage, unless that is the last pack of
// all and already past the zip size; else a new pack after the last one. False when the last pack
// belongs to a later stage, so that a new pack would break the stage order.
bool PackForNewFile(const PackFills& mapPacks, uint32_t dwStage, uint32_t dwZipSize, uint32_t& dwPack)
{
    const bool bAny = !mapPacks.empty();
    const uint32_t dwLast = bAny ? mapPacks.rbegin()->first : 0;
    const auto itStage = std::find_if(mapPacks.rbegin(), mapPacks.rend(),
                                      [&](const PackFills::value_type& pack) { return pack.second.dwStage == dwStage; });
    if (itStage != mapPacks.rend() && (itStage->first != dwLast || itStage->second.qwSize <= dwZipSize))
        dwPack = itStage->first;
    else if (!bAny || mapPacks.rbegin()->second.dwStage <= dwStage)
        dwPack = bAny ? dwLast + 1 : 0;
    else
        return false;
    return true;
}

// The catalogue's record for a name, or null.
const CKZFileDetails* Record(const CKZFileTimeCache& catalogue, const std::string& strName)
{
    const auto it = catalogue.GetRawData().find(strName);
    return it == catalogue.GetRawData().end() ? nullptr : it->second;
}
}

CKZPublisher::CKZPublisher(const SKZPublishOptions& options) : m_options(options)
{
}

CKZPublisher::~CKZPublisher()
{
    if (!m_stagingDir.empty())
    {
        std::error_code error;
        fs::remove_all(m_stagingDir, error);
    }
}

bool CKZPublisher::Fail(const std::string& strMessage)
{
    if (m_strError.empty())
        m_strError = strMessage;
    return false;
}

void CKZPublisher::Progress(const char* szPhase, size_t done, size_t total) const
{
    if (!m_options.bProgress)
        return;
    fprintf(stderr, "\r\033[Kkzpublish: %s %zu/%zu", szPhase, done, total);
    if (done == total)
        fprintf(stderr, "\n");
    fflush(stderr);
}

bool CKZPublisher::Publish()
{
    if (!Check() || !BuildCatalogue())
        return false;
    if (m_bHasPrevious)
    {
        if (!AssignZipsKeepingPrevious())
            AssignZips();
    }
    else
        AssignZips();
    std::error_code error;
    fs::create_directories(m_stagingDir / kUpdateZipFolder, error);
    if (error)
        return Fail("cannot create " + m_stagingDir.string() + ": " + Reason(error));
    return WriteUpdateZips() && WriteDeltas() && WritePackZips() && WriteClientZip() && WriteCatalogueAndReports() &&
           MoveIntoPlace();
}

// Every refusal is decided here, before anything is written.
bool CKZPublisher::Check()
{
    m_clientDir = FolderPath(m_options.strClientDir);
    m_serverDir = FolderPath(m_options.strServerDir);
    std::error_code error;
    if (!fs::is_directory(m_clientDir, error))
        return Fail("not a folder: " + m_options.strClientDir);
    if (IsWithin(m_serverDir, m_clientDir) || IsWithin(m_clientDir, m_serverDir))
        return Fail("the client folder and the server folder overlap: " + m_options.strClientDir + ", " +
                    m_options.strServerDir);
    if (fs::exists(m_serverDir, error) && !fs::is_directory(m_serverDir, error))
        return Fail("not a folder: " + m_options.strServerDir);
    if (!m_options.strRulesPath.empty() && !m_rules.Load(m_options.strRulesPath, m_strError))
        return false;
    if (!m_options.strAppDir.empty() && !fs::is_directory(m_options.strAppDir, error))
        return Fail("not a folder: " + m_options.strAppDir);
    if (!ScanClient() || !LoadPrevious())
        return false;
    if (m_options.strAppDir.empty() && !(m_bHasPrevious && fs::is_regular_file(m_previousDir / kClientZip, error)))
        return Fail("no client application to publish: give --app APP_DIR");
    m_stagingDir = m_serverDir.parent_path() /
                   ("." + m_serverDir.filename().string() + ".kzpublish-" + std::to_string(getpid()));
    return true;
}

bool CKZPublisher::ScanClient()
{
    std::error_code error;
    fs::recursive_directory_iterator it(m_clientDir, error), end;
    if (error)
        return Fail("cannot read " + m_clientDir.string() + ": " + Reason(error));
    for (; it != end; it.increment(error))
    {
        if (error)
            return Fail("cannot read " + it->path().string() + ": " + Reason(error));
        if (it->is_directory(error))
            continue;
        const std::string strShown = it->path().string();
        if (!it->is_regular_file(error))
            return Fail("not a regular file: " + strShown);
        SClientFile file;
        file.strRelative = it->path().lexically_relative(m_clientDir).generic_string();
        file.strName = it->path().filename().string();
        file.qwSize = it->file_size(error);
        if (error)
            return Fail("cannot read " + strShown + ": " + Reason(error));
        m_files.push_back(file);
    }
    if (error)
        return Fail("cannot read " + m_clientDir.string() + ": " + Reason(error));
    if (m_files.empty())
        return Fail("the client folder holds no files: " + m_options.strClientDir);
    std::sort(m_files.begin(), m_files.end(),
              [](const SClientFile& a, const SClientFile& b) { return a.strRelative < b.strRelative; });

    // Names are the catalogue's keys, and the pack index compares them without letter case.
    std::map<std::string, const SClientFile*> mapNames;
    for (const SClientFile& file : m_files)
    {
        const std::string strShown = (m_clientDir / file.strRelative).string();
        if (file.strName.find('\\') != std::string::npos)
            return Fail("a name with a backslash, which pack files use as separator: " + strShown);
        if (file.strName.size() > kMaxText || file.strRelative.size() + 5 > kMaxText)
            return Fail("name or path over 255 bytes: " + strShown);
        if (file.qwSize > kMaxFileSize)
            return Fail("a file of 2 GiB or more does not fit a pack file: " + strShown);
        const auto inserted = mapNames.emplace(Lower(file.strName), &file);
        if (!inserted.second)
            return Fail("two files with the same name (the catalogue is keyed by name): " +
                        inserted.first->second->strRelative + " and " + file.strRelative);
    }
    return true;
}

bool CKZPublisher::LoadPrevious()
{
    if (m_options.strPreviousDir.empty())
        return true;
    m_previousDir = FolderPath(m_options.strPreviousDir);
    const std::string strCatalogue = (m_previousDir / kCatalogue).string();
    if (!m_previous.Initialize(strCatalogue.c_str(), nullptr, nullptr))
        return Fail("cannot load the previous catalogue " + strCatalogue);
    std::error_code error;
    m_bPreviousIsLive = fs::equivalent(m_previousDir, m_serverDir, error);
    m_bHasPrevious = true;
    return true;
}

bool CKZPublisher::BuildCatalogue()
{
    for (size_t i = 0; i < m_files.size(); ++i)
    {
        const SClientFile& file = m_files[i];
        const std::string strPath = (m_clientDir / file.strRelative).string();
        const std::string strRecordPath = KZInstallLayout::kRecordPrefix + file.strRelative;
        const uint32_t result = m_catalogue.AddFile(strPath.c_str(), strPath.c_str(), 0, 0, strRecordPath.c_str(), false);
        if (result != CKZFileTimeCache::RESULT_OK)
            return Fail("cannot add " + strPath + (result == CKZFileTimeCache::RESULT_NO_TIME
                                                       ? ": its time cannot be read"
                                                       : ": it cannot be read"));
        std::string strPattern;
        const uint32_t dwStage = m_rules.StageOf(file.strRelative, &strPattern);
        m_catalogue.SetDownloadStage(file.strName.c_str(), dwStage, strPattern.c_str());
        m_summary.bytes += file.qwSize;
        Progress("reading files", i + 1, m_files.size());
        const CKZFileDetails* pOld = m_bHasPrevious ? Record(m_previous, file.strName) : nullptr;
        const CKZFileDetails* pNew = Record(m_catalogue, file.strName);
        if (pOld && pNew && pOld->m_strFilePath == pNew->m_strFilePath && pOld->m_dwSize == pNew->m_dwSize &&
            pOld->m_dwExportedCrc == pNew->m_dwExportedCrc)
            m_setSameContent.insert(file.strName);
    }
    m_summary.files = m_files.size();
    return true;
}

void CKZPublisher::AssignZips()
{
    m_catalogue.ZipSplit(static_cast<int32_t>(m_options.dwZipSize));
    m_setChangedPacks.clear();
    m_dwPackCount = PackCount(m_catalogue);
    for (uint32_t pack = 0; pack < m_dwPackCount; ++pack)
        m_setChangedPacks.insert(pack);
}

// Files keep their packs; a pack is rebuilt only when a file leaves it, comes into it or changes in
// it. New files join the last pack of their stage, or open a pack after the last one.
// False when the packs could not stay in stage order: the caller then splits everything anew.
bool CKZPublisher::AssignZipsKeepingPrevious()
{
    PackFills mapPacks;
    std::vector<CKZFileDetails*> vecNew;
    for (const auto& entry : m_catalogue.GetRawData())
    {
        CKZFileDetails& record = *entry.second;
        // A changed file stays in its pack too: that pack is rebuilt anyway.
        const CKZFileDetails* pOld = Record(m_previous, record.m_strName);
        if (pOld && pOld->m_dwStage == record.m_dwStage)
        {
            record.m_dwZipIndex = pOld->m_dwZipIndex;
            SPackFill& pack = mapPacks[record.m_dwZipIndex];
            pack.dwStage = record.m_dwStage;
            pack.qwSize += record.m_dwSize;
        }
        else
            vecNew.push_back(&record);
    }
    m_setChangedPacks.clear();
    for (const auto& entry : m_previous.GetRawData())
    {
        const CKZFileDetails* pNew = Record(m_catalogue, entry.first);
        if (!pNew || !m_setSameContent.count(entry.first) || pNew->m_dwStage != entry.second->m_dwStage)
        {
            m_setChangedPacks.insert(entry.second->m_dwZipIndex);
            mapPacks.emplace(entry.second->m_dwZipIndex, SPackFill{entry.second->m_dwStage, 0});
        }
    }
    std::stable_sort(vecNew.begin(), vecNew.end(), [](const CKZFileDetails* a, const CKZFileDetails* b) {
        return a->m_dwStage < b->m_dwStage;
    });
    for (CKZFileDetails* pRecord : vecNew)
    {
        uint32_t dwPack = 0;
        if (!PackForNewFile(mapPacks, pRecord->m_dwStage, m_options.dwZipSize, dwPack))
            return false;
        SPackFill& pack = mapPacks[dwPack];
        pack.dwStage = pRecord->m_dwStage;
        pack.qwSize += pRecord->m_dwSize;
        pRecord->m_dwZipIndex = dwPack;
        m_setChangedPacks.insert(dwPack);
    }
    m_dwPackCount = PackCount(m_catalogue);
    std::error_code error;
    for (uint32_t pack = 0; pack < m_dwPackCount; ++pack)
        if (!fs::is_regular_file(m_previousDir / PackZipName(pack), error))
            m_setChangedPacks.insert(pack);
    return true;
}

bool CKZPublisher::KeepPrevious(const std::string& strName)
{
    if (m_bPreviousIsLive)
        return true;
    std::error_code error;
    const fs::path target = m_stagingDir / strName;
    fs::copy_file(m_previousDir / strName, target, fs::copy_options::overwrite_existing, error);
    if (!error)
        fs::last_write_time(target, fs::last_write_time(m_previousDir / strName, error), error);
    if (error)
        return Fail("cannot copy " + (m_previousDir / strName).string() + ": " + Reason(error));
    m_setStaged.insert(strName);
    return true;
}

bool CKZPublisher::ZipFiles(const fs::path& zipPath, const std::vector<std::pair<std::string, std::string>>& vecEntries)
{
    CKZZipFile zip;
    if (!zip.Open(zipPath.c_str(), 0, nullptr, 0))
        return Fail("cannot write " + zipPath.string());
    for (const auto& entry : vecEntries)
        if (!zip.AddFile(entry.first.c_str(), entry.second.c_str(), false))
            return Fail("cannot add " + entry.first + " to " + zipPath.string());
    if (!zip.Close())
        return Fail("cannot write " + zipPath.string());
    return true;
}

bool CKZPublisher::WriteUpdateZips()
{
    size_t done = 0;
    for (const SClientFile& file : m_files)
    {
        const std::string strName = UpdateZipName(file.strName);
        std::error_code error;
        const bool bKeep = m_setSameContent.count(file.strName) && fs::is_regular_file(m_previousDir / strName, error);
        if (bKeep)
        {
            if (!KeepPrevious(strName))
                return false;
        }
        else
        {
            if (!ZipFiles(m_stagingDir / strName, {{(m_clientDir / file.strRelative).string(), file.strRelative}}))
                return false;
            m_setStaged.insert(strName);
            ++m_summary.updateZipsWritten;
        }
        const fs::path written = Staged(strName) ? m_stagingDir / strName : m_previousDir / strName;
        const uint64_t qwSize = fs::file_size(written, error);
        if (error)
            return Fail("cannot read " + written.string() + ": " + Reason(error));
        m_catalogue.SetCompressedSize(file.strName.c_str(), static_cast<uint32_t>(std::min<uint64_t>(qwSize, 0xFFFFFFFFu)));
        Progress("update zips", ++done, m_files.size());
    }
    return true;
}

bool CKZPublisher::WriteDeltas()
{
    if (!m_bHasPrevious)
        return true;
    CKZDeltaPublisher::SInputs inputs;
    inputs.pPrevious = &m_previous;
    inputs.pCatalogue = &m_catalogue;
    for (const SClientFile& file : m_files)
        inputs.mapClientFiles[file.strName] = m_clientDir / file.strRelative;
    inputs.previousDir = m_previousDir;
    inputs.stagingDir = m_stagingDir;
    inputs.dwKeep = m_options.dwKeepDeltas;
    inputs.level = m_options.deltaLevel;
    inputs.bProgress = m_options.bProgress;
    m_pDeltas = std::make_unique<CKZDeltaPublisher>(
        std::move(inputs), [this](const std::string& strName) { return KeepPrevious(strName); },
        [this](const std::string& strName) { m_setStaged.insert(strName); });
    const bool bWritten = m_pDeltas->Write();
    m_summary.deltas = m_pDeltas->GetSummary();
    return bWritten || Fail(m_pDeltas->GetError());
}

// The packs that change, built with the catalogue's own pack builder from a catalogue of their
// files alone. The client folder is reached through a link named "Data", so that a record's path
// "Data/..." names its file; internal paths are taken below that link, so that the file of
// "Data/levels/a.lvl" is packed as "levels\a.lvl", the path its update zip holds it at.
// The staging folder's link to the client folder, made once: the packs and the zip report both
// name the client's files through it.
bool CKZPublisher::LinkClientFolder()
{
    const fs::path source = m_stagingDir / "source";
    std::error_code error;
    if (fs::is_symlink(source / KZInstallLayout::kCacheName, error))
        return true;
    fs::create_directories(source, error);
    if (!error)
        fs::create_directory_symlink(m_clientDir, source / KZInstallLayout::kCacheName, error);
    if (error)
        return Fail("cannot prepare " + source.string() + ": " + Reason(error));
    return true;
}

bool CKZPublisher::BuildPacks(const fs::path& packDirectory)
{
    std::error_code error;
    if (!LinkClientFolder())
        return false;
    fs::create_directories(packDirectory, error);
    if (error)
        return Fail("cannot prepare " + packDirectory.string() + ": " + Reason(error));
    const std::string strFull = (m_stagingDir / "full.ccx").string();
    CKZFileTimeCache packed;
    if (!m_catalogue.SaveCache(strFull.c_str()) || !packed.Initialize(strFull.c_str(), nullptr, nullptr))
        return Fail("cannot write " + strFull);
    std::vector<std::string> vecKept;
    for (const auto& entry : packed.GetRawData())
        if (!m_setChangedPacks.count(entry.second->m_dwZipIndex))
            vecKept.push_back(entry.first);
    for (const std::string& strName : vecKept)
        packed.RemoveFile(strName.c_str());
    const std::string strSource = (m_stagingDir / "source").string() + "/";
    const std::string strPacks = packDirectory.string() + "/";
    if (!CKZPackFileArchive::CreateFromCacheFile(packed, CKZPath(strSource), CKZPath(strPacks),
                                                 CKZPath(strSource + KZInstallLayout::kCacheName + "/")))
        return Fail("the pack files could not be built in " + packDirectory.string());
    // What an installer will check of them: every record packed at its path with its size.
    const CKZInstallationVerifier::SResult check =
        CKZInstallationVerifier::VerifyPackDirectory(packed, strPacks, CKZInstallationVerifier::DEPTH_LISTING);
    if (!check.IsClean())
    {
        const CKZInstallationVerifier::SProblem& first = check.m_Problems.front();
        return Fail("the pack files built in " + packDirectory.string() + " do not hold the catalogue (" +
                    std::to_string(check.m_Problems.size()) + " problems, the first: " +
                    CKZInstallationVerifier::GetProblemName(first.m_eProblem) + " " + first.m_strPath + ")");
    }
    return true;
}

bool CKZPublisher::WritePackZips()
{
    const fs::path packDirectory = m_stagingDir / KZInstallLayout::kPackDirectory;
    if (!m_setChangedPacks.empty() && !BuildPacks(packDirectory))
        return false;
    for (uint32_t pack = 0; pack < m_dwPackCount; ++pack)
    {
        const std::string strName = PackZipName(pack);
        if (!m_setChangedPacks.count(pack))
        {
            if (!KeepPrevious(strName))
                return false;
            continue;
        }
        const std::string strPack = KZInstallLayout::PackName(pack);
        const std::string strHeader = KZInstallLayout::PackHeaderName(strPack);
        const std::string strInZip = std::string(KZInstallLayout::kPackDirectory) + "/";
        if (!ZipFiles(m_stagingDir / strName, {{(packDirectory / strPack).string(), strInZip + strPack},
                                               {(packDirectory / strHeader).string(), strInZip + strHeader}}))
            return false;
        m_setStaged.insert(strName);
        ++m_summary.packZipsWritten;
        Progress("pack zips", m_summary.packZipsWritten, m_setChangedPacks.size());
    }
    m_summary.packs = m_dwPackCount;
    return true;
}

// The client application, unpacked by the installer as TVKClient.app.
bool CKZPublisher::WriteClientZip()
{
    if (m_options.strAppDir.empty())
        return KeepPrevious(kClientZip);
    const fs::path app = FolderPath(m_options.strAppDir);
    std::vector<std::pair<std::string, std::string>> vecEntries;
    std::error_code error;
    for (fs::recursive_directory_iterator it(app, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error))
            vecEntries.emplace_back(it->path().string(),
                                    std::string(KZInstallLayout::kClientAppName) + "/" +
                                        it->path().lexically_relative(app).generic_string());
    if (error)
        return Fail("cannot read " + app.string() + ": " + Reason(error));
    std::sort(vecEntries.begin(), vecEntries.end());
    if (!ZipFiles(m_stagingDir / kClientZip, vecEntries))
        return false;
    m_setStaged.insert(kClientZip);
    return true;
}

bool CKZPublisher::WriteCatalogueAndReports()
{
    const std::string strCatalogue = (m_stagingDir / kCatalogue).string();
    if (!m_catalogue.SaveCache(strCatalogue.c_str()))
        return Fail("cannot write " + strCatalogue);
    // The zip report names each file on disk: below the link, then shown as the client folder's path.
    if (!LinkClientFolder())
        return false;
    const std::string strSource = (m_stagingDir / "source").string() + "/";
    const std::string strZipInfo = (m_stagingDir / kZipInfo).string();
    if (!m_catalogue.SaveZipInfo(strZipInfo, strSource) ||
        !m_catalogue.SaveDownloadStageInfo((m_stagingDir / kStageInfo).string()))
        return Fail("cannot write the reports in " + m_stagingDir.string());
    std::string strText, strFixed;
    if (!CKZFile::ReadText(strText, strZipInfo.c_str()))
        return Fail("cannot read " + strZipInfo);
    const std::string strFrom = strSource + KZInstallLayout::kCacheName + "/";
    const std::string strTo = m_clientDir.string() + "/";
    for (size_t at = 0, next; at < strText.size(); at = next)
    {
        next = strText.find('\n', at);
        next = next == std::string::npos ? strText.size() : next + 1;
        const std::string strLine = strText.substr(at, next - at);
        strFixed += strLine.compare(0, strFrom.size(), strFrom) == 0 ? strTo + strLine.substr(strFrom.size()) : strLine;
    }
    if (!CKZFile::CreateTextFile(strZipInfo.c_str(), strFixed))
        return Fail("cannot write " + strZipInfo);
    m_setStaged.insert(kZipInfo);
    m_setStaged.insert(kStageInfo);
    return true;
}

bool CKZPublisher::MoveIntoPlace()
{
    std::error_code error;
    fs::create_directories(m_serverDir / kUpdateZipFolder, error);
    if (error)
        return Fail("cannot create " + (m_serverDir / kUpdateZipFolder).string() + ": " + Reason(error));
    // Update zips first, then the packs' zips and the rest; each rename replaces one file at once.
    std::vector<std::string> vecOrder(m_setStaged.begin(), m_setStaged.end());
    const std::string strUpdateZips = std::string(kUpdateZipFolder) + "/";
    std::stable_partition(vecOrder.begin(), vecOrder.end(),
                          [&](const std::string& strName) { return strName.rfind(strUpdateZips, 0) == 0; });
    vecOrder.push_back(kCatalogue);
    for (const std::string& strName : vecOrder)
    {
        fs::rename(m_stagingDir / strName, m_serverDir / strName, error);
        if (error)
            return Fail("cannot move " + (m_stagingDir / strName).string() + " to " + (m_serverDir / strName).string() +
                        ": " + Reason(error));
    }
    RemoveObsolete();
    return true;
}

// Zips that the new catalogue no longer names and deltas that the new index does not list, removed
// once it is in place.
void CKZPublisher::RemoveObsolete()
{
    std::error_code error;
    for (fs::directory_iterator it(m_serverDir / kUpdateZipFolder, error), end; !error && it != end; it.increment(error))
    {
        const std::string strFile = it->path().filename().string();
        const std::string strServerPath = std::string(kUpdateZipFolder) + "/" + strFile;
        std::error_code ignored;
        if ((it->path().extension() == ".zip" && !Record(m_catalogue, strFile.substr(0, strFile.size() - 4))) ||
            (it->path().extension() == ".delta" && !(m_pDeltas && m_pDeltas->Lists(strServerPath))))
            fs::remove(it->path(), ignored);
    }
    if (!(m_pDeltas && m_pDeltas->HasIndex()))
        fs::remove(m_serverDir / KZInstallLayout::kDeltaIndexName, error);
    error.clear();
    for (fs::directory_iterator it(m_serverDir, error), end; !error && it != end; it.increment(error))
    {
        unsigned long pack = 0;
        std::error_code ignored;
        if (FullInstallZipNumber(it->path().filename().string(), pack) && pack >= m_dwPackCount)
            fs::remove(it->path(), ignored);
    }
}
