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

#endif
