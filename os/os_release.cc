// Host identification on systems that keep no old-style release file: the
// distribution and release from os-release ("KEY=value" lines in shell
// syntax), read in bounded pieces, one line at a time.
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/pkglayout.h"
#include "osspecific.h"
#include "platform_parse.h"

// A file of any size is read this far and no further (real ones hold a
// few hundred bytes; a hostile one may hold a long line before its fields).
enum { OS_RELEASE_READ_LIMIT = 1024 * 1024 };

// Takes the value of one line (after "KEY=") as the shell would: unquoted
// text up to a blank, text in single quotes, text in double quotes where a
// backslash keeps the next " \ $ or backquote. Decoded in place: the output
// never runs ahead of the input.
// Result: 0, or -1 for a quote left open.
static int unquoteValue(char *v)
{
    char *out = v;
    char quote = 0;
    for (char *in = v; *in != '\0'; in++) {
        char c = *in;
        if (quote == '\'') {
            if (c == '\'')
                quote = 0;
            else
                *out++ = c;
        } else if (quote == '"') {
            if (c == '"')
                quote = 0;
            else if (c == '\\' && in[1] != '\0' && strchr("\"\\$`", in[1]) != NULL)
                *out++ = *++in;
            else
                *out++ = c;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if ((unsigned char)c <= ' ') {
            break; // an unquoted blank ends the word; a comment may follow
        } else {
            if (c == '\\' && in[1] != '\0')
                c = *++in;
            *out++ = c;
        }
    }
    *out = '\0';
    return quote != 0 ? -1 : 0;
}

// Keeps the value of an ID, ID_LIKE or VERSION_ID line; other lines,
// comments, blank lines and malformed lines are passed over.
static void takeLine(PfmOsRelease *s, char *line)
{
    while (*line == ' ' || *line == '\t')
        line++;
    char *eq = strchr(line, '=');
    if (*line == '#' || eq == NULL)
        return;
    *eq = '\0';
    char *field;
    size_t size;
    if (strcmp(line, "ID") == 0) {
        field = s->id;
        size = sizeof s->id;
    } else if (strcmp(line, "ID_LIKE") == 0) {
        field = s->idLike;
        size = sizeof s->idLike;
    } else if (strcmp(line, "VERSION_ID") == 0) {
        field = s->versionId;
        size = sizeof s->versionId;
    } else {
        return;
    }
    char *value = eq + 1;
    // A value that does not fit its field is not taken: a cut name could
    // name another system.
    if (unquoteValue(value) == 0 && strlen(value) < size)
        strcpy(field, value);
}

void pfmOsReleaseFeed(PfmOsRelease *s, const char *bytes, int n)
{
    for (int i = 0; i < n; i++) {
        char c = bytes[i];
        if (c == '\n' || c == '\0') {
            // A NUL ends a line too (and drops the rest of it), so that no
            // line hides text from the string functions.
            if (!s->skipping) {
                s->line[s->length] = '\0';
                takeLine(s, s->line);
            }
            s->length = 0;
            s->skipping = c == '\0';
        } else if (s->skipping) {
            continue;
        } else if (s->length == (int)sizeof s->line - 1) {
            s->skipping = 1; // a line longer than the buffer is dropped whole
            s->length = 0;
        } else {
            s->line[s->length++] = c;
        }
    }
}

// The distribution code a system name stands for, PKG_DIST_UNKNOWN for none.  Ubuntu's
// derivatives name "ubuntu debian" in ID_LIKE, Ubuntu itself "debian": the
// first known word decides.
static int32_t distributionOf(const char *name, size_t len)
{
    if ((len >= 9 && strncmp(name, "opensuse-", 9) == 0) ||
        pfmInList("sles\0sled\0suse\0opensuse\0", name, len))
        return PKG_DIST_SUSE;
    if (pfmInList("rhel\0centos\0fedora\0rocky\0almalinux\0ol\0", name, len))
        return PKG_DIST_REDHAT;
    if (pfmInList("debian\0", name, len))
        return PKG_DIST_DEBIAN;
    if (pfmInList("ubuntu\0", name, len))
        return PKG_DIST_UBUNTU;
    return PKG_DIST_UNKNOWN;
}

const char *pfmOsReleaseResult(PfmInfo *info, const PfmOsRelease *s)
{
    int32_t code = distributionOf(s->id, strlen(s->id));
    for (const char *w = s->idLike; code == PKG_DIST_UNKNOWN && *w != '\0';) {
        size_t len = strcspn(w, " \t");
        code = distributionOf(w, len);
        w += len;
        w += strspn(w, " \t");
    }
    if (code == PKG_DIST_UNKNOWN)
        return "Unknown distribution.";
    info->distribution = code;
    if (s->versionId[0] == '\0')
        return "Failed locating release token.";
    info->release = pfmReleaseNumber(s->versionId);
    return NULL;
}

const char *pfmReadOsRelease(PfmInfo *info, const char *path, char *buf, int size)
{
    // Not blocking on a FIFO; only a regular file is read.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "Failed opening release file.";
    struct stat st;
    static PfmOsRelease s;
    memset(&s, 0, sizeof s);
    int n = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        n = -1;
    int total = 0;
    while (n >= 0 && total < OS_RELEASE_READ_LIMIT) {
        int room = OS_RELEASE_READ_LIMIT - total;
        n = (int)read(fd, buf, (size_t)(size < room ? size : room));
        if (n <= 0)
            break;
        pfmOsReleaseFeed(&s, buf, n);
        total += n;
    }
    close(fd);
    if (n < 0)
        return "Failed reading release file.";
    // The last line may lack its line end; one cut at the limit is dropped.
    s.skipping |= total == OS_RELEASE_READ_LIMIT;
    pfmOsReleaseFeed(&s, "\n", 1);
    return pfmOsReleaseResult(info, &s);
}
