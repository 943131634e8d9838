/* The exported C interface of libkzpatch.so. A launcher calls these functions from its own
 * thread: kzpatch_init, poll kzpatch_get_status until 2, kzpatch_start, poll until 7 or 8 (reading
 * progress meanwhile), then kzpatch_get_executable_path / kzpatch_get_executable_args, and finally
 * kzpatch_destroy. No function throws across this boundary except when a worker thread cannot be
 * created. */
#ifndef KZPATCH_API_H
#define KZPATCH_API_H

#include <stdbool.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KZPATCH_API __attribute__((visibility("default")))
#else
#define KZPATCH_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t KZPatchStatus;
enum
{
    KZ_PATCH_IDLE = 0,
    KZ_PATCH_INITIALIZING = 1,
    KZ_PATCH_INITIALIZED = 2,
    KZ_PATCH_UPDATING_CLIENT = 3,
    KZ_PATCH_INSTALLING = 4,
    KZ_PATCH_DESTROYING = 5,
    KZ_PATCH_DONE = 7,
    KZ_PATCH_FAILED = 8
};

KZPATCH_API bool kzpatch_init(const char* projectPath, const char* serverAddress);
KZPATCH_API bool kzpatch_start(void);
KZPATCH_API bool kzpatch_destroy(void);
KZPATCH_API KZPatchStatus kzpatch_get_status(void);
KZPATCH_API int32_t kzpatch_get_error_code(void);
KZPATCH_API bool kzpatch_is_new_install(void);
KZPATCH_API float kzpatch_get_progress(void);
KZPATCH_API uint32_t kzpatch_get_current_files(void);
KZPATCH_API uint32_t kzpatch_get_total_files(void);
KZPATCH_API uint64_t kzpatch_get_current_bytes(void);
KZPATCH_API uint64_t kzpatch_get_total_bytes(void);
KZPATCH_API uint64_t kzpatch_get_current_download_bytes(void);
KZPATCH_API uint64_t kzpatch_get_total_download_bytes(void);
KZPATCH_API const char* kzpatch_get_executable_path(void);
KZPATCH_API const char* kzpatch_get_executable_args(const char* language, const char* launcherHash,
                                                    const char* launcherServer, int networkUserId,
                                                    const char* metricsServer, const char* metricsGroup);
KZPATCH_API void kzpatch_force_crash(void);
/* Download stages of a new install, for a launcher that starts the client once the first stage is
 * in. They answer in statuses 4 and 7 and give zeros in every other status. A stage is numbered as
 * the catalogue numbers it (0, 1, ...); its bytes count each of its zips twice, once downloaded and
 * once unpacked, and an unknown stage gives zeros. */
KZPATCH_API uint32_t kzpatch_get_download_stage_count(void);
KZPATCH_API bool kzpatch_is_download_stage_info_available(void);
KZPATCH_API uint32_t kzpatch_get_download_stages_in_sync(void);
KZPATCH_API bool kzpatch_is_first_download_stage_ready(void);
KZPATCH_API uint64_t kzpatch_get_download_stage_current_bytes(uint32_t stage);
KZPATCH_API uint64_t kzpatch_get_download_stage_total_bytes(uint32_t stage);
/* The most bytes per second each transfer may receive, 0 for no limit (the default). Accepted in
 * every status; a transfer already running keeps the limit it started with. */
KZPATCH_API void kzpatch_set_download_rate_limit(uint64_t bytesPerSecond);
KZPATCH_API uint64_t kzpatch_get_download_rate_limit(void);
/* The library's version, "MAJOR.MINOR.PATCH"; a static string. */
KZPATCH_API const char* kzpatch_get_version(void);
/* Applies a delta: 0 done, 1 original unreadable, 2 original cannot be positioned, 3 output not
 * written, 4 original cannot be opened, 5 patch cannot be opened, 6 output cannot be created, 7 a
 * malformed patch or any other failure. */
KZPATCH_API int kzpatch_patch(const char* originalPath, const char* patchPath, const char* outputPath);

#ifdef __cplusplus
}
#endif

#endif
