/* A stand-in for libcurl's easy interface, for the upload tests that need the
 * library to misbehave.  It records every call, one line each, in the file
 * named by FAKECURL_LOG, and is steered by the environment:
 *   FAKECURL_EASY_INIT_NULL   curl_easy_init gives NULL
 *   FAKECURL_REFUSE_OPTION    curl_easy_setopt refuses this option number
 *   FAKECURL_PERFORM_CODE     curl_easy_perform's result (default 0)
 *   FAKECURL_ERROR_TEXT       written into the error buffer when that is not 0
 *   FAKECURL_PROTOCOLS        the protocols curl_version_info names, blank-
 *                             separated (default: ftp ftps http https sftp)
 * Built with FAKECURL_WITHOUT_GLOBAL_CLEANUP it lacks curl_global_cleanup. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "os/curl_library.h"

#define FAKE_ERROR_SIZE 256

typedef size_t (*ReadFn)(char *buffer, size_t size, size_t count, void *data);

static struct {
    int handle;
    char *errorBuffer;
    FILE *stream;
    void *readData;
    ReadFn read;
} fake;

static void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
static void record(const char *format, ...)
{
    const char *path = getenv("FAKECURL_LOG");
    if (path == NULL)
        return;
    FILE *log = fopen(path, "a");
    if (log == NULL)
        return;
    va_list ap;
    va_start(ap, format);
    vfprintf(log, format, ap);
    va_end(ap);
    fputc('\n', log);
    fclose(log);
}

static int envNumber(const char *name, int fallback)
{
    const char *value = getenv(name);
    return value != NULL ? atoi(value) : fallback;
}

static void checkHandle(const char *function, void *handle)
{
    if (handle != &fake.handle)
        record("%s: not the handle from curl_easy_init", function);
}

__attribute__((destructor)) static void unloaded(void)
{
    record("unloaded");
}

int curl_global_init(long flags)
{
    record("curl_global_init %ld", flags);
    return 0;
}

void *curl_easy_init(void)
{
    record("curl_easy_init");
    if (getenv("FAKECURL_EASY_INIT_NULL") != NULL)
        return NULL;
    return &fake.handle;
}

int curl_easy_setopt(void *handle, int option, ...)
{
    checkHandle("curl_easy_setopt", handle);
    va_list ap;
    va_start(ap, option);
    /* libcurl's option numbers tell the argument's type by their range. */
    if (option < 10000) {
        record("curl_easy_setopt %d %ld", option, va_arg(ap, long));
    } else if (option < 20000) {
        void *value = va_arg(ap, void *);
        if (option == 10010) {
            fake.errorBuffer = (char *)value;
            record("curl_easy_setopt %d", option);
        } else if (option == 10009) {
            fake.stream = (FILE *)value;
            fake.readData = value;
            record("curl_easy_setopt %d", option);
        } else if (option == 10002) {
            record("curl_easy_setopt %d %s", option, (const char *)value);
        } else {
            record("curl_easy_setopt %d", option);
        }
    } else if (option < 30000) {
        void (*function)(void) = va_arg(ap, void (*)(void));
        if (option == 20012)
            fake.read = (ReadFn)function;
        record("curl_easy_setopt %d", option);
    } else {
        record("curl_easy_setopt %d %lld", option, (long long)va_arg(ap, long long));
    }
    va_end(ap);
    return option == envNumber("FAKECURL_REFUSE_OPTION", -1) ? 48 : 0;
}

int curl_easy_perform(void *handle)
{
    checkHandle("curl_easy_perform", handle);
    /* Reads the upload data through the read callback when one was set,
     * else the way libcurl's default reader does. */
    size_t total = 0;
    if (fake.read != NULL) {
        char piece[4096];
        size_t n;
        while ((n = fake.read(piece, 1, sizeof piece, fake.readData)) > 0 && n <= sizeof piece)
            total += n;
    } else if (fake.stream != NULL) {
        char piece[4096];
        size_t n;
        while ((n = fread(piece, 1, sizeof piece, fake.stream)) > 0)
            total += n;
    }
    int code = envNumber("FAKECURL_PERFORM_CODE", 0);
    record("curl_easy_perform read %zu", total);
    const char *text = getenv("FAKECURL_ERROR_TEXT");
    if (code != 0 && text != NULL && fake.errorBuffer != NULL)
        snprintf(fake.errorBuffer, FAKE_ERROR_SIZE, "%s", text);
    return code;
}

void curl_easy_cleanup(void *handle)
{
    checkHandle("curl_easy_cleanup", handle);
    record("curl_easy_cleanup");
    fake.read = NULL;
}

int curl_easy_getinfo(void *handle, int info, ...)
{
    checkHandle("curl_easy_getinfo", handle);
    record("curl_easy_getinfo %d", info);
    return 0;
}

const char *curl_easy_strerror(int code)
{
    return code == 0 ? "No error" : "fake failure";
}

static struct CurlVersionInfo versionInfo;

void *curl_version_info(int age)
{
    static char names[256];
    static const char *protocols[16];
    const char *chosen = getenv("FAKECURL_PROTOCOLS");
    snprintf(names, sizeof names, "%s", chosen != NULL ? chosen : "ftp ftps http https sftp");
    size_t count = 0;
    for (char *word = strtok(names, " "); word != NULL && count < 15; word = strtok(NULL, " "))
        protocols[count++] = word;
    protocols[count] = NULL;
    record("curl_version_info %d", age);
    versionInfo.version = "7.0.0-fake";
    versionInfo.protocols = protocols;
    return &versionInfo;
}

#ifndef FAKECURL_WITHOUT_GLOBAL_CLEANUP
void curl_global_cleanup(void)
{
    record("curl_global_cleanup");
}
#endif
