// Texts the driver hands to the shell: the tool's command line, the quoted
// extract folder, and the start-up timestamp.  The user's arguments reach
// the tool each as one argument, byte for byte: a plain word stays as it
// is, any other is quoted; only the record's own text is shell text.
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "../os/osspecific.h"
#include "installer.h"

// Appends text to the NUL-terminated string in out.  Result: 0, or -1 when it
// does not fit (out is then left as it was).
static int append(char *out, size_t size, const char *text)
{
    size_t used = strlen(out);
    size_t add = strlen(text);
    if (used + add >= size)
        return -1;
    memcpy(out + used, text, add + 1);
    return 0;
}

// Appends text as one shell word (shellWord): a plain word as it is, any
// other quoted.  Result: 0, or -1 when it does not fit (out then as it was).
static int appendWord(char *out, size_t size, const char *text)
{
    size_t used = strlen(out);
    if (shellWord(out + used, size - used, text) == 0)
        return 0;
    out[used] = '\0'; // a word cut short is taken back whole
    return -1;
}

int absoluteFolder(char *out, size_t size, const char *folder, const char *cwd)
{
    int n;
    if (isAbsolutePath(folder)) {
        n = snprintf(out, size, "%s", folder);
    } else {
        if (cwd[0] == '\0')
            return -1;
        char separator = cwd[0] == '/' ? '/' : '\\';
        // The root's own slash is followed by a second one: "//out".
        n = snprintf(out, size, "%s%c%s", cwd, separator, folder);
    }
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

// Does argv[i] take the next argument as its value?  The tools' options -d,
// -i, -r and -u (only the second character is looked at) and -html do: the
// launcher keeps such a value with its option and puts it in quotes (when an
// option or nothing follows it), so that a value with blanks reaches the tool
// as one argument.
static int takesValue(const char *arg)
{
    if (arg[0] == '\0' || arg[1] == '\0')
        return 0;
    char c = arg[1];
    return c == 'd' || c == 'i' || c == 'r' || c == 'u' || strcmp(arg, "-html") == 0;
}

int buildToolCommand(char *out, size_t outSize, char *value, size_t valueSize,
                     const char *command, const char *args, int32_t mode, int argc,
                     char *const *argv)
{
    if (outSize == 0)
        return CMDLINE_TOO_LONG;
    out[0] = '\0';
    if (append(out, outSize, command) != 0)
        return CMDLINE_TOO_LONG;
    if (argc == 1 || mode != 0) {
        if (append(out, outSize, " ") != 0 || append(out, outSize, args) != 0)
            return CMDLINE_TOO_LONG;
    }
    if (argc <= 1 || mode == 2)
        return CMDLINE_OK;
    for (int i = 1; i < argc; i++) {
        if (append(out, outSize, " ") != 0 || appendWord(out, outSize, argv[i]) != 0)
            return CMDLINE_TOO_LONG;
        if (!takesValue(argv[i]) || i + 1 >= argc || argv[i + 1][0] == '-')
            continue;
        // A value is quoted only when it is the last argument or an option
        // follows it; otherwise it is handled as an argument of its own.
        if (i + 2 < argc && argv[i + 2][0] != '-')
            continue;
        if (valueSize < 2 || shellQuote(value + 1, valueSize - 1, argv[i + 1]) != 0)
            return CMDLINE_VALUE_TOO_LONG;
        value[0] = ' ';
        if (append(out, outSize, value) != 0)
            return CMDLINE_TOO_LONG;
        i++;
    }
    return CMDLINE_OK;
}

int formatTimestamp(char *out, size_t size, int year, int month, int day, int hour,
                    int minute, int second, long usec, int minutesWest)
{
    char sign = minutesWest > 0 ? '-' : '+';
    int offset = minutesWest < 0 ? -minutesWest : minutesWest;
    int n = snprintf(out, size, "%d%02d%02d%02d%02d%02d.%06ld%c%03d", year, month, day, hour,
                     minute, second, usec, sign, offset);
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

// The kernel's gettimeofday takes its own timeval, of two longs, whatever
// time_t the C library uses.  musl on i386 (64-bit time_t) names the call
// by that old layout.
#if defined(SYS_gettimeofday)
#define KERNEL_GETTIMEOFDAY SYS_gettimeofday
#else
#define KERNEL_GETTIMEOFDAY SYS_gettimeofday_time32
#endif
struct KernelTimeval {
    long sec;
    long usec;
};

int startTimestamp(char *out, size_t size)
{
    struct KernelTimeval tv;
    struct timezone tz;
    memset(&tz, 0, sizeof tz);
    // The C library may leave the time-zone argument untouched; the system
    // call reports the kernel's tz_minuteswest.
    if (syscall(KERNEL_GETTIMEOFDAY, &tv, &tz) != 0)
        return -1;
    time_t now = time(NULL);
    struct tm *tm = localtime(&now);
    if (tm == NULL)
        return -1;
    return formatTimestamp(out, size, tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday,
                           tm->tm_hour, tm->tm_min, tm->tm_sec, tv.usec,
                           tz.tz_minuteswest);
}
