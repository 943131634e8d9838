#include "PatchLibrary/KZPatchAPI.h"
#include <stdio.h>
#include <unistd.h>

/* 0 when the client is up to date; -1 on any failure (the error code is printed). */
int update_client(const char* dir, const char* server)
{
    if (!kzpatch_init(dir, server))
        return -1;
    while (kzpatch_get_status() == KZ_PATCH_INITIALIZING)
        usleep(100000);
    if (kzpatch_get_status() != KZ_PATCH_INITIALIZED || !kzpatch_start())
        return -1;
    KZPatchStatus status;
    while ((status = kzpatch_get_status()) == KZ_PATCH_UPDATING_CLIENT || status == KZ_PATCH_INSTALLING)
    {
        printf("\r%3.0f%%", 100.0f * kzpatch_get_progress());
        usleep(100000);
    }
    if (status != KZ_PATCH_DONE)
    {
        /* A failed client update ends in 8 with error code 0: the status, not the code, tells. */
        fprintf(stderr, "\npatch run failed, error code %d\n", kzpatch_get_error_code());
        return -1;
    }
    printf("\nstart %s with%s\n", kzpatch_get_executable_path(),
           kzpatch_get_executable_args("en", "hash", "launcher.example.com", 42, "metrics.example.com", "main"));
    kzpatch_destroy();
    while (kzpatch_get_status() == KZ_PATCH_DESTROYING)
        usleep(100000);
    return 0;
}
