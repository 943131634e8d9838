/* kzlaunch: the reference launcher. It drives one patch run through libkzpatch.so's public C
 * interface exactly as a launcher would, shows its progress and prints how to start the client.
 *
 *   kzlaunch PROJECT_DIR SERVER [--timeout S] [--json] [--limit-rate BYTES_PER_SECOND]
 *            [--trusted-keys FILE] [launch options]
 *
 * With --trusted-keys the run installs only a release signed by one of the public keys in FILE.
 * SIGINT and SIGTERM cancel the run (exit 130 and 143; the next run resumes), SIGUSR1 pauses its
 * transfers and SIGUSR2 resumes them.
 * Exit status: 0 done, 1 failed, 2 wrong usage, 3 timed out. */
#define _POSIX_C_SOURCE 200809L

#include "PatchLibrary/KZPatchAPI.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
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
    const char* trustedKeys;
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
    "                [--trusted-keys FILE] [--language L] [--launcher-hash H] [--launcher-server S] [--user-id N]\n"
    "                [--metrics-server S] [--metrics-group G]\n"
    "--trusted-keys FILE: install only a release signed by one of the public keys in FILE\n"
    "SIGINT or SIGTERM cancels the run, SIGUSR1 pauses it, SIGUSR2 resumes it\n"
    "exit status: 0 done, 1 failed, 2 wrong usage, 3 timed out, 130 or 143 cancelled by SIGINT or SIGTERM\n";

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
        else if (strcmp(arg, "--trusted-keys") == 0)
            options->trustedKeys = value;
        else
            return usage("unknown option");
    }
    if (positional != 2)
        return usage("PROJECT_DIR and SERVER are required");
    if (!options->launcherServer)
        options->launcherServer = options->server;
    return EXIT_DONE;
}

/* Key files are a few lines; anything longer is not one. */
#define TRUSTED_KEYS_MAX_BYTES (64 * 1024)

/* Whether a key text holds anything but blank and comment lines: one without keys would turn the
 * checks off, which is not what a launcher asking for them means. */
static int has_key_words(const char* text)
{
    int lineStart = 1, comment = 0;
    for (const char* p = text; *p; ++p)
    {
        if (*p == '\n')
        {
            lineStart = 1;
            comment = 0;
            continue;
        }
        if (lineStart && *p == '#')
            comment = 1;
        if (*p != ' ' && *p != '\t')
            lineStart = 0;
        if (!comment && *p != ' ' && *p != '\t' && *p != '\r' && *p != ',')
            return 1;
    }
    return 0;
}

/* Reads the key file and hands its keys to the library before the run; a usage error otherwise. */
static int set_trusted_keys(const char* path)
{
    static char text[TRUSTED_KEYS_MAX_BYTES + 1];
    char problem[512];
    FILE* file = fopen(path, "rb");
    if (!file)
    {
        snprintf(problem, sizeof(problem), "cannot read the trusted keys %s: %s", path, strerror(errno));
        return usage(problem);
    }
    const size_t length = fread(text, 1, TRUSTED_KEYS_MAX_BYTES + 1, file);
    const int failed = ferror(file);
    fclose(file);
    text[length <= TRUSTED_KEYS_MAX_BYTES ? length : TRUSTED_KEYS_MAX_BYTES] = '\0';
    if (failed)
        snprintf(problem, sizeof(problem), "cannot read the trusted keys %s", path);
    else if (length > TRUSTED_KEYS_MAX_BYTES)
        snprintf(problem, sizeof(problem), "the trusted keys %s: larger than %d bytes, not a key file", path,
                 TRUSTED_KEYS_MAX_BYTES);
    else if (strlen(text) != length || !has_key_words(text))
        snprintf(problem, sizeof(problem), "the trusted keys %s: no public key in it", path);
    else if (!kzpatch_set_trusted_keys(text))
        snprintf(problem, sizeof(problem),
                 "the trusted keys %s: the library refused them (each key is 64 hex digits, '#' starts a comment line)",
                 path);
    else
        return EXIT_DONE;
    return usage(problem);
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

/* What the main thread draws and the library's threads print, one at a time: on a terminal a log
 * line clears the progress line, stands on a line of its own and the progress line is drawn again. */
typedef struct
{
    pthread_mutex_t mutex;
    int mode;
    FILE* progressOut;
    FILE* logOut;
    int showTrace;
    char progress[512];
} Screen;

static Screen screen = {PTHREAD_MUTEX_INITIALIZER, OUTPUT_LINES, NULL, NULL, 0, ""};

static void on_library_line(void* user, int32_t level, const char* line)
{
    (void)user;
    if (level == KZ_PATCH_LOG_TRACE && !screen.showTrace)
        return;
    pthread_mutex_lock(&screen.mutex);
    if (screen.mode == OUTPUT_TERMINAL)
        fprintf(screen.progressOut, "\r\033[K%s\n%s", line, screen.progress);
    else
        fprintf(screen.logOut, "%s\n", line);
    fflush(screen.mode == OUTPUT_TERMINAL ? screen.progressOut : screen.logOut);
    pthread_mutex_unlock(&screen.mutex);
}

static void draw(const char* text)
{
    pthread_mutex_lock(&screen.mutex);
    fputs(text, screen.progressOut);
    fflush(screen.progressOut);
    if (screen.mode == OUTPUT_TERMINAL)
        snprintf(screen.progress, sizeof(screen.progress), "%s", text);
    pthread_mutex_unlock(&screen.mutex);
}

/* One JSON event on the JSON output ({"type":"pause"}, ...). */
static void json_event(const char* type)
{
    char line[64];
    snprintf(line, sizeof(line), "{\"type\":\"%s\"}\n", type);
    draw(line);
}

static void show_progress(KZPatchStatus status, double rate)
{
    const float progress = kzpatch_get_progress();
    const uint32_t filesDone = kzpatch_get_current_files(), filesTotal = kzpatch_get_total_files();
    const uint64_t bytesDone = kzpatch_get_current_bytes(), bytesTotal = kzpatch_get_total_bytes();
    const uint64_t downDone = kzpatch_get_current_download_bytes(), downTotal = kzpatch_get_total_download_bytes();
    const uint32_t stages = kzpatch_get_download_stage_count(), inSync = kzpatch_get_download_stages_in_sync();
    const int firstReady = kzpatch_is_first_download_stage_ready(), paused = kzpatch_is_paused();
    const double secondsLeft =
        !paused && rate > 0.0 && downTotal > downDone ? (double)(downTotal - downDone) / rate : -1.0;
    char text[512];
    if (screen.mode == OUTPUT_JSON)
        snprintf(text, sizeof(text),
                 "{\"type\":\"progress\",\"status\":%d,\"progress\":%.4f,\"files_done\":%u,\"files_total\":%u,"
                 "\"bytes_done\":%llu,\"bytes_total\":%llu,\"download_done\":%llu,\"download_total\":%llu,"
                 "\"rate\":%.0f,\"seconds_left\":%.0f,\"stages\":%u,\"stages_in_sync\":%u,\"first_stage_ready\":%s,"
                 "\"paused\":%s}\n",
                 (int)status, progress, filesDone, filesTotal, (unsigned long long)bytesDone,
                 (unsigned long long)bytesTotal, (unsigned long long)downDone, (unsigned long long)downTotal, rate,
                 secondsLeft, stages, inSync, firstReady ? "true" : "false", paused ? "true" : "false");
    else
    {
        char left[32] = "--:--";
        if (secondsLeft >= 0.0 && secondsLeft < 360000.0)
            snprintf(left, sizeof(left), "%d:%02d", (int)secondsLeft / 60, (int)secondsLeft % 60);
        snprintf(text, sizeof(text),
                 "%s%5.1f%%  files %u/%u  bytes %.1f/%.1f MB  download %.1f/%.1f MB  %.0f KB/s  left %s  stages %u/%u%s%s%s",
                 screen.mode == OUTPUT_TERMINAL ? "\r" : "", 100.0 * progress, filesDone, filesTotal,
                 bytesDone / 1048576.0, bytesTotal / 1048576.0, downDone / 1048576.0, downTotal / 1048576.0,
                 paused ? 0.0 : rate / 1024.0, left, inSync, stages, firstReady ? "  first stage ready" : "",
                 paused ? "  paused" : "", screen.mode == OUTPUT_TERMINAL ? "\033[K" : "\n");
    }
    draw(text);
}

/* Signals only set these; the run loop acts on them. */
static volatile sig_atomic_t cancelSignal = 0;
static volatile sig_atomic_t pauseRequest = 0; /* 1 pause, 2 resume */

static void on_signal(int number)
{
    if (number == SIGUSR1)
        pauseRequest = 1;
    else if (number == SIGUSR2)
        pauseRequest = 2;
    else if (!cancelSignal)
        cancelSignal = number;
}

static void catch_signals(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    const int numbers[] = {SIGINT, SIGTERM, SIGUSR1, SIGUSR2};
    for (size_t i = 0; i < sizeof(numbers) / sizeof(numbers[0]); ++i)
        sigaction(numbers[i], &action, NULL);
}

/* Passes a signal's request on to the run; a cancel is asked once, once the run takes it. */
static void follow_signals(int* cancelled)
{
    if (cancelSignal && !*cancelled && kzpatch_cancel())
    {
        *cancelled = 1;
        if (screen.mode == OUTPUT_JSON)
            json_event("cancel");
    }
    const int request = pauseRequest;
    pauseRequest = 0;
    if (request == 1 && kzpatch_pause() && screen.mode == OUTPUT_JSON)
        json_event("pause");
    if (request == 2 && kzpatch_resume() && screen.mode == OUTPUT_JSON)
        json_event("resume");
}

/* Polls until the status leaves the running ones or the deadline passes; shows progress meanwhile. */
static KZPatchStatus wait_for_run(double deadline, int* timedOut, int* cancelled)
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
        follow_signals(cancelled);
        if (status == KZ_PATCH_INITIALIZED && !*cancelled && !kzpatch_start())
            break;
        const double rate = window_rate(&window, time, kzpatch_get_current_download_bytes());
        if (screen.mode == OUTPUT_TERMINAL || time >= nextLine)
        {
            show_progress(status, rate);
            drawn = 1;
            nextLine = time + 1.0;
        }
        sleep_ms(100);
        status = kzpatch_get_status();
    }
    if (screen.mode == OUTPUT_TERMINAL && drawn)
        draw("\n");
    screen.progress[0] = '\0';
    return status;
}

static void report_result(FILE* out, int json, const char* result, KZPatchStatus status, int32_t code,
                          const Options* options)
{
    const int done = status == KZ_PATCH_DONE;
    pthread_mutex_lock(&screen.mutex);
    const char* path = done ? kzpatch_get_executable_path() : "";
    const char* args =
        done ? kzpatch_get_executable_args(options->language, options->launcherHash, options->launcherServer,
                                           options->userId, options->metricsServer, options->metricsGroup)
             : "";
    if (json)
    {
        fprintf(out, "{\"type\":\"result\",\"result\":\"%s\",\"status\":%d,\"error_code\":%d,\"error\":", result,
                (int)status, (int)code);
        json_string(out, done ? "" : strcmp(result, "timed out") == 0 ? "timed out" : kzpatch_get_error_text(code));
        fprintf(out, ",\"executable\":");
        json_string(out, path);
        fprintf(out, ",\"arguments\":");
        json_string(out, args);
        fprintf(out, "}\n");
    }
    else if (done)
        fprintf(out, "executable\t%s\narguments\t%s\n", path, args);
    fflush(out);
    pthread_mutex_unlock(&screen.mutex);
}

/* Why a failed run failed, in words; a shortfall of disk space with its numbers. */
static void say_failure(KZPatchStatus status, int32_t code, const Options* options)
{
    fprintf(stderr, "kzlaunch: patch run failed in status %d, error code %d: %s\n", (int)status, (int)code,
            kzpatch_get_error_text(code));
    if (code == KZ_PATCH_ERROR_NOT_TRUSTED)
        fprintf(stderr, "kzlaunch: the server's release did not pass the check against the trusted keys of %s "
                        "(not signed by one of them, expired, older than the release installed, or a file that "
                        "differs from it)\n", options->trustedKeys ? options->trustedKeys : "--trusted-keys");
    if (code == KZ_PATCH_ERROR_DISK_SPACE)
        fprintf(stderr, "kzlaunch: the run needs %.1f MB on the disk of %s, and only %.1f MB are free\n",
                kzpatch_get_required_disk_bytes() / 1048576.0, options->projectDir,
                kzpatch_get_free_disk_bytes() / 1048576.0);
}

/* Where the output goes. In JSON mode stdout carries the JSON lines only: the library's own lines go
 * to stderr. Without a terminal they go to stdout; on a terminal above the progress line on stderr. */
static void set_up_output(const Options* options, FILE** out)
{
    *out = stdout;
    screen.mode = options->json ? OUTPUT_JSON : isatty(STDERR_FILENO) ? OUTPUT_TERMINAL : OUTPUT_LINES;
    screen.progressOut = options->json ? stdout : stderr;
    screen.logOut = options->json ? stderr : stdout;
    const char* trace = getenv("KZ_TRACE");
    screen.showTrace = trace && *trace && strcmp(trace, "0") != 0;
    kzpatch_set_log_callback(on_library_line, NULL);
}

/* A run cancelled by a signal ends as a process killed by it would, once its workers have stopped. */
static int end_cancelled(FILE* out, const Options* options, KZPatchStatus status, int32_t code)
{
    fprintf(stderr, "kzlaunch: cancelled by signal %d; the next run resumes\n", (int)cancelSignal);
    report_result(out, options->json, "cancelled", status, code, options);
    kzpatch_reset();
    return 128 + (int)cancelSignal;
}

int main(int argc, char** argv)
{
    Options options = {NULL, NULL, 3600.0, 0, 0, "en", "", NULL, 0, "", "", NULL};
    const int parsed = parse_options(argc, argv, &options);
    if (parsed != EXIT_DONE)
        return parsed;
    if (options.trustedKeys)
    {
        const int keys = set_trusted_keys(options.trustedKeys);
        if (keys != EXIT_DONE)
            return keys;
    }
    FILE* out = NULL;
    set_up_output(&options, &out);
    catch_signals();

    kzpatch_set_download_rate_limit((uint64_t)options.rateLimit);
    const double deadline = now_seconds() + options.timeoutSeconds;
    if (!kzpatch_init(options.projectDir, options.server))
    {
        fprintf(stderr, "kzlaunch: the patch library refused to start\n");
        report_result(out, options.json, "failed", kzpatch_get_status(), 0, &options);
        return EXIT_FAILED;
    }
    int timedOut = 0, cancelled = 0;
    const KZPatchStatus status = wait_for_run(deadline, &timedOut, &cancelled);
    const int32_t code = kzpatch_get_error_code();
    if (timedOut)
    {
        fprintf(stderr, "kzlaunch: timed out after %g seconds in status %d\n", options.timeoutSeconds, (int)status);
        report_result(out, options.json, "timed out", status, code, &options);
        /* A run still going cannot be torn down: the process ends at once, its workers with it. */
        fflush(NULL);
        _exit(EXIT_TIMED_OUT);
    }
    if (cancelled && status == KZ_PATCH_FAILED && code == KZ_PATCH_ERROR_CANCELLED)
        return end_cancelled(out, &options, status, code);
    if (status != KZ_PATCH_DONE)
    {
        say_failure(status, code, &options);
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
