// Where an upload goes: the scheme, the URL with the file's name (as curl -T
// completes a URL that ends in "/"), the name for the checksum file, and the
// user, which libcurl gets apart from the URL.
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "upload_internal.h"

static const struct {
    const char *name;
    int scheme;
} uploadSchemes[] = {
    {"https", UPLOAD_HTTPS}, {"ftps", UPLOAD_FTPS}, {"ftp", UPLOAD_FTP}, {"sftp", UPLOAD_SFTP}};

void uploadPut(struct UploadText *text, const char *piece, size_t n)
{
    if (text->overflow || n >= text->size - text->length) {
        text->overflow = 1;
        return;
    }
    memcpy(text->text + text->length, piece, n);
    text->length += n;
    text->text[text->length] = '\0';
}

// Percent-encodes all but RFC 3986's unreserved characters.
static void putEscaped(struct UploadText *c, const char *name)
{
    static const char hex[] = "0123456789ABCDEF";
    for (const unsigned char *p = (const unsigned char *)name; *p != '\0'; p++) {
        if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z') || (*p >= '0' && *p <= '9') ||
            strchr("-._~", *p) != NULL) {
            uploadPut(c, (const char *)p, 1);
        } else {
            const char code[3] = {'%', hex[*p >> 4], hex[*p & 15]};
            uploadPut(c, code, 3);
        }
    }
}

static int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes %XX; a "%" without two hex digits stays as it is.  Result: 0; -1
// when the text does not fit or would hold a NUL.
static int decode(const char *text, size_t n, char *out, size_t size)
{
    struct UploadText c = {out, size, 0, 0};
    out[0] = '\0';
    for (size_t i = 0; i < n; i++) {
        char byte = text[i];
        if (byte == '%' && i + 2 < n && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            byte = (char)(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
            if (byte == '\0')
                return -1;
        }
        uploadPut(&c, &byte, 1);
    }
    return c.overflow ? -1 : 0;
}

static int schemeOf(const char *url, size_t n)
{
    for (size_t i = 0; i < sizeof uploadSchemes / sizeof uploadSchemes[0]; i++)
        if (strlen(uploadSchemes[i].name) == n && strncasecmp(url, uploadSchemes[i].name, n) == 0)
            return uploadSchemes[i].scheme;
    return -1;
}

int uploadTarget(const char *url, const char *fileName, int form, struct UploadTarget *target)
{
    const char *separator = strstr(url, "://");
    target->scheme = separator != NULL ? schemeOf(url, (size_t)(separator - url)) : -1;
    if (target->scheme < 0) {
        fprintf(stderr, "Upload: the URL must begin with https://, ftps://, ftp:// or sftp://\n");
        return -1;
    }
    // scheme://[user@]host[:port]/path[?query][#fragment]
    const char *authority = separator + 3;
    const size_t authorityLength = strcspn(authority, "/?#");
    const char *host = authority;
    target->user[0] = '\0';
    for (const char *p = authority + authorityLength; p > authority; p--) {
        if (p[-1] != '@')
            continue;
        host = p;
        const size_t userLength = (size_t)(p - 1 - authority);
        if (memchr(authority, ':', userLength) != NULL) {
            fprintf(stderr, "Upload: the URL holds a password; give it in a credentials file\n");
            return -1;
        }
        if (decode(authority, userLength, target->user, sizeof target->user) != 0) {
            fprintf(stderr, "Upload: the URL's user name is too long or not valid\n");
            return -1;
        }
        break;
    }
    const char *path = authority + authorityLength;
    if (host == path || *host == ':') {
        fprintf(stderr, "Upload: the URL names no host\n");
        return -1;
    }
    const size_t pathLength = strcspn(path, "?#");
    const char *rest = path + pathLength; // query and fragment, as they are
    const int named = !form && pathLength > 0 && path[pathLength - 1] != '/';

    struct UploadText file = {target->url, sizeof target->url, 0, 0};
    uploadPut(&file, url, (size_t)(authority - url));
    uploadPut(&file, host, (size_t)(path - host) + pathLength);
    if (!named && !form) {
        if (pathLength == 0)
            uploadPut(&file, "/", 1);
        putEscaped(&file, fileName);
    }
    // NAME.sha256 lies beside the file; a form sends both to one URL.
    struct UploadText sum = {target->checksumUrl, sizeof target->checksumUrl, 0, 0};
    uploadPut(&sum, target->url, file.length);
    if (!form)
        uploadPut(&sum, ".sha256", 7);
    uploadPut(&file, rest, strlen(rest));
    uploadPut(&sum, rest, strlen(rest));

    int nameFault;
    if (named) {
        const char *last = (const char *)memrchr(path, '/', pathLength);
        const char *begin = last != NULL ? last + 1 : path;
        nameFault = decode(begin, (size_t)(path + pathLength - begin), target->name,
                           sizeof target->name);
    } else {
        const int n = snprintf(target->name, sizeof target->name, "%s", fileName);
        nameFault = n < 0 || (size_t)n >= sizeof target->name;
    }
    if (file.overflow || sum.overflow) {
        fprintf(stderr, "Upload: the URL with the file's name is longer than %d bytes\n",
                UPLOAD_URL_SIZE - 1);
        return -1;
    }
    if (nameFault) {
        fprintf(stderr, "Upload: the file's name there is not valid or longer than %d bytes\n",
                UPLOAD_NAME_SIZE - 1);
        return -1;
    }
    return 0;
}
