// libcurl loaded at run time, for the uploads (ftp.cc, upload*.cc): the
// library names, the loading and the look-up of entry points, and the few
// libcurl numbers they use.  These are declared here instead of taken from
// libcurl's headers, which a build host may lack; they are part of libcurl's
// stable interface.  Internal to the OS-services layer.
#ifndef OS_CURL_LIBRARY_H
#define OS_CURL_LIBRARY_H

#include <stddef.h>
#include <stdint.h>

#define CURL_ERROR_SIZE 256
#define CURL_GLOBAL_ALL 3L

// Results of curl_easy_perform.
#define CURLE_OK 0
#define CURLE_COULDNT_RESOLVE_HOST 6
#define CURLE_COULDNT_CONNECT 7
#define CURLE_HTTP2 16
#define CURLE_PARTIAL_FILE 18
#define CURLE_OPERATION_TIMEDOUT 28
#define CURLE_GOT_NOTHING 52
#define CURLE_SEND_ERROR 55
#define CURLE_RECV_ERROR 56
#define CURLE_PEER_FAILED_VERIFICATION 60
#define CURLE_SSH 79
#define CURLE_HTTP2_STREAM 92

// Options (curl_easy_setopt).  Below 10000 a long, below 20000 a pointer,
// below 30000 a function, below 40000 a curl_off_t.
#define CURLOPT_LOW_SPEED_LIMIT 19
#define CURLOPT_LOW_SPEED_TIME 20
#define CURLOPT_UPLOAD 46
#define CURLOPT_NETRC 51
#define CURLOPT_SSL_VERIFYPEER 64
#define CURLOPT_CONNECTTIMEOUT 78
#define CURLOPT_SSL_VERIFYHOST 81
#define CURLOPT_USE_SSL 119
#define CURLOPT_SSH_AUTH_TYPES 151
#define CURLOPT_URL 10002
#define CURLOPT_READDATA 10009
#define CURLOPT_ERRORBUFFER 10010
#define CURLOPT_CAINFO 10065
#define CURLOPT_NETRC_FILE 10118
#define CURLOPT_SSH_PUBLIC_KEYFILE 10152
#define CURLOPT_SSH_PRIVATE_KEYFILE 10153
#define CURLOPT_SEEKDATA 10168
#define CURLOPT_USERNAME 10173
#define CURLOPT_PASSWORD 10174
#define CURLOPT_SSH_KNOWNHOSTS 10183
#define CURLOPT_MIMEPOST 10269
#define CURLOPT_WRITEFUNCTION 20011
#define CURLOPT_READFUNCTION 20012
#define CURLOPT_SEEKFUNCTION 20167
#define CURLOPT_INFILESIZE_LARGE 30115
#define CURLOPT_RESUME_FROM_LARGE 30116

#define CURLINFO_RESPONSE_CODE 0x200002
#define CURL_NETRC_OPTIONAL 1L
#define CURLUSESSL_TRY 1L
#define CURLUSESSL_ALL 3L
#define CURLSSH_AUTH_PUBLICKEY 1L
#define CURLSSH_AUTH_PASSWORD 2L
#define CURLSSH_AUTH_KEYBOARD 8L
#define CURL_READFUNC_ABORT 0x10000000
#define CURL_SEEKFUNC_OK 0
#define CURL_SEEKFUNC_FAIL 1
#define CURL_SEEKFUNC_CANTSEEK 2

// The first fields of curl_version_info_data, which every libcurl fills
// (curl_version_info(0)).
struct CurlVersionInfo {
    int age;
    const char *version;
    unsigned int versionNum;
    const char *host;
    int features;
    const char *sslVersion;
    long sslVersionNum;
    const char *libzVersion;
    const char *const *protocols; // ends with NULL
};

typedef size_t (*CurlReadFn)(char *buffer, size_t size, size_t count, void *data);
typedef int (*CurlSeekFn)(void *data, int64_t offset, int origin);
typedef size_t (*CurlWriteFn)(char *buffer, size_t size, size_t count, void *data);

// Loads libcurl by its unversioned name, else by the run-time library's
// own.  Result: the handle, or NULL with *error set to the loader's text
// for the last name tried (never NULL).
void *curlLoad(const char **error);

// Looks up count entry points by name, in order, stopping at the first that
// is missing.  Result: 0; or -1 with *error set to the loader's text.
int curlResolve(void *library, const char *const *names, void **entries, size_t count,
                const char **error);

#endif
