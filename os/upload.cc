// Result upload over HTTPS, FTPS, FTP and SFTP: the flow of one upload.
// The options and files are checked before libcurl is loaded; then the file
// goes in tries, and after it its checksum file.
#include <errno.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osspecific.h"
#include "upload_internal.h"

#define UPLOAD_MAX_WAIT 30

// Everything one upload holds, so that every ending releases the same way.
struct UploadHold {
    struct CurlApi api;
    int globalInitDone;
    int fd;
    char password[UPLOAD_SECRET_SIZE];
    char knownHosts[UPLOAD_URL_SIZE];
};

static void release(struct UploadHold *hold)
{
    explicit_bzero(hold->password, sizeof hold->password);
    if (hold->globalInitDone)
        hold->api.globalCleanup();
    if (hold->fd >= 0)
        close(hold->fd);
    if (hold->api.library != NULL)
        dlclose(hold->api.library);
}

static int readable(const char *what, const char *path)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "Upload: cannot read the %s %s: %s\n", what, path, strerror(errno));
        return -1;
    }
    close(fd);
    return 0;
}

static int checkOptions(const UploadOptions *options, int scheme)
{
    if (options->retries < 0 || options->retries > UPLOAD_MAX_RETRIES) {
        fprintf(stderr, "Upload: retries must be 0 to %d\n", UPLOAD_MAX_RETRIES);
        return -1;
    }
    if (options->timeout < 0 || options->timeout > UPLOAD_MAX_TIMEOUT) {
        fprintf(stderr, "Upload: the time-out must be 0 (the default) to %d seconds\n",
                UPLOAD_MAX_TIMEOUT);
        return -1;
    }
    if (options->formField != NULL && (scheme != UPLOAD_HTTPS || options->formField[0] == '\0')) {
        fprintf(stderr, "Upload: a form field needs a name, and an https:// URL\n");
        return -1;
    }
    if ((options->sshKey != NULL || options->knownHosts != NULL) && scheme != UPLOAD_SFTP) {
        fprintf(stderr, "Upload: an SSH key and known hosts are for sftp:// URLs\n");
        return -1;
    }
    if ((options->caFile != NULL && readable("CA file", options->caFile) != 0) ||
        (options->sshKey != NULL && readable("SSH key", options->sshKey) != 0))
        return -1;
    return 0;
}

// ~/.ssh/known_hosts, unless the options name another file.
static int findKnownHosts(const UploadOptions *options, char *path, size_t size)
{
    const char *home = getenv("HOME");
    if (options->knownHosts == NULL && (home == NULL || home[0] == '\0')) {
        const struct passwd *user = getpwuid(getuid());
        home = user != NULL ? user->pw_dir : NULL;
    }
    const int n = options->knownHosts != NULL ? snprintf(path, size, "%s", options->knownHosts)
                  : home != NULL ? snprintf(path, size, "%s/.ssh/known_hosts", home)
                                 : -1;
    if (n < 0 || (size_t)n >= size) {
        fprintf(stderr, "Upload: no known-hosts file to check the server's host key with\n");
        return -1;
    }
    return readable("known-hosts file", path);
}

// A netrc file's first word (past comment lines) is "machine" or "default".
static int isNetrc(const char *text)
{
    for (;;) {
        text += strspn(text, " \t\r\n");
        if (*text != '#')
            break;
        text += strcspn(text, "\n");
    }
    const size_t word = strcspn(text, " \t\r\n");
    return (word == 7 && strncmp(text, "machine", 7) == 0) ||
           (word == 7 && strncmp(text, "default", 7) == 0);
}

// The credentials file is a netrc file, which libcurl reads; or, for a URL
// that names a user, a file whose first line is that user's password, read
// into password here.  Result: 0, or -1 after a message.
static int readCredentials(const char *file, const char *user, char *password, size_t size,
                           int *netrc)
{
    char text[UPLOAD_SECRET_SIZE + 2];
    const int fd = open(file, O_RDONLY | O_CLOEXEC);
    size_t n = 0;
    ssize_t got = fd < 0 ? -1 : 1;
    while (got != 0 && fd >= 0 && n < sizeof text - 1) {
        got = read(fd, text + n, sizeof text - 1 - n);
        if (got < 0 && errno != EINTR)
            break;
        n += got > 0 ? (size_t)got : 0;
    }
    const int error = errno;
    text[n] = '\0';
    if (fd >= 0)
        close(fd);
    if (got < 0) {
        explicit_bzero(text, sizeof text);
        fprintf(stderr, "Upload: cannot read the credentials file %s: %s\n", file, strerror(error));
        return -1;
    }
    *netrc = isNetrc(text);
    const size_t line = strcspn(text, "\r\n");
    int result = 0;
    if (*netrc) {
        // libcurl reads it.
    } else if (user[0] == '\0') {
        fprintf(stderr, "Upload: %s is no netrc file, and the URL names no user for a password\n",
                file);
        result = -1;
    } else if (line == 0 || line >= size) {
        fprintf(stderr, "Upload: the first line of %s must hold the password (1 to %zu bytes)\n",
                file, size - 1);
        result = -1;
    } else {
        memcpy(password, text, line);
        password[line] = '\0';
    }
    explicit_bzero(text, sizeof text);
    return result;
}

static int loadCurl(struct CurlApi *api, int form)
{
    const char *error;
    api->library = curlLoad(&error);
    if (api->library == NULL) {
        fprintf(stderr, "Upload: libcurl cannot be loaded (%s); uploads need libcurl "
                        "(libcurl4 on Debian and Ubuntu, libcurl on Red Hat and SUSE)\n", error);
        return -1;
    }
    static const char *const names[] = {
        "curl_global_init", "curl_global_cleanup", "curl_version_info",
        "curl_easy_init",   "curl_easy_setopt",    "curl_easy_perform",
        "curl_easy_getinfo", "curl_easy_cleanup",  "curl_easy_strerror",
        // for a form only
        "curl_mime_init", "curl_mime_addpart", "curl_mime_name", "curl_mime_filename",
        "curl_mime_data_cb", "curl_mime_free"};
    void *entry[15];
    if (curlResolve(api->library, names, entry, form ? 15 : 9, &error) != 0) {
        fprintf(stderr, "Upload: this host's libcurl is too old: %s\n", error);
        return -1;
    }
    api->globalInit = reinterpret_cast<int (*)(long)>(entry[0]);
    api->globalCleanup = reinterpret_cast<void (*)(void)>(entry[1]);
    api->versionInfo = reinterpret_cast<const struct CurlVersionInfo *(*)(int)>(entry[2]);
    api->easyInit = reinterpret_cast<void *(*)(void)>(entry[3]);
    api->easySetopt = reinterpret_cast<int (*)(void *, int, ...)>(entry[4]);
    api->easyPerform = reinterpret_cast<int (*)(void *)>(entry[5]);
    api->easyGetinfo = reinterpret_cast<int (*)(void *, int, ...)>(entry[6]);
    api->easyCleanup = reinterpret_cast<void (*)(void *)>(entry[7]);
    api->easyStrerror = reinterpret_cast<const char *(*)(int)>(entry[8]);
    if (form) {
        api->mimeInit = reinterpret_cast<void *(*)(void *)>(entry[9]);
        api->mimeAddpart = reinterpret_cast<void *(*)(void *)>(entry[10]);
        api->mimeName = reinterpret_cast<int (*)(void *, const char *)>(entry[11]);
        api->mimeFilename = reinterpret_cast<int (*)(void *, const char *)>(entry[12]);
        api->mimeDataCb = reinterpret_cast<int (*)(void *, int64_t, CurlReadFn, CurlSeekFn,
                                                   void (*)(void *), void *)>(entry[13]);
        api->mimeFree = reinterpret_cast<void (*)(void *)>(entry[14]);
    }
    return 0;
}

static int offers(const struct CurlVersionInfo *info, const char *protocol)
{
    for (const char *const *p = info != NULL ? info->protocols : NULL; p != NULL && *p != NULL; p++)
        if (strcmp(*p, protocol) == 0)
            return 1;
    return 0;
}

// SFTP needs a libcurl built with libssh2; the others TLS, ftp:// too,
// whose server may offer it.
static int checkProtocol(const struct CurlApi *api, int scheme)
{
    const struct CurlVersionInfo *info = api->versionInfo(0);
    const char *version = info != NULL && info->version != NULL ? info->version : "(unknown)";
    if (scheme == UPLOAD_SFTP && !offers(info, "sftp")) {
        fprintf(stderr, "Upload: this host's libcurl %s has no SFTP: that needs a libcurl "
                        "built with libssh2\n", version);
        return -1;
    }
    if (scheme != UPLOAD_SFTP && !offers(info, scheme == UPLOAD_HTTPS ? "https" : "ftps")) {
        fprintf(stderr, "Upload: this host's libcurl %s has no TLS\n", version);
        return -1;
    }
    return 0;
}

// Sends source in at most 1 + retries tries, waiting 1, 2, 4... seconds
// after each transient failure.  Off a terminal only the last failure is
// told.  Result: 0, or -1 after the message.
static int sendInTries(const struct CurlApi *api, const struct UploadLogin *login, int retries,
                       const char *url, const char *name, struct UploadSource *source)
{
    struct UploadFailure failure;
    unsigned wait = 1;
    for (int attempt = 1;; attempt++) {
        source->position = 0;
        const int resume = attempt > 1 && login->scheme != UPLOAD_HTTPS;
        const int outcome = uploadTry(api, login, url, name, source, resume, &failure);
        uploadProgressEnd(source, outcome == UPLOAD_DONE);
        if (outcome == UPLOAD_DONE)
            return 0;
        const int last = outcome == UPLOAD_PERMANENT || attempt > retries;
        if (last || source->terminal) {
            fprintf(stderr, "Upload: %s: ", name);
            uploadTellReason(api, login, &failure);
        }
        if (last) {
            if (attempt > 1)
                fprintf(stderr, " (after %d tries)", attempt);
            fputc('\n', stderr);
            return -1;
        }
        if (source->terminal)
            fprintf(stderr, "; trying again in %u s\n", wait);
        sleep(wait);
        wait = wait * 2 > UPLOAD_MAX_WAIT ? UPLOAD_MAX_WAIT : wait * 2;
    }
}

// The file, then its checksum file.
static int sendFileAndChecksum(const struct CurlApi *api, const struct UploadLogin *login,
                               int retries, int fd, uint64_t size,
                               const struct UploadTarget *target, int checksum)
{
    struct UploadSource file;
    uploadSourceInit(&file, fd, NULL, size, target->name);
    if (sendInTries(api, login, retries, target->url, target->name, &file) != 0)
        return -1;
    if (!checksum)
        return 0;
    unsigned char digest[crypto_hash_sha256_BYTES];
    char line[UPLOAD_CHECKSUM_LINE_SIZE];
    char name[UPLOAD_NAME_SIZE + 8];
    struct UploadText sumName = {name, sizeof name, 0, 0};
    uploadPut(&sumName, target->name, strlen(target->name));
    uploadPut(&sumName, ".sha256", 7);
    if (uploadDigest(&file, digest) != 0) {
        fprintf(stderr, "Upload: %s: reading the file: %s\n", target->name,
                file.readError > 0 ? strerror(file.readError) : "it got shorter");
        return -1;
    }
    const int length = uploadChecksumLine(line, sizeof line, digest, target->name);
    if (length < 0 || sumName.overflow) {
        fprintf(stderr, "Upload: %s: the name is too long for a checksum file\n", target->name);
        return -1;
    }
    struct UploadSource sum;
    uploadSourceInit(&sum, -1, line, (uint64_t)length, name);
    return sendInTries(api, login, retries, target->checksumUrl, name, &sum);
}

static int upload(struct UploadHold *hold, const struct UploadTarget *target, const char *path,
                  const UploadOptions *options)
{
    struct UploadLogin login = {target->scheme, options->caFile, options->formField,
                                options->requireTls,
                                options->timeout > 0 ? options->timeout : UPLOAD_DEFAULT_TIMEOUT,
                                target->user, NULL, NULL, options->sshKey, NULL};
    if (checkOptions(options, target->scheme) != 0)
        return -1;
    if (target->scheme == UPLOAD_SFTP) {
        if (findKnownHosts(options, hold->knownHosts, sizeof hold->knownHosts) != 0)
            return -1;
        login.knownHosts = hold->knownHosts;
    }
    int netrc = 0;
    if (options->credentials != NULL) {
        if (readCredentials(options->credentials, target->user, hold->password,
                            sizeof hold->password, &netrc) != 0)
            return -1;
        login.netrc = netrc ? options->credentials : NULL;
        login.password = netrc ? NULL : hold->password;
    }
    struct stat status;
    hold->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (hold->fd < 0 || fstat(hold->fd, &status) != 0) {
        fprintf(stderr, "Upload: cannot read %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        fprintf(stderr, "Upload: %s is not a regular file\n", path);
        return -1;
    }
    if (loadCurl(&hold->api, options->formField != NULL) != 0 ||
        checkProtocol(&hold->api, target->scheme) != 0)
        return -1;
    hold->api.globalInit(CURL_GLOBAL_ALL);
    hold->globalInitDone = 1;
    return sendFileAndChecksum(&hold->api, &login, options->retries, hold->fd,
                               (uint64_t)status.st_size, target, options->checksum);
}

int uploadFile(const char *url, const char *path, const UploadOptions *options)
{
    static const UploadOptions defaults = UPLOAD_OPTIONS_DEFAULT;
    const char *separator = strrchr(path, FILE_SEPARATOR);
    struct UploadTarget target;
    if (uploadTarget(url, separator != NULL ? separator + 1 : path,
                     options != NULL && options->formField != NULL, &target) != 0)
        return -1;
    struct UploadHold hold;
    memset(&hold, 0, sizeof hold);
    hold.fd = -1;
    const int result = upload(&hold, &target, path, options != NULL ? options : &defaults);
    release(&hold);
    return result;
}
