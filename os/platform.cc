// Host identification: processor architecture from "uname -i" (or from the
// kernel's machine name where that says "unknown"), distribution and major
// release from the distribution's release file, or from os-release.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "../common/pkglayout.h"
#include "../common/shell_quote.h"
#include "osspecific.h"
#include "platform_parse.h"
#include "shell.h"

enum { PFM_MESSAGE_SIZE = 128 };

static const char unknownArchFormat[] = "Unknown processor architecture (%.*s)";


// The last unknown-architecture message, released by the next call.
static char *heapMessage;
// Where the temporary file goes when /tmp takes none; empty: nowhere else.
static char scratchFolder[OS_SHELL_CMD_SIZE];
static const char tempName[] = "trell_unameXXXXXX";

void setScratchFolder(const char *folder)
{
    size_t len = strlen(folder);
    if (len + sizeof tempName + 1 > sizeof scratchFolder)
        len = 0; // too long to hold the name: /tmp only
    memcpy(scratchFolder, folder, len);
    scratchFolder[len] = '\0';
}

// Runs the command with its output in a file of our own under /tmp, or in
// the scratch folder where /tmp takes no file (a fixed name could be a
// planted link, or shared by two runs), and reads it.
// Result: NULL with the output in buf (n bytes), or the failure's message.
static const char *readCommandOutput(const char *command, char *buf, int *n)
{
    char tmpName[OS_SHELL_CMD_SIZE];
    snprintf(tmpName, sizeof tmpName, "/tmp/%s", tempName);
    int tmpFd = mkstemp(tmpName);
    if (tmpFd < 0 && scratchFolder[0] != '\0') {
        // setScratchFolder keeps only folders with room for the name.
        int len = snprintf(tmpName, sizeof tmpName, "%s/%s", scratchFolder, tempName);
        if (len > 0 && (size_t)len < sizeof tmpName)
            tmpFd = mkstemp(tmpName);
    }
    if (tmpFd < 0)
        return "Failed executing uname.";
    close(tmpFd);
    // The file's path reaches the shell as one quoted word: a folder's name
    // with a blank or a ';' is never code.
    char quoted[2 * OS_SHELL_CMD_SIZE + 3];
    char line[OS_SHELL_CMD_SIZE];
    if (shellQuote(quoted, sizeof quoted, tmpName) != 0 ||
        osRunFormatted(line, sizeof line, "%s>%s 2>%s", command, quoted, DEV_NULL) != 0) {
        remove(tmpName);
        return "Failed executing uname.";
    }
    // Descriptor 0 is a good one when standard input was closed.
    int fd = fd_open(tmpName);
    if (fd < 0) {
        remove(tmpName);
        return "Failed opening uname output.";
    }
    *n = fd_read(fd, buf, PFM_BUFFER_SIZE);
    fd_close(fd);
    remove(tmpName);
    return *n > 0 ? NULL : "Failed reading uname output.";
}

// Formats the unknown-architecture message for the name (len bytes of it).
static const char *unknownArchitecture(const char *name, int len)
{
    // A long name is cut to what the message buffer holds.
    char message[PFM_MESSAGE_SIZE];
    int room = (int)(sizeof message - (sizeof unknownArchFormat - 4)); // 94
    snprintf(message, sizeof message, unknownArchFormat, len < room ? len : room, name);
    // The previous message goes now: the parsing may run without
    // getPfmInfoFrom, which otherwise releases it.
    free(heapMessage);
    heapMessage = strdup(message);
    return heapMessage != NULL ? heapMessage : "Unknown processor architecture";
}

int pfmInList(const char *list, const char *name, size_t len)
{
    for (; *list != '\0'; list += strlen(list) + 1)
        if (strlen(list) == len && memcmp(list, name, len) == 0)
            return 1;
    return 0;
}

// The code, first or above, of the architecture whose machine names (the
// table's uname column) hold the name (len bytes); 0 for none.
static int32_t machineCode(const char *name, size_t len, int32_t first)
{
    for (int i = 0; i < TRELL_ARCH_COUNT; i++)
        if (trellArchitectures[i].code >= first &&
            pfmInList(trellArchitectures[i].unameNames, name, len))
            return trellArchitectures[i].code;
    return PKG_ARCH_UNKNOWN;
}

const char *pfmClassifyMachine(PfmInfo *info, const char *machine)
{
    size_t len = strlen(machine);
    info->architecture = machineCode(machine, len, PKG_ARCH_UNKNOWN + 1);
    return info->architecture != PKG_ARCH_UNKNOWN ? NULL : unknownArchitecture(machine, (int)len);
}

const char *pfmClassifyArchitecture(PfmInfo *info, char *buf, int n)
{
    // The token ends before the first byte that, as a signed char, is at
    // most a blank; at most 2,047 bytes are kept.
    int end = 0;
    int limit = n < PFM_BUFFER_SIZE ? n : PFM_BUFFER_SIZE - 1;
    int32_t code;
    while (end < limit && (signed char)buf[end] > ' ')
        end++;
    buf[end] = '\0';
    if (strcmp(buf, "i386") == 0) {
        info->architecture = PKG_ARCH_X86;
    } else if (strcmp(buf, "x86_64") == 0 || strcmp(buf, "X86_64") == 0) {
        info->architecture = PKG_ARCH_X86_64;
    } else if (strstr(buf, "ppc") != NULL) {
        info->architecture = PKG_ARCH_PPC;
    } else if ((code = machineCode(buf, (size_t)end, PKG_ARCH_PPC + 1)) != PKG_ARCH_UNKNOWN) {
        // The hardware platform of architectures that came after those
        // three is named as the kernel names the machine.
        info->architecture = code;
    } else if (strcmp(buf, "unknown") == 0) {
        // Debian and busybox hosts print no hardware platform: the kernel's
        // machine name tells the architecture there.
        struct utsname host;
        if (uname(&host) != 0)
            return unknownArchitecture(buf, end);
        return pfmClassifyMachine(info, host.machine);
    } else {
        return unknownArchitecture(buf, end);
    }
    return NULL;
}

const char *getPfmInfoFrom(PfmInfo *info, const char *unameCommand, const char *redhatRelease,
                           const char *suseRelease, const char *osRelease,
                           const char *osReleaseFallback)
{
    static char buf[PFM_BUFFER_SIZE];
    free(heapMessage);
    heapMessage = NULL;
    info->architecture = PKG_ARCH_UNKNOWN;
    info->distribution = PKG_DIST_UNKNOWN;
    info->release = -1;

    int n = 0;
    const char *pending = readCommandOutput(unameCommand, buf, &n);
    if (pending == NULL)
        pending = pfmClassifyArchitecture(info, buf, n);

    const char *releaseFile;
    if (fileExists(redhatRelease)) {
        info->distribution = PKG_DIST_REDHAT;
        releaseFile = redhatRelease;
    } else if (fileExists(suseRelease)) {
        info->distribution = PKG_DIST_SUSE;
        releaseFile = suseRelease;
    } else {
        // Newer systems keep only os-release, in /etc or in /usr/lib.
        if (!fileExists(osRelease)) {
            osRelease = osReleaseFallback;
            if (!fileExists(osRelease))
                return "Unknown distribution.";
        }
        const char *message = pfmReadOsRelease(info, osRelease, buf, PFM_BUFFER_SIZE);
        return message != NULL ? message : pending;
    }
    int fd = fd_open(releaseFile);
    if (fd < 0)
        return "Failed opening release file.";
    n = fd_read(fd, buf, PFM_BUFFER_SIZE);
    fd_close(fd);
    if (n <= 0)
        return "Failed reading release file.";
    return pfmParseRelease(info, buf, n) == 0 ? pending : "Failed locating release token.";
}

int pfmParseRelease(PfmInfo *info, char *buf, int n)
{
    buf[n < PFM_BUFFER_SIZE ? n : PFM_BUFFER_SIZE - 1] = '\0';
    if (info->distribution == PKG_DIST_SUSE && strncmp(buf, "Novell", 6) == 0)
        info->distribution = PKG_DIST_NOVELL;
    const char *token = info->distribution == PKG_DIST_REDHAT ? "release " : "VERSION = ";
    char *at = strstr(buf, token);
    if (at == NULL)
        return -1;
    char *number = at + strlen(token);
    char *blank = strchr(number, ' ');
    if (blank != NULL)
        *blank = '\0';
    info->release = pfmReleaseNumber(number);
    return 0;
}

int32_t pfmReleaseNumber(const char *text)
{
    return (int32_t)strtol(text, NULL, 10);
}

const char *getPfmInfo(PfmInfo *info)
{
    return getPfmInfoFrom(info, "uname -i", "/etc/redhat-release", "/etc/SuSE-release",
                          "/etc/os-release", "/usr/lib/os-release");
}
