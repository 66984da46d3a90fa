// Result upload to the support service over FTP, through the libcurl that
// curl_library.cc loads at run time.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "curl_library.h"
#include "osspecific.h"

#ifndef TRELL_FTP_HOST
#error "TRELL_FTP_HOST (the support service's FTP host name) is set by the build"
#endif

#define FTP_UPLOAD_PATH_FORMAT "ostrel/tozorvan/quillon/fdr_upload/%s"
#define FTP_BUFFER_SIZE 1024

typedef int (*CurlGlobalInitFn)(long flags);
typedef void *(*CurlEasyInitFn)(void);
typedef int (*CurlEasySetoptFn)(void *handle, int option, ...);
typedef int (*CurlEasyPerformFn)(void *handle);
typedef void (*CurlEasyCleanupFn)(void *handle);
typedef void (*CurlGlobalCleanupFn)(void);

// Everything one upload holds, so that every ending releases the same way.
struct FtpHold {
    void *library;
    int fd;
    FILE *stream;
    int globalInitDone;
    void *curl;
    CurlGlobalInitFn globalInit;
    CurlEasyInitFn easyInit;
    CurlEasySetoptFn easySetopt;
    CurlEasyPerformFn easyPerform;
    CurlEasyCleanupFn easyCleanup;
    CurlGlobalCleanupFn globalCleanup;
    // The library writes a failed transfer's text here; it must stay valid
    // until the transfer handle is released.
    char errorBuffer[CURL_ERROR_SIZE];
};

// Releases whatever the call holds: the transfer, the library's global state,
// the file, and last the library whose code the others run.
static void ftpRelease(struct FtpHold *hold)
{
    if (hold->curl != NULL)
        hold->easyCleanup(hold->curl);
    if (hold->globalInitDone)
        hold->globalCleanup();
    if (hold->stream != NULL)
        fclose(hold->stream); // also closes fd
    else if (hold->fd >= 0)
        close(hold->fd);
    if (hold->library != NULL)
        dlclose(hold->library);
}

static int ftpResolveAll(struct FtpHold *hold)
{
    void *entry[6];
    static const char *const names[6] = {"curl_global_init",  "curl_easy_init",
                                         "curl_easy_setopt",  "curl_easy_perform",
                                         "curl_easy_cleanup", "curl_global_cleanup"};
    const char *error;
    if (curlResolve(hold->library, names, entry, 6, &error) != 0) {
        fprintf(stderr, "FTP: Error loading curl library: %s\n", error);
        return -1;
    }
    hold->globalInit = reinterpret_cast<CurlGlobalInitFn>(entry[0]);
    hold->easyInit = reinterpret_cast<CurlEasyInitFn>(entry[1]);
    hold->easySetopt = reinterpret_cast<CurlEasySetoptFn>(entry[2]);
    hold->easyPerform = reinterpret_cast<CurlEasyPerformFn>(entry[3]);
    hold->easyCleanup = reinterpret_cast<CurlEasyCleanupFn>(entry[4]);
    hold->globalCleanup = reinterpret_cast<CurlGlobalCleanupFn>(entry[5]);
    return 0;
}

// Sets the transfer's options; no others, so the library reads the stream
// with its own reader and logs in anonymously.
static int ftpConfigure(struct FtpHold *hold, const char *url)
{
    if (hold->easySetopt(hold->curl, CURLOPT_ERRORBUFFER, hold->errorBuffer) != CURLE_OK) {
        fprintf(stderr, "FTP: %s\n", "Error configuring curl error buffer");
        return -1;
    }
    if (hold->easySetopt(hold->curl, CURLOPT_UPLOAD, 1L) != CURLE_OK) {
        fprintf(stderr, "FTP: %s\n", "Error setting curl upload");
        return -1;
    }
    if (hold->easySetopt(hold->curl, CURLOPT_URL, url) != CURLE_OK) {
        fprintf(stderr, "FTP: %s\n", "Error setting curl target");
        return -1;
    }
    if (hold->easySetopt(hold->curl, CURLOPT_READDATA, hold->stream) != CURLE_OK) {
        fprintf(stderr, "FTP: %s\n", "Error setting curl upload file");
        return -1;
    }
    return 0;
}

// Steps from the entry points to the end of the transfer; whatever it acquired
// is left in hold for the caller to release.  Result: 0 or -1 (after a message).
static int ftpTransfer(struct FtpHold *hold, const char *path, const char *url)
{
    if (ftpResolveAll(hold) != 0)
        return -1;

    // A failed open shows as a failed fstat on the descriptor -1.
    struct stat status;
    hold->fd = open(path, O_RDONLY);
    if (fstat(hold->fd, &status) != 0) {
        fprintf(stderr, "FTP: Error getting file size\n");
        return -1;
    }
    hold->stream = fdopen(hold->fd, "rb");
    if (hold->stream == NULL) {
        fprintf(stderr, "FTP: Error creating file stream\n");
        return -1;
    }

    hold->globalInit(CURL_GLOBAL_ALL); // its result tells nothing that matters here
    hold->globalInitDone = 1;
    hold->curl = hold->easyInit();
    if (hold->curl == NULL) {
        fprintf(stderr, "FTP: Error initalizing curl\n");
        return -1;
    }
    if (ftpConfigure(hold, url) != 0)
        return -1;

    switch (hold->easyPerform(hold->curl)) {
    case CURLE_OK:
        return 0;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        fprintf(stderr, "FTP: Error connecting to ZORVAN Service");
        return -1;
    default:
        // Empty when the library failed without writing a text.
        hold->errorBuffer[sizeof hold->errorBuffer - 1] = '\0';
        fprintf(stderr, "FTP: Error performing upload command: %s", hold->errorBuffer);
        return -1;
    }
}

int ftpFile(const char *path)
{
    // The file's own name is the target; a bare name is taken whole.
    const char *separator = strrchr(path, FILE_SEPARATOR);
    const char *target = separator != NULL ? separator + 1 : path;

    char uploadPath[FTP_BUFFER_SIZE];
    char url[FTP_BUFFER_SIZE];
    int n = snprintf(uploadPath, sizeof uploadPath, FTP_UPLOAD_PATH_FORMAT, target);
    int m = -1;
    if (n >= 0 && (size_t)n < sizeof uploadPath)
        m = snprintf(url, sizeof url, "ftp://%s/%s", TRELL_FTP_HOST, uploadPath);
    if (m < 0 || (size_t)m >= sizeof url) {
        fprintf(stderr, "FTP: File name too long for the upload URL\n");
        return -1;
    }

    struct FtpHold hold;
    memset(&hold, 0, sizeof hold);
    hold.fd = -1;

    const char *loadError;
    hold.library = curlLoad(&loadError);
    if (hold.library == NULL) {
        fprintf(stderr, "FTP: Error opening curl library: %s", loadError);
        return -1;
    }

    int result = ftpTransfer(&hold, path, url);
    ftpRelease(&hold);
    return result;
}
