// One try of an upload: a transfer handle set up for the scheme, the
// transfer, and whether its failure is worth another try.
#include <stdio.h>
#include <string.h>

#include "upload_internal.h"

// A response body (an HTTP server's page) is not shown.
static size_t discardBody(char *, size_t size, size_t count, void *)
{
    return size * count;
}

// Sets the handle up; every option the library refuses ends the try.
// Result: 0, or the number of the option refused.
static int configure(const struct CurlApi *api, void *curl, void **mime,
                     const struct UploadLogin *login, const char *url, const char *partName,
                     struct UploadSource *source, int resume, char *errorBuffer)
{
#define SET(option, value)                                                                       \
    if (api->easySetopt(curl, option, value) != CURLE_OK)                                        \
        return option;
    SET(CURLOPT_ERRORBUFFER, errorBuffer);
    SET(CURLOPT_URL, url);
    SET(CURLOPT_WRITEFUNCTION, (CurlWriteFn)discardBody);
    SET(CURLOPT_CONNECTTIMEOUT, login->timeout);
    SET(CURLOPT_LOW_SPEED_LIMIT, 1L);
    SET(CURLOPT_LOW_SPEED_TIME, login->timeout);
    if (login->scheme != UPLOAD_SFTP) {
        // libcurl's defaults, set all the same: nothing turns them off.
        SET(CURLOPT_SSL_VERIFYPEER, 1L);
        SET(CURLOPT_SSL_VERIFYHOST, 2L);
        if (login->caFile != NULL)
            SET(CURLOPT_CAINFO, login->caFile);
    }
    if (login->scheme == UPLOAD_FTP)
        SET(CURLOPT_USE_SSL, login->requireTls ? CURLUSESSL_ALL : CURLUSESSL_TRY);
    if (login->scheme == UPLOAD_FTPS)
        SET(CURLOPT_USE_SSL, CURLUSESSL_ALL);
    if (login->user[0] != '\0')
        SET(CURLOPT_USERNAME, login->user);
    if (login->password != NULL)
        SET(CURLOPT_PASSWORD, login->password);
    if (login->netrc != NULL) {
        SET(CURLOPT_NETRC_FILE, login->netrc);
        SET(CURLOPT_NETRC, CURL_NETRC_OPTIONAL);
    }
    if (login->scheme == UPLOAD_SFTP) {
        SET(CURLOPT_SSH_KNOWNHOSTS, login->knownHosts);
        if (login->sshKey != NULL) {
            SET(CURLOPT_SSH_PRIVATE_KEYFILE, login->sshKey);
            SET(CURLOPT_SSH_PUBLIC_KEYFILE, ""); // derived from the private key
            SET(CURLOPT_SSH_AUTH_TYPES, CURLSSH_AUTH_PUBLICKEY);
        } else if (login->password != NULL || login->netrc != NULL) {
            SET(CURLOPT_SSH_AUTH_TYPES, CURLSSH_AUTH_PASSWORD | CURLSSH_AUTH_KEYBOARD);
        }
    }
    if (login->formField != NULL) {
        *mime = api->mimeInit(curl);
        void *part = *mime != NULL ? api->mimeAddpart(*mime) : NULL;
        if (part == NULL || api->mimeName(part, login->formField) != CURLE_OK ||
            api->mimeFilename(part, partName) != CURLE_OK ||
            api->mimeDataCb(part, (int64_t)source->size, uploadRead, uploadSeek, NULL, source) !=
                CURLE_OK)
            return CURLOPT_MIMEPOST;
        SET(CURLOPT_MIMEPOST, *mime);
    } else {
        SET(CURLOPT_UPLOAD, 1L);
        SET(CURLOPT_READFUNCTION, uploadRead);
        SET(CURLOPT_READDATA, source);
        SET(CURLOPT_SEEKFUNCTION, uploadSeek);
        SET(CURLOPT_SEEKDATA, source);
        SET(CURLOPT_INFILESIZE_LARGE, (int64_t)source->size);
        // -1: from the size of the server's copy (FTP's SIZE, SFTP's stat).
        if (resume)
            SET(CURLOPT_RESUME_FROM_LARGE, (int64_t)-1);
    }
    return 0;
#undef SET
}

// No connection, a broken one, a time-out: another try may go through.
static int transientCode(int code)
{
    switch (code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_HTTP2:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_SSH:
    case CURLE_HTTP2_STREAM:
        return 1;
    default:
        return 0;
    }
}

void uploadTellReason(const struct CurlApi *api, const struct UploadLogin *login,
                      const struct UploadFailure *failure)
{
    if (failure->refusedOption != 0)
        fprintf(stderr, "libcurl refused option %d", failure->refusedOption);
    else if (failure->readError > 0)
        fprintf(stderr, "reading the file: %s", strerror(failure->readError));
    else if (failure->readError < 0)
        fprintf(stderr, "the file got shorter while it was sent");
    else if (failure->code == CURLE_OK)
        fprintf(stderr, "the server answered HTTP %ld", failure->status);
    else if (failure->code == CURLE_PEER_FAILED_VERIFICATION && login->scheme == UPLOAD_SFTP)
        fprintf(stderr, "the server's host key is not the one in %s", login->knownHosts);
    else
        fprintf(stderr, "%s", failure->text[0] != '\0' ? failure->text
                                                       : api->easyStrerror(failure->code));
}

int uploadTry(const struct CurlApi *api, const struct UploadLogin *login, const char *url,
              const char *partName, struct UploadSource *source, int resume,
              struct UploadFailure *failure)
{
    memset(failure, 0, sizeof *failure);
    void *curl = api->easyInit();
    if (curl == NULL) {
        static const char text[] = "libcurl could not set up a transfer";
        failure->code = -1;
        memcpy(failure->text, text, sizeof text);
        return UPLOAD_PERMANENT;
    }
    // The library writes into it until the handle is released.
    char errorBuffer[CURL_ERROR_SIZE] = "";
    void *mime = NULL;
    source->readError = 0;
    int result = UPLOAD_PERMANENT;
    failure->refusedOption = configure(api, curl, &mime, login, url, partName, source, resume,
                                       errorBuffer);
    if (failure->refusedOption == 0) {
        failure->code = api->easyPerform(curl);
        failure->readError = source->readError;
        failure->status = 200;
        if (failure->code == CURLE_OK && login->scheme == UPLOAD_HTTPS &&
            api->easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &failure->status) != CURLE_OK)
            failure->status = 0;
        if (failure->readError != 0)
            result = UPLOAD_PERMANENT;
        else if (failure->code != CURLE_OK)
            result = transientCode(failure->code) ? UPLOAD_TRANSIENT : UPLOAD_PERMANENT;
        else if (failure->status == 429 || failure->status >= 500)
            result = UPLOAD_TRANSIENT;
        else if (failure->status >= 200 && failure->status <= 299)
            result = UPLOAD_DONE;
    }
    memcpy(failure->text, errorBuffer, sizeof failure->text);
    failure->text[sizeof failure->text - 1] = '\0';
    api->easyCleanup(curl);
    if (mime != NULL)
        api->mimeFree(mime);
    return result;
}
