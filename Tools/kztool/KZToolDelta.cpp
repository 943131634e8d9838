// kztool delta: file deltas (zstd frames with the old file as prefix) made and applied; deltas in the
// older format of kzpatch_patch still apply through the exported function.

#include "KZTool.h"

#include "Base/Archive/KZFileDelta.h"
#include "Base/Core/KZFileDescriptor.h"
#include "Base/Core/KZMappedRegion.h"
#include "PatchLibrary/KZPatchAPI.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{
const char* ResultMeaning(int result)
{
    static const char* const s_meanings[] = {
        "output written completely",
        "the original file could not be read",
        "the original file could not be positioned",
        "the output file could not be written",
        "the original file could not be opened",
        "the patch file could not be opened",
        "the output file could not be created",
        "the patch file is malformed or the patcher failed otherwise",
    };
    return result >= 0 && result <= 7 ? s_meanings[result] : "unknown result";
}

// A file mapped whole; false with one line in strWhy.
bool MapWhole(const std::string& strPath, CKZMappedRegion& region, std::string& strWhy)
{
    const CKZFileDescriptor file = CKZFileDescriptor::OpenForReading(strPath);
    const int64_t length = file.IsOpen() ? file.GetLength() : -1;
    if (length < 0)
    {
        strWhy = KZTool::SystemReason("cannot read " + strPath, errno);
        return false;
    }
    if (static_cast<uint64_t>(length) > KZFileDelta::kMaxFileSize)
    {
        strWhy = strPath + " has 2 GiB or more";
        return false;
    }
    if (!region.Map(file.Get(), 0, static_cast<uint64_t>(length)))
    {
        strWhy = KZTool::SystemReason("cannot map " + strPath, errno);
        return false;
    }
    return true;
}

// The output, written under a name of its own beside OUT and renamed over it once complete, so a
// failure leaves no partial OUT and an existing OUT as it was.
class COutputFile
{
public:
    explicit COutputFile(const std::string& strPath)
        : m_strPath(strPath), m_strPart(strPath + ".part-" + std::to_string(getpid()))
    {
        m_nDescriptor = open(m_strPart.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        m_error = m_nDescriptor < 0 ? errno : 0;
    }
    ~COutputFile()
    {
        if (m_nDescriptor >= 0)
            close(m_nDescriptor);
        if (!m_bCommitted)
            unlink(m_strPart.c_str());
    }
    COutputFile(const COutputFile&) = delete;
    COutputFile& operator=(const COutputFile&) = delete;

    bool IsOpen() const { return m_nDescriptor >= 0; }
    uint64_t Written() const { return m_qwWritten; }

    bool Write(const void* pData, size_t size)
    {
        const char* p = static_cast<const char*>(pData);
        while (size > 0)
        {
            const ssize_t done = write(m_nDescriptor, p, size);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
            {
                m_error = done < 0 ? errno : EIO;
                return false;
            }
            p += done;
            size -= static_cast<size_t>(done);
            m_qwWritten += static_cast<uint64_t>(done);
        }
        return true;
    }

    // Flushed to the disk before the rename, so OUT is never a name for bytes that were lost.
    bool Commit()
    {
        const int nDescriptor = m_nDescriptor;
        m_nDescriptor = -1;
        if (fsync(nDescriptor) != 0 || close(nDescriptor) != 0 || rename(m_strPart.c_str(), m_strPath.c_str()) != 0)
        {
            m_error = errno;
            return false;
        }
        m_bCommitted = true;
        return true;
    }

    // Why the last step failed, naming OUT.
    std::string Reason() const { return KZTool::SystemReason("cannot write " + m_strPath, m_error); }

private:
    std::string m_strPath;
    std::string m_strPart;
    int m_nDescriptor = -1;
    int m_error = 0;
    uint64_t m_qwWritten = 0;
    bool m_bCommitted = false;
};

int RunMake(const CKZToolArguments& arguments)
{
    std::string strWhy;
    CKZMappedRegion base, target;
    if (!MapWhole(arguments[0], base, strWhy) || !MapWhole(arguments[1], target, strWhy))
        return KZTool::Fail(strWhy);
    COutputFile out(arguments[2]);
    if (!out.IsOpen())
        return KZTool::Fail(out.Reason());
    const int level = static_cast<int>(arguments.Number("--level", KZFileDelta::kDefaultLevel));
    bool bWriteFailed = false;
    const auto write = [&](const void* pData, size_t size) {
        bWriteFailed = !out.Write(pData, size);
        return !bWriteFailed;
    };
    if (!KZFileDelta::Make(base.Data(), base.Size(), target.Data(), target.Size(), level, write, strWhy))
        return KZTool::Fail(bWriteFailed ? out.Reason() : "cannot make the delta: " + strWhy);
    const uint64_t qwDelta = out.Written();
    if (!out.Commit())
        return KZTool::Fail(out.Reason());
    printf("old\tnew\tdelta\tpercent\n%zu\t%zu\t%llu\t%.2f\n", base.Size(), target.Size(),
           static_cast<unsigned long long>(qwDelta),
           target.Size() ? 100.0 * static_cast<double>(qwDelta) / static_cast<double>(target.Size()) : 0.0);
    return KZTool::RESULT_OK;
}

int ApplyFileDelta(const CKZToolArguments& arguments, const CKZFileDescriptor& delta)
{
    std::string strWhy;
    CKZMappedRegion base;
    if (!MapWhole(arguments[0], base, strWhy))
        return KZTool::Fail(strWhy);
    COutputFile out(arguments[2]);
    if (!out.IsOpen())
        return KZTool::Fail(out.Reason());
    int64_t qwOffset = 0;
    const auto read = [&](void* pBuffer, size_t size) {
        const int64_t got = delta.ReadAt(pBuffer, size, qwOffset);
        qwOffset += got > 0 ? got : 0;
        return got;
    };
    const auto write = [&](const void* pData, size_t size) { return out.Write(pData, size); };
    const KZFileDelta::EResult result =
        KZFileDelta::Apply(base.Data(), base.Size(), read, write, KZFileDelta::kAnySize, strWhy);
    if (result == KZFileDelta::WRITE_FAILED)
        return KZTool::Fail(out.Reason());
    if (result != KZFileDelta::APPLIED)
        return KZTool::Fail("cannot apply " + arguments[1] + ": " + strWhy);
    if (!out.Commit())
        return KZTool::Fail(out.Reason());
    printf("old\tdelta\tnew\n%zu\t%lld\t%llu\n", base.Size(), static_cast<long long>(qwOffset),
           static_cast<unsigned long long>(out.Written()));
    return KZTool::RESULT_OK;
}

int RunApply(const CKZToolArguments& arguments)
{
    const CKZFileDescriptor delta = CKZFileDescriptor::OpenForReading(arguments[1]);
    unsigned char magic[4];
    if (delta.IsOpen() && delta.ReadAt(magic, sizeof(magic), 0) == sizeof(magic) &&
        KZFileDelta::StartsLikeDelta(magic, sizeof(magic)))
        return ApplyFileDelta(arguments, delta);
    const int result = kzpatch_patch(arguments[0].c_str(), arguments[1].c_str(), arguments[2].c_str());
    printf("result\tmeaning\n%d\t%s\n", result, ResultMeaning(result));
    return result == 0 ? KZTool::RESULT_OK : KZTool::Fail(ResultMeaning(result));
}

const KZTool::CRegistration s_make({"delta make", "OLD NEW OUT [--level N]",
                                    "writes the delta that turns OLD into NEW (a zstd frame with OLD as prefix; "
                                    "level 1 to 19, default 19)",
                                    RunMake,
                                    CKZToolArguments(3).AddNumber("--level", 1, 19, "a compression level"),
                                    {0, 1}});
const KZTool::CRegistration s_apply({"delta apply", "OLD DELTA OUT",
                                     "rebuilds OUT from OLD and a delta: one of delta make, or of the older "
                                     "kzpatch_patch format",
                                     RunApply, CKZToolArguments(3), {0, 1}});
} // namespace
