/* kzlaunch: the reference launcher. It drives one patch run through libkzpatch.so's public C
 * interface exactly as a launcher would, shows its progress and prints how to start the client.
 *
 *   kzlaunch PROJECT_DIR SERVER [--timeout S] [--json] [--limit-rate BYTES_PER_SECOND] [launch options]
 *
 * Exit status: 0 done, 1 failed, 2 wrong usage, 3 timed out. */
#define _POSIX_C_SOURCE 200809L

#include "PatchLibrary/KZPatchAPI.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum
{
    EXIT_DONE = 0,
    EXIT_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_TIMED_OUT = 3
};

enum
{
    OUTPUT_TERMINAL,
    OUTPUT_LINES,
    OUTPUT_JSON
};

typedef struct
{
    const char* projectDir;
    const char* server;
    double timeoutSeconds;
    int json;
    unsigned long long rateLimit;
    const char* language;
    const char* launcherHash;
    const char* launcherServer;
    int userId;
    const char* metricsServer;
    const char* metricsGroup;
} Options;

/* The download rate over the last second or so, for the rate and the time left. */
typedef struct
{
    double time[16];
    uint64_t bytes[16];
    unsigned count;
} RateWindow;

static const char usageText[] =
    "usage: kzlaunch PROJECT_DIR SERVER [--timeout SECONDS] [--json] [--limit-rate BYTES_PER_SECOND]\n"
    "                [--language L] [--launcher-hash H] [--launcher-server S] [--user-id N]\n"
    "                [--metrics-server S] [--metrics-group G]\n"
    "exit status: 0 done, 1 failed, 2 wrong usage, 3 timed out\n";

static int usage(const char* problem)
{
    fprintf(stderr, "kzlaunch: %s\n%s", problem, usageText);
    return EXIT_USAGE;
}

static double now_seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void sleep_ms(long milliseconds)
{
    struct timespec ts = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        ;
}

/* A whole decimal number (with an optional k or m suffix for 1024 and 1048576). */
static int parse_count(const char* text, unsigned long long* value)
{
    char* end = NULL;
    if (text[0] < '0' || text[0] > '9')
        return 0;
    errno = 0;
    unsigned long long number = strtoull(text, &end, 10);
    if (errno != 0)
        return 0;
    unsigned long long unit = 1;
    if (*end == 'k' || *end == 'K')
        unit = 1024ULL, ++end;
    else if (*end == 'm' || *end == 'M')
        unit = 1048576ULL, ++end;
    if (number > ULLONG_MAX / unit)
        return 0;
    number *= unit;
    *value = number;
    return *end == '\0';
}

static int parse_options(int argc, char** argv, Options* options)
{
    int positional = 0;
    for (int i = 1; i < argc; ++i)
    {
        const char* arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : NULL;
        unsigned long long number = 0;
        if (strcmp(arg, "--json") == 0)
        {
            options->json = 1;
            continue;
        }
        if (strncmp(arg, "--", 2) != 0)
        {
            if (positional == 0)
                options->projectDir = arg;
            else if (positional == 1)
                options->server = arg;
            else
                return usage("too many arguments");
            ++positional;
            continue;
        }
        if (!value)
            return usage("an option lacks its value");
        ++i;
        if (strcmp(arg, "--timeout") == 0)
        {
            char* end = NULL;
            options->timeoutSeconds = strtod(value, &end);
            if (*end != '\0' || end == value || !(options->timeoutSeconds > 0.0))
                return usage("--timeout takes a positive number of seconds");
        }
        else if (strcmp(arg, "--limit-rate") == 0)
        {
            if (!parse_count(value, &number))
                return usage("--limit-rate takes bytes per second (0 for none, k or m suffix allowed)");
            options->rateLimit = number;
        }
        else if (strcmp(arg, "--user-id") == 0)
        {
            char* end = NULL;
            const long id = strtol(value, &end, 10);
            if (*end != '\0' || end == value || id < -2147483647L || id > 2147483647L)
                return usage("--user-id takes a whole number");
            options->userId = (int)id;
        }
        else if (strcmp(arg, "--language") == 0)
            options->language = value;
        else if (strcmp(arg, "--launcher-hash") == 0)
            options->launcherHash = value;
        else if (strcmp(arg, "--launcher-server") == 0)
            options->launcherServer = value;
        else if (strcmp(arg, "--metrics-server") == 0)
            options->metricsServer = value;
        else if (strcmp(arg, "--metrics-group") == 0)
            options->metricsGroup = value;
        else
            return usage("unknown option");
    }
    if (positional != 2)
        return usage("PROJECT_DIR and SERVER are required");
    if (!options->launcherServer)
        options->launcherServer = options->server;
    return EXIT_DONE;
}

static const char* error_meaning(int32_t code)
{
    switch (code)
    {
    case 0:
        return "the project directory is missing or the client application could not be updated";
    case 1:
        return "server unreachable";
    case 2:
        return "catalogue download failed";
    case 3:
        return "catalogue could not be read";
    case 4:
        return "catalogue version not supported";
    case 6:
        return "a zip could not be downloaded or installed";
    default:
        return "unknown error";
    }
}

/* Writes text as a JSON string, quotes included. */
static void json_string(FILE* out, const char* text)
{
    fputc('"', out);
    for (const unsigned char* p = (const unsigned char*)text; *p; ++p)
    {
        if (*p == '"' || *p == '\\')
            fprintf(out, "\\%c", *p);
        else if (*p < 0x20)
            fprintf(out, "\\u%04x", *p);
        else
            fputc(*p, out);
    }
    fputc('"', out);
}

static double window_rate(RateWindow* window, double time, uint64_t bytes)
{
    const unsigned size = sizeof(window->time) / sizeof(window->time[0]);
    if (window->count == size)
    {
        memmove(window->time, window->time + 1, (size - 1) * sizeof(window->time[0]));
        memmove(window->bytes, window->bytes + 1, (size - 1) * sizeof(window->bytes[0]));
        --window->count;
    }
    window->time[window->count] = time;
    window->bytes[window->count] = bytes;
    ++window->count;
    const double span = time - window->time[0];
    if (span <= 0.0 || bytes < window->bytes[0])
        return 0.0;
    return (double)(bytes - window->bytes[0]) / span;
}

static void show_progress(FILE* out, int mode, KZPatchStatus status, double rate)
{
    const float progress = kzpatch_get_progress();
    const uint32_t filesDone = kzpatch_get_current_files(), filesTotal = kzpatch_get_total_files();
    const uint64_t bytesDone = kzpatch_get_current_bytes(), bytesTotal = kzpatch_get_total_bytes();
    const uint64_t downDone = kzpatch_get_current_download_bytes(), downTotal = kzpatch_get_total_download_bytes();
    const uint32_t stages = kzpatch_get_download_stage_count(), inSync = kzpatch_get_download_stages_in_sync();
    const int firstReady = kzpatch_is_first_download_stage_ready();
    const double secondsLeft = rate > 0.0 && downTotal > downDone ? (double)(downTotal - downDone) / rate : -1.0;
    if (mode == OUTPUT_JSON)
    {
        fprintf(out,
                "{\"type\":\"progress\",\"status\":%d,\"progress\":%.4f,\"files_done\":%u,\"files_total\":%u,"
                "\"bytes_done\":%llu,\"bytes_total\":%llu,\"download_done\":%llu,\"download_total\":%llu,"
                "\"rate\":%.0f,\"seconds_left\":%.0f,\"stages\":%u,\"stages_in_sync\":%u,\"first_stage_ready\":%s}\n",
                (int)status, progress, filesDone, filesTotal, (unsigned long long)bytesDone,
                (unsigned long long)bytesTotal, (unsigned long long)downDone, (unsigned long long)downTotal, rate,
                secondsLeft, stages, inSync, firstReady ? "true" : "false");
        fflush(out);
        return;
    }
    char left[32] = "--:--";
    if (secondsLeft >= 0.0 && secondsLeft < 360000.0)
        snprintf(left, sizeof(left), "%d:%02d", (int)secondsLeft / 60, (int)secondsLeft % 60);
    fprintf(out,
            "%s%5.1f%%  files %u/%u  bytes %.1f/%.1f MB  download %.1f/%.1f MB  %.0f KB/s  left %s  stages %u/%u%s%s",
            mode == OUTPUT_TERMINAL ? "\r" : "", 100.0 * progress, filesDone, filesTotal, bytesDone / 1048576.0,
            bytesTotal / 1048576.0, downDone / 1048576.0, downTotal / 1048576.0, rate / 1024.0, left, inSync,
            stages, firstReady ? "  first stage ready" : "", mode == OUTPUT_TERMINAL ? "\033[K" : "\n");
    fflush(out);
}

/* Polls until the status leaves the running ones or the deadline passes; shows progress meanwhile. */
static KZPatchStatus wait_for_run(FILE* progressOut, int mode, double deadline, int* timedOut)
{
    RateWindow window = {{0}, {0}, 0};
    double nextLine = 0.0;
    int drawn = 0;
    KZPatchStatus status = kzpatch_get_status();
    while (status == KZ_PATCH_INITIALIZING || status == KZ_PATCH_UPDATING_CLIENT || status == KZ_PATCH_INSTALLING ||
           status == KZ_PATCH_INITIALIZED)
    {
        const double time = now_seconds();
        if (time >= deadline)
        {
            *timedOut = 1;
            break;
        }
        if (status == KZ_PATCH_INITIALIZED && !kzpatch_start())
            break;
        const double rate = window_rate(&window, time, kzpatch_get_current_download_bytes());
        if (mode == OUTPUT_TERMINAL || time >= nextLine)
        {
            show_progress(progressOut, mode, status, rate);
            drawn = 1;
            nextLine = time + 1.0;
        }
        sleep_ms(100);
        status = kzpatch_get_status();
    }
    if (mode == OUTPUT_TERMINAL && drawn)
        fputc('\n', progressOut);
    return status;
}

static void report_result(FILE* out, int json, const char* result, KZPatchStatus status, int32_t code,
                          const Options* options)
{
    const int done = status == KZ_PATCH_DONE;
    const char* path = done ? kzpatch_get_executable_path() : "";
    const char* args =
        done ? kzpatch_get_executable_args(options->language, options->launcherHash, options->launcherServer,
                                           options->userId, options->metricsServer, options->metricsGroup)
             : "";
    if (json)
    {
        fprintf(out, "{\"type\":\"result\",\"result\":\"%s\",\"status\":%d,\"error_code\":%d,\"error\":", result,
                (int)status, (int)code);
        json_string(out, done ? "" : strcmp(result, "timed out") == 0 ? "timed out" : error_meaning(code));
        fprintf(out, ",\"executable\":");
        json_string(out, path);
        fprintf(out, ",\"arguments\":");
        json_string(out, args);
        fprintf(out, "}\n");
    }
    else if (done)
        fprintf(out, "executable\t%s\narguments\t%s\n", path, args);
    fflush(out);
}

int main(int argc, char** argv)
{
    Options options = {NULL, NULL, 3600.0, 0, 0, "en", "", NULL, 0, "", ""};
    const int parsed = parse_options(argc, argv, &options);
    if (parsed != EXIT_DONE)
        return parsed;

    /* In JSON mode stdout carries the JSON lines only: the library's own lines go to stderr. */
    FILE* out = stdout;
    if (options.json)
    {
        fflush(stdout);
        const int jsonFd = dup(STDOUT_FILENO);
        if (jsonFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0 || !(out = fdopen(jsonFd, "w")))
        {
            fprintf(stderr, "kzlaunch: cannot set up the JSON output\n");
            return EXIT_FAILED;
        }
    }
    const int mode = options.json ? OUTPUT_JSON : isatty(STDERR_FILENO) ? OUTPUT_TERMINAL : OUTPUT_LINES;
    FILE* progressOut = options.json ? out : stderr;

    kzpatch_set_download_rate_limit((uint64_t)options.rateLimit);
    const double deadline = now_seconds() + options.timeoutSeconds;
    if (!kzpatch_init(options.projectDir, options.server))
    {
        fprintf(stderr, "kzlaunch: the patch library refused to start\n");
        report_result(out, options.json, "failed", kzpatch_get_status(), 0, &options);
        return EXIT_FAILED;
    }
    int timedOut = 0;
    const KZPatchStatus status = wait_for_run(progressOut, mode, deadline, &timedOut);
    const int32_t code = kzpatch_get_error_code();
    if (timedOut)
    {
        fprintf(stderr, "kzlaunch: timed out after %g seconds in status %d\n", options.timeoutSeconds, (int)status);
        report_result(out, options.json, "timed out", status, code, &options);
        /* A run still going cannot be torn down: the process ends at once, its workers with it. */
        fflush(NULL);
        _exit(EXIT_TIMED_OUT);
    }
    if (status != KZ_PATCH_DONE)
    {
        fprintf(stderr, "kzlaunch: patch run failed in status %d, error code %d: %s\n", (int)status, (int)code,
                error_meaning(code));
        report_result(out, options.json, "failed", status, code, &options);
        fflush(NULL);
        _exit(EXIT_FAILED);
    }
    report_result(out, options.json, "done", status, code, &options);
    if (kzpatch_destroy())
    {
        const double destroyDeadline = now_seconds() + 30.0;
        while (kzpatch_get_status() == KZ_PATCH_DESTROYING && now_seconds() < destroyDeadline)
            sleep_ms(20);
    }
    return EXIT_DONE;
}
