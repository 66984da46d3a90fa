// uploadFile in parts: upload.cc the flow (options, credentials, libcurl,
// the tries), upload_url.cc where the file goes and under which name,
// upload_source.cc the file as libcurl reads it (its checksum, the
// progress), upload_transfer.cc one try.  Internal to the OS-services layer.
#ifndef OS_UPLOAD_INTERNAL_H
#define OS_UPLOAD_INTERNAL_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "curl_library.h"
#include "sodium_sha256.h"

#define UPLOAD_URL_SIZE 4096
#define UPLOAD_NAME_SIZE 1024
#define UPLOAD_USER_SIZE 256
#define UPLOAD_SECRET_SIZE 1024   // a password of at most 1023 bytes
#define UPLOAD_CHECKSUM_LINE_SIZE (2 * crypto_hash_sha256_BYTES + 2 * UPLOAD_NAME_SIZE + 8)

// A text composed piece by piece in a fixed buffer, always NUL-terminated;
// an overflow sticks, to be told at the end: nothing is cut silently.
struct UploadText {
    char *text;
    size_t size;
    size_t length;
    int overflow;
};
void uploadPut(struct UploadText *text, const char *piece, size_t n);

enum { UPLOAD_HTTPS, UPLOAD_FTPS, UPLOAD_FTP, UPLOAD_SFTP };

// Where a file goes.  The URLs never carry the user: libcurl gets it apart.
struct UploadTarget {
    int scheme;
    char url[UPLOAD_URL_SIZE];         // the file's
    char checksumUrl[UPLOAD_URL_SIZE]; // NAME.sha256's (for a form, the same)
    char name[UPLOAD_NAME_SIZE];       // the name the file gets there, decoded
    char user[UPLOAD_USER_SIZE];       // the URL's user, decoded; "" for none
};

// Fills target from url and the name of the file to send.  A URL whose path
// is empty or ends in "/" gets the name, percent-encoded, unless the file
// goes as a form (form non-zero), whose URL is taken as it is.
// Result: 0; or -1 after a message on standard error.
int uploadTarget(const char *url, const char *fileName, int form, struct UploadTarget *target);

// What libcurl reads: a file (fd) or a text in memory (fd -1).  Every byte
// of a file passes the SHA-256 once, in order, however often tries reread
// it, so the digest is the file's without a second pass.
struct UploadSource {
    int fd;
    const char *text;
    uint64_t size;
    uint64_t position; // of the next byte libcurl reads
    uint64_t hashed;   // bytes 0..hashed-1 have passed the hash
    int readError;     // errno of a failed read; -1: the file got shorter
    crypto_hash_sha256_state sha;
    // Progress, on a terminal only.
    const char *name;
    int terminal;      // standard error is one: failed tries are told too
    int progress;      // show it (for a file)
    int lineOpen;      // a progress line waits for its end
    uint64_t sent;     // bytes handed to libcurl by all tries
    struct timespec start, shown;
};

// Prepares source for a file of size bytes (text NULL) or for text.
void uploadSourceInit(struct UploadSource *source, int fd, const char *text, uint64_t size,
                      const char *name);
// libcurl's read and seek callbacks on an UploadSource.
size_t uploadRead(char *buffer, size_t size, size_t count, void *source);
int uploadSeek(void *source, int64_t offset, int origin);
// Ends the hash, reading what no try read (a server that already held the
// rest).  Result: 0, or -1 when the file cannot be read (readError says why).
int uploadDigest(struct UploadSource *source, unsigned char *digest);
// Ends a progress line that is shown, with 100% when done.
void uploadProgressEnd(struct UploadSource *source, int done);
// The checksum file's line, as sha256sum writes it.  Result: its length,
// or -1 when it does not fit.
int uploadChecksumLine(char *line, size_t size, const unsigned char *digest, const char *name);

// libcurl's entry points.  The form's are looked up only for a form.
struct CurlApi {
    void *library;
    int (*globalInit)(long flags);
    void (*globalCleanup)(void);
    const struct CurlVersionInfo *(*versionInfo)(int age);
    void *(*easyInit)(void);
    int (*easySetopt)(void *curl, int option, ...);
    int (*easyPerform)(void *curl);
    int (*easyGetinfo)(void *curl, int info, ...);
    void (*easyCleanup)(void *curl);
    const char *(*easyStrerror)(int code);
    void *(*mimeInit)(void *curl);
    void *(*mimeAddpart)(void *mime);
    int (*mimeName)(void *part, const char *name);
    int (*mimeFilename)(void *part, const char *name);
    int (*mimeDataCb)(void *part, int64_t size, CurlReadFn read, CurlSeekFn seek,
                      void (*release)(void *), void *data);
    void (*mimeFree)(void *mime);
};

// What every try of one upload logs in and checks with.
struct UploadLogin {
    int scheme;
    const char *caFile;     // NULL: the system's store
    const char *formField;  // NULL: no form
    int requireTls;
    long timeout;
    const char *user;       // "" for none
    const char *password;   // NULL: none given apart
    const char *netrc;      // NULL: none
    const char *sshKey;     // NULL: none
    const char *knownHosts; // sftp
};

enum { UPLOAD_DONE, UPLOAD_TRANSIENT, UPLOAD_PERMANENT };

// Why a try failed.
struct UploadFailure {
    int code;            // curl_easy_perform's result; CURLE_OK for an HTTP status
    long status;         // the HTTP status
    int readError;       // the file's (see UploadSource)
    int refusedOption;   // an option the library refused, else 0
    char text[CURL_ERROR_SIZE]; // the library's text
};

// One try: sends source to url (as the form part partName when the login
// names a form field), resuming from what the server holds when resume is
// set.  Result: UPLOAD_DONE, else UPLOAD_TRANSIENT or UPLOAD_PERMANENT with
// failure filled.
int uploadTry(const struct CurlApi *api, const struct UploadLogin *login, const char *url,
              const char *partName, struct UploadSource *source, int resume,
              struct UploadFailure *failure);
// Writes why on standard error (never a credential), without a line end.
void uploadTellReason(const struct CurlApi *api, const struct UploadLogin *login,
                      const struct UploadFailure *failure);

#endif
