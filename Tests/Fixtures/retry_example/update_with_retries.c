#include "PatchLibrary/KZPatchAPI.h"
#include <signal.h>
#include <stdio.h>
#include <unistd.h>

/* Set by the launcher's Cancel button; any thread (or a signal handler) may set it. */
static volatile sig_atomic_t cancelWanted = 0;
void request_cancel(void) { cancelWanted = 1; }

static void show_line(void* user, int32_t level, const char* line)
{
    (void)user;
    if (level >= KZ_PATCH_LOG_INFO)
        fprintf(stderr, "kzpatch: %s\n", line);
}

/* Polls until the run ends: starts it once it is initialized, warns of a disk too small first, and
 * passes a cancel on. */
static KZPatchStatus run_to_end(void)
{
    KZPatchStatus status;
    while ((status = kzpatch_get_status()) != KZ_PATCH_DONE && status != KZ_PATCH_FAILED)
    {
        if (cancelWanted && kzpatch_cancel())
            cancelWanted = 0;
        else if (status == KZ_PATCH_INITIALIZED)
        {
            if (kzpatch_get_required_disk_bytes() > kzpatch_get_free_disk_bytes())
                fprintf(stderr, "this update needs more disk space than is free\n");
            kzpatch_start();
        }
        else if (status == KZ_PATCH_INSTALLING)
            printf("\r%3.0f%%%s", 100.0f * kzpatch_get_progress(), kzpatch_is_paused() ? " paused" : "");
        usleep(100000);
    }
    return status;
}

/* Up to three tries, each continuing where the last one stopped. 0 when the client is up to date,
 * 1 when cancelled (calling it again resumes), -1 on failure. */
int update_with_retries(const char* dir, const char* server)
{
    kzpatch_set_log_callback(show_line, NULL);
    for (int attempt = 1; attempt <= 3; ++attempt)
    {
        if (!kzpatch_init(dir, server))
            return -1;
        if (run_to_end() == KZ_PATCH_DONE)
        {
            printf("\nstart %s\n", kzpatch_get_executable_path());
            kzpatch_destroy();
            while (kzpatch_get_status() == KZ_PATCH_DESTROYING)
                usleep(100000);
            return 0;
        }
        const int32_t code = kzpatch_get_error_code();
        fprintf(stderr, "\ntry %d: %s\n", attempt, kzpatch_get_error_text(code));
        kzpatch_reset(); /* back to 0 once the run's workers have stopped */
        if (code == KZ_PATCH_ERROR_CANCELLED)
            return 1;
        if (code == KZ_PATCH_ERROR_DISK_SPACE || code == KZ_PATCH_ERROR_FOLDER_IN_USE)
            return -1; /* another try would fail the same way */
        sleep((unsigned)attempt);
    }
    return -1;
}
