/*
 * register_sample: one registration through the call handle of the register
 * library, run on a worker thread while the main thread waits and may cancel.
 *
 *   register_sample [--directory HOST:PORT[,HOST:PORT]] [--deadline MS]
 *                   [--cancel-after MS] [TEXT [SETTING [FLAG1 FLAG2 FLAG3]]]
 *
 * Without --directory the library takes REGISTER_DIRECTORY, then register.ini,
 * then its built-in servers. Exit status: 0 exactly when the code is 0, 1 for
 * any other code, 2 for a bad command line.
 *
 * Build (POSIX): cc -std=c99 -I include register_sample.c -L DIR -lregister -pthread
 * Build (Windows): link register.lib; the header declares __stdcall on 32 bits.
 */
#ifndef _WIN32
/* clock_gettime and pthread_cond_timedwait under -std=c99. */
#define _POSIX_C_SOURCE 200809L
#endif

#include <errno.h>
#include <register/register.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif

struct Registration {
    RegisterCall* call;
    const char* text;
    int32_t setting;
    int32_t flags[3];
#ifndef _WIN32
    /* Lets the main thread wait with a timeout, which pthread_join cannot. */
    pthread_mutex_t lock;
    pthread_cond_t finished;
    int done;
#endif
};

/* REGISTER_CALL makes this __stdcall on 32-bit Windows, as the library calls it. */
static int32_t REGISTER_CALL onProgress(void* context, const char* line, int32_t length)
{
    (void)context;
    /* The line is not zero-terminated, so it is written by length. */
    fputs("progress: ", stdout);
    fwrite(line, 1, (size_t)length, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return 0; /* non-zero would cancel the Run */
}

static void runRegistration(struct Registration* registration)
{
    /* The code is read from the handle afterwards, so the return value needs no
       passing back across threads. */
    (void)DLL_RegisterCallRun(registration->call, registration->text, registration->setting,
                              registration->flags[0], registration->flags[1],
                              registration->flags[2]);
}

#ifdef _WIN32
static DWORD WINAPI worker(LPVOID argument)
{
    runRegistration((struct Registration*)argument);
    return 0;
}

/* Waits for the worker, calling Cancel once cancelAfter ms have passed (-1: never). */
static int runAndWait(struct Registration* registration, int32_t cancelAfter)
{
    HANDLE thread = CreateThread(NULL, 0, worker, registration, 0, NULL);
    if (thread == NULL) {
        return -1;
    }
    if (cancelAfter >= 0 && WaitForSingleObject(thread, (DWORD)cancelAfter) == WAIT_TIMEOUT) {
        printf("cancelling after %d ms\n", (int)cancelAfter);
        DLL_RegisterCallCancel(registration->call);
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return 0;
}
#else
static void* worker(void* argument)
{
    struct Registration* registration = argument;
    runRegistration(registration);
    pthread_mutex_lock(&registration->lock);
    registration->done = 1;
    pthread_cond_signal(&registration->finished);
    pthread_mutex_unlock(&registration->lock);
    return NULL;
}

/* Waits for the worker, calling Cancel once cancelAfter ms have passed (-1: never). */
static int runAndWait(struct Registration* registration, int32_t cancelAfter)
{
    pthread_t thread;
    struct timespec until;
    int timedOut = 0;

    pthread_mutex_init(&registration->lock, NULL);
    pthread_cond_init(&registration->finished, NULL);
    registration->done = 0;
    if (pthread_create(&thread, NULL, worker, registration) != 0) {
        return -1;
    }
    if (cancelAfter >= 0) {
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += cancelAfter / 1000;
        until.tv_nsec += (cancelAfter % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
        pthread_mutex_lock(&registration->lock);
        while (!registration->done && !timedOut) {
            timedOut = pthread_cond_timedwait(&registration->finished, &registration->lock,
                                              &until) == ETIMEDOUT;
        }
        pthread_mutex_unlock(&registration->lock);
        /* Cancel is the one function safe to call while another thread runs the handle. */
        if (timedOut) {
            printf("cancelling after %d ms\n", (int)cancelAfter);
            DLL_RegisterCallCancel(registration->call);
        }
    }
    pthread_join(thread, NULL);
    pthread_cond_destroy(&registration->finished);
    pthread_mutex_destroy(&registration->lock);
    return 0;
}
#endif

/* The result string may hold zero bytes and needs no particular encoding. */
static void printQuoted(const char* label, const char* bytes, int32_t length)
{
    int32_t i;
    printf("%s: \"", label);
    for (i = 0; i < length; ++i) {
        unsigned char byte = (unsigned char)bytes[i];
        if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
            putchar(byte);
        } else {
            printf("\\x%02X", byte);
        }
    }
    printf("\"\n");
}

/* A whole decimal or 0x number that fits int32_t, or 0 when there is none. */
static int parseNumber(const char* text, int32_t* value)
{
    char* end;
    long number;
    errno = 0;
    number = strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || number < INT32_MIN || number > INT32_MAX) {
        return 0;
    }
    *value = (int32_t)number;
    return 1;
}

static int usage(void)
{
    fprintf(stderr, "usage: register_sample [--directory HOST:PORT[,HOST:PORT]] [--deadline MS]\n"
                    "                       [--cancel-after MS] [TEXT [SETTING [FLAG1 FLAG2 "
                    "FLAG3]]]\n");
    return 2;
}

int main(int argc, char** argv)
{
    struct Registration registration;
    const char* directory = NULL;
    int32_t deadline = 30000;
    int32_t cancelAfter = -1;
    int32_t numbers[4] = {3, 1, 0, 1}; /* setting, flag1, flag2, flag3 */
    int32_t code;
    int32_t reason;
    int32_t resultLength;
    char* result;
    int first = 1;
    int i;

    while (first + 1 < argc && strncmp(argv[first], "--", 2) == 0) {
        if (strcmp(argv[first], "--directory") == 0) {
            directory = argv[first + 1];
        } else if (strcmp(argv[first], "--deadline") == 0) {
            if (!parseNumber(argv[first + 1], &deadline)) {
                return usage();
            }
        } else if (strcmp(argv[first], "--cancel-after") == 0) {
            if (!parseNumber(argv[first + 1], &cancelAfter)) {
                return usage();
            }
        } else {
            return usage();
        }
        first += 2;
    }
    if (argc - first > 5 || (first < argc && strncmp(argv[first], "--", 2) == 0)) {
        return usage();
    }
    registration.text = first < argc ? argv[first] : "player@example.com";
    for (i = 0; i < 4 && first + 1 + i < argc; ++i) {
        if (!parseNumber(argv[first + 1 + i], &numbers[i])) {
            return usage();
        }
    }
    registration.setting = numbers[0];
    registration.flags[0] = numbers[1];
    registration.flags[1] = numbers[2];
    registration.flags[2] = numbers[3];

    printf("library %s\n", DLL_RegisterVersion());
    registration.call = DLL_RegisterCallCreate();
    if (registration.call == NULL) {
        fprintf(stderr, "DLL_RegisterCallCreate: out of memory\n");
        return 1;
    }
    /* Setters check at once, so a bad value is reported here rather than by Run. */
    if (directory != NULL && DLL_RegisterCallSetText(registration.call, REGISTER_OPTION_DIRECTORY,
                                                     directory) != REGISTER_SET_OK) {
        fprintf(stderr, "bad directory: %s\n", directory);
        DLL_RegisterCallDestroy(registration.call);
        return 2;
    }
    if (DLL_RegisterCallSetNumber(registration.call, REGISTER_OPTION_DEADLINE_MS, deadline) !=
        REGISTER_SET_OK) {
        fprintf(stderr, "bad deadline: %d\n", (int)deadline);
        DLL_RegisterCallDestroy(registration.call);
        return 2;
    }
    DLL_RegisterCallSetProgress(registration.call, onProgress, NULL);

    if (runAndWait(&registration, cancelAfter) != 0) {
        fprintf(stderr, "cannot start a thread\n");
        DLL_RegisterCallDestroy(registration.call);
        return 1;
    }

    code = DLL_RegisterCallGetNumber(registration.call, REGISTER_INFO_CODE);
    reason = DLL_RegisterCallGetNumber(registration.call, REGISTER_INFO_REASON);
    printf("code: %d (%s)\n", (int)code, DLL_RegisterResultText(code));
    printf("reason: %d (%s)\n", (int)reason, DLL_RegisterReasonText(reason));
    /* Ask for the length with no buffer, then copy; the extra byte takes the zero. */
    resultLength = DLL_RegisterCallGetText(registration.call, REGISTER_INFO_RESULT, NULL, 0);
    result = malloc((size_t)resultLength + 1);
    if (result != NULL) {
        DLL_RegisterCallGetText(registration.call, REGISTER_INFO_RESULT, result, resultLength + 1);
        printQuoted("result", result, resultLength);
        free(result);
    }
    DLL_RegisterCallDestroy(registration.call);
    return code == REGISTER_RESULT_SUCCESS ? 0 : 1;
}
