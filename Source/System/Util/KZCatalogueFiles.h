#pragma once
// The catalogue files of an installation: the local catalogue Data.ccx (or the older Data.cch), the
// server's catalogue as downloaded (Data.update) and as read for the download stages (Data.temp),
// the rules a catalogue must pass, its installation once a run is complete, and the install
// markers of full-install zips.

#include "System/Util/KZWebInstallerFile.h"

#include <atomic>
#include <cstdint>
#include <string>

class CKZInstallProgress;
class CKZInstallerTransfers;
class CKZRunCatalogue;

class CKZCatalogueFiles
{
public:
    // Zip indexes at or above this are refused in a catalogue.
    static constexpr uint32_t kMaxZipIndex = 65536;
    // ReadStageInfo's answer when the tables cannot be had: the run goes on without them.
    static constexpr int32_t kStageInfoUnavailable = -1;

    void SetNames(const std::string& strCacheName, const std::string& strInstallRoot);
    const std::string& CacheName() const { return m_strCacheName; }
    const std::string& CacheFileName() const { return m_strCacheFileName; }

    // Reads a catalogue and checks it: a name is one file name, a path stays inside the install root
    // below "Data/", a zip index is below kMaxZipIndex. An error code of the installer, 0 when it passed.
    static int32_t Read(const std::string& strPath, KZCatalogueEntries& entries, int32_t* pVersion, uint64_t* pPackCount);

    // The checksum of the local catalogue found at strPath, against which the server's is compared.
    void SetLocalChecksum(uint32_t dwChecksum) { m_dwLocalChecksum = dwChecksum; }
    // Downloads the server's catalogue as Data.update, reads it into the run's catalogue (once per
    // run); an error code.
    int32_t Retrieve(CKZInstallerTransfers& transfers, CKZRunCatalogue& catalogue);
    // Copies Data.update over Data.ccx when the server's catalogue differs; false when it cannot.
    bool Finalize() const;
    // Finalize, saying so when it fails; an error code.
    int32_t Install() const;
    // Empties the folder the downloads of the catalogue's version go to, except the download folder
    // when bKeepDownloads (a cancelled run left it for this one); false before a catalogue.
    bool PrepareDataFolders(bool bKeepDownloads) const;
    // Downloads the catalogue once more for the download stage tables; an error code, or
    // kStageInfoUnavailable.
    int32_t ReadStageInfo(CKZInstallerTransfers& transfers, CKZInstallProgress& progress);

    void WriteInstallMarker(const CKZWebInstallerFile& zip) const;
    // The zip's marker is there with the zip's server time: a cancelled run installed this very zip.
    bool HasInstallMarker(const CKZWebInstallerFile& zip) const;
    // Deletes Data0.install, Data1.install, ... up to the first that is not there.
    void DeleteInstallMarkers() const;

    bool IsLoaded() const { return m_bLoaded; }
    bool IsUnchanged() const { return m_bUnchanged; }
    int32_t Version() const { return m_version; }
    uint64_t PackCount() const { return m_qwPackCount; }
    // The pack count of the catalogue read for the stage tables (0 before one was read).
    uint64_t StagePackCount() const { return m_qwStagePackCount; }

private:
    std::string MarkerPath(uint32_t zip) const;

    std::string m_strCacheName;
    std::string m_strCacheFileName;
    std::string m_strInstallRoot;
    uint32_t m_dwLocalChecksum = 0;
    std::atomic<bool> m_bLoaded{false};
    std::atomic<bool> m_bUnchanged{false};
    std::atomic<int32_t> m_version{-1};
    std::atomic<uint64_t> m_qwPackCount{0};
    std::atomic<uint64_t> m_qwStagePackCount{0};
};
