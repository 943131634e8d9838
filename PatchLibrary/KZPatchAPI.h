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

/* Error codes of a failed run (status 8), as kzpatch_get_error_code gives them; kzpatch_get_error_text
 * says each in words. */
enum
{
    KZ_PATCH_ERROR_NONE = 0, /* also: the project folder is missing, or the client application could not be updated */
    KZ_PATCH_ERROR_SERVER_UNREACHABLE = 1,
    KZ_PATCH_ERROR_CATALOGUE_DOWNLOAD = 2,
    KZ_PATCH_ERROR_CATALOGUE_UNREADABLE = 3,
    KZ_PATCH_ERROR_CATALOGUE_VERSION = 4,
    KZ_PATCH_ERROR_ZIP = 6,
    KZ_PATCH_ERROR_CANCELLED = 7,
    KZ_PATCH_ERROR_DISK_SPACE = 8,
    KZ_PATCH_ERROR_NOT_TRUSTED = 9, /* with trusted keys: the release manifest failed its check */
    KZ_PATCH_ERROR_FOLDER_IN_USE = 10
};

/* Levels of the lines given to a log callback. */
enum
{
    KZ_PATCH_LOG_TRACE = 0, /* the installer's state changes */
    KZ_PATCH_LOG_DEBUG = 1, /* the status changes ("kzpatch debug: ...") */
    KZ_PATCH_LOG_INFO = 2,  /* what a run did or could not do */
    KZ_PATCH_LOG_ERROR = 3  /* failed checks inside the library */
};
typedef void (*KZPatchLogCallback)(void* user, int32_t level, const char* line);

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
/* A run's error code in words ("cancelled"); "unknown error" for a code the library never gives. A
 * static string. */
KZPATCH_API const char* kzpatch_get_error_text(int32_t code);
/* Every line the library would print goes to the callback instead, with its level, from whichever
 * thread prints it and one line at a time; the callback may call the library. Null restores the
 * printing to standard output. Accepted in every status. */
KZPATCH_API void kzpatch_set_log_callback(KZPatchLogCallback callback, void* user);
/* Stops the run: accepted in statuses 2, 3 and 4. Every worker stops at its next safe point (a
 * transfer within two seconds, a pack rebuild between files, an unzip at the end of its zip) and the
 * status becomes 8 with error code KZ_PATCH_ERROR_CANCELLED. Nothing done is lost: the next run
 * resumes broken transfers and keeps what was unpacked and merged. */
KZPATCH_API bool kzpatch_cancel(void);
/* Holds every transfer of the run (without closing its connection where it can) until resumed;
 * paused time counts against no time limit. Accepted in statuses 2, 3 and 4; a pause lasts until
 * kzpatch_resume, kzpatch_cancel or the end of the run. */
KZPATCH_API bool kzpatch_pause(void);
KZPATCH_API bool kzpatch_resume(void);
KZPATCH_API bool kzpatch_is_paused(void);
/* From status 8 (failed or cancelled): waits for the run's workers, lets go of the project folder
 * and returns to status 0, so that kzpatch_init may be called again. Refused in every other status. */
KZPATCH_API bool kzpatch_reset(void);
/* The disk space a run needs at the most (downloads, unpacking and pack rebuilds, less what it
 * frees) as far as it knows yet, and the free space of the file system that holds the project
 * folder, from status 2 on; 0 before. An update knows its need in status 2, a new install once it
 * has counted its zips, early in status 4. A run that needs more than is free ends in 8 with
 * KZ_PATCH_ERROR_DISK_SPACE before it downloads any zip. */
KZPATCH_API uint64_t kzpatch_get_required_disk_bytes(void);
KZPATCH_API uint64_t kzpatch_get_free_disk_bytes(void);
/* The public keys a release must be signed with: 64 hex digits each, separated by white space or
 * commas, lines starting with "#" left out. Two keys let a publisher move from one to the other.
 * Accepted in status 0 only, and false for a text holding anything but keys (the keys set before
 * stay). Null or a text without keys turns the checks off, the default. With keys, every run
 * fetches the signed manifest "Data.manifest" first and ends in 8 with KZ_PATCH_ERROR_NOT_TRUSTED
 * unless a trusted key signed it, it has not expired and its release is no older than the last one
 * installed in the project folder; every file the run downloads is then checked against the size
 * and digest the manifest gives it before it is used, and one that differs is fetched again. */
KZPATCH_API bool kzpatch_set_trusted_keys(const char* keys);
/* Applies a delta: 0 done, 1 original unreadable, 2 original cannot be positioned, 3 output not
 * written, 4 original cannot be opened, 5 patch cannot be opened, 6 output cannot be created, 7 a
 * malformed patch or any other failure. */
KZPATCH_API int kzpatch_patch(const char* originalPath, const char* patchPath, const char* outputPath);

#ifdef __cplusplus
}
#endif

#endif
