/* Inside host identification: the parsing of the command's output and of
 * the release text, apart from running and reading them. */
#ifndef OS_PLATFORM_PARSE_H
#define OS_PLATFORM_PARSE_H

#include "osspecific.h"

enum { PFM_BUFFER_SIZE = 2048 };

/* Classifies the first token of the n bytes read into buf (which holds
 * PFM_BUFFER_SIZE bytes, 0 < n <= PFM_BUFFER_SIZE) and sets the architecture.
 * Result: NULL, or the unknown-architecture message. */
const char *pfmClassifyArchitecture(PfmInfo *info, char *buf, int n);
/* Reads the release from the n bytes of release text in buf (as above), for
 * the distribution already in info (Novell found here).
 * Result: 0, or -1 when the release token is missing. */
int pfmParseRelease(PfmInfo *info, char *buf, int n);
/* The major release in a release number's text, as strtol reads it in base
 * 10 ("15.5" gives 15; no digits give 0). */
int32_t pfmReleaseNumber(const char *text);
/* 1 when the len bytes at name are one of the names in list (each ended
 * by a NUL, the list by one more), else 0. */
int pfmInList(const char *list, const char *name, size_t len);
/* Classifies the kernel's machine name (what "uname -m" prints) and sets the
 * architecture. Result: NULL, or the unknown-architecture message. */
const char *pfmClassifyMachine(PfmInfo *info, const char *machine);

/* os-release: the fields that identify a system, gathered line by line. */
typedef struct PfmOsRelease {
    char id[64];
    char idLike[256];
    char versionId[64];
    char line[PFM_BUFFER_SIZE]; /* the line being gathered */
    int length;
    int skipping; /* the rest of an over-long line is being dropped */
} PfmOsRelease;
/* Adds n bytes of os-release text to s (zeroed before the first call; a
 * final "\n" completes a last line without one). Never writes past s. */
void pfmOsReleaseFeed(PfmOsRelease *s, const char *bytes, int n);
/* Sets the distribution (from ID, else the first known word of ID_LIKE) and
 * the release (from VERSION_ID). Result: NULL, "Unknown distribution." or
 * "Failed locating release token." (known system without VERSION_ID). */
const char *pfmOsReleaseResult(PfmInfo *info, const PfmOsRelease *s);
/* Reads at most 1 MiB of the os-release file at path through buf (size
 * bytes) and identifies it as above. Result: NULL, or a message. */
const char *pfmReadOsRelease(PfmInfo *info, const char *path, char *buf, int size);

#endif
