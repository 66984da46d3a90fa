// Fuzz target: host identification's parsing of the architecture command's
// output, of the release text and of os-release.  Input: byte 0 picks the
// distribution the release text is read for (2 SuSE, 3 Red Hat, 4 Novell);
// the rest is the text, given to the first two parsers in the 2,048-byte
// work buffer (at most 2,048 bytes of it, at least one), and whole to the
// os-release reader, at once and in pieces of byte 0's size.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>

#include <string>

#include "common/pkglayout.h"
#include "os/platform_parse.h"

namespace {

const char UNKNOWN_PREFIX[] = "Unknown processor architecture (";

void check(bool condition, const char *what)
{
    if (!condition) {
        fprintf(stderr, "platform_parse_fuzz: property violated: %s\n", what);
        abort();
    }
}

// The first token: up to the first byte that as a signed char is at most a
// blank, and never more than 2,047 bytes.
std::string firstToken(const char *text, int n)
{
    int limit = n < PFM_BUFFER_SIZE ? n : PFM_BUFFER_SIZE - 1;
    int end = 0;
    while (end < limit && static_cast<signed char>(text[end]) > ' ')
        end++;
    return std::string(text, static_cast<size_t>(end));
}

void checkArchitecture(const char *text, int n)
{
    // Exactly the work buffer's size on the heap.
    char *buf = static_cast<char *>(malloc(PFM_BUFFER_SIZE));
    memset(buf, 'A', PFM_BUFFER_SIZE);
    memcpy(buf, text, static_cast<size_t>(n));
    std::string token = firstToken(text, n);

    PfmInfo info = {7, 7, 0};
    const char *message = pfmClassifyArchitecture(&info, buf, n);
    check(info.architecture >= 0 && info.architecture <= PKG_ARCH_MAX,
          "the architecture code is 0 or a known one");
    check(info.distribution == 7 && info.release == 7, "only the architecture is written");
    check(strlen(buf) == token.size() && token == buf, "the token is cut and terminated");
    int want = token == "i386"                              ? PKG_ARCH_X86
               : token == "x86_64" || token == "X86_64"     ? PKG_ARCH_X86_64
               : token.find("ppc") != std::string::npos     ? PKG_ARCH_PPC
               : token == "aarch64" || token == "arm64"     ? PKG_ARCH_ARM64
               : token == "s390x"                           ? PKG_ARCH_IBMZ
                                                            : 0;
    if (token == "unknown") { // the kernel's machine name decides
        struct utsname self;
        PfmInfo kernel = {0, -1, 0};
        uname(&self);
        pfmClassifyMachine(&kernel, self.machine);
        want = kernel.architecture;
    }
    check(info.architecture == want, "the token is classified by the architecture names");
    check((message == NULL) == (want != 0), "a message exactly for an unknown name");
    if (message != NULL) {
        size_t len = strlen(message);
        check(len < 128, "the message fits its 128-byte buffer");
        size_t prefix = sizeof UNKNOWN_PREFIX - 1;
        if (len > prefix) { // the full message, not the fall-back text
            check(strncmp(message, UNKNOWN_PREFIX, prefix) == 0 && message[len - 1] == ')',
                  "the message names the architecture in parentheses");
            std::string shown(message + prefix, len - prefix - 1);
            check(token.compare(0, shown.size(), shown) == 0 &&
                      (shown.size() == token.size() || shown.size() == 94),
                  "the message shows the token, cut only where it must be");
        }
    }
    free(buf);
}

void checkRelease(const char *text, int n, int32_t distribution)
{
    char *buf = static_cast<char *>(malloc(PFM_BUFFER_SIZE));
    memset(buf, 'A', PFM_BUFFER_SIZE);
    memcpy(buf, text, static_cast<size_t>(n));
    std::string whole(text, static_cast<size_t>(n < PFM_BUFFER_SIZE ? n : PFM_BUFFER_SIZE - 1));
    whole = std::string(whole.c_str()); // the text as C reads it

    PfmInfo info = {distribution, -1, 9};
    int r = pfmParseRelease(&info, buf, n);
    int32_t wantDistribution = distribution == PKG_DIST_SUSE && whole.compare(0, 6, "Novell") == 0
                                   ? PKG_DIST_NOVELL
                                   : distribution;
    check(info.distribution == wantDistribution, "the distribution stays 2..4 as the rules say");
    check(info.architecture == 9, "the architecture is not touched");
    const char *token = wantDistribution == PKG_DIST_REDHAT ? "release " : "VERSION = ";
    size_t at = whole.find(token);
    check((r == 0) == (at != std::string::npos), "the release is found exactly after the token");
    if (r != 0) {
        check(info.release == -1, "a missing token leaves the release unknown");
    } else {
        std::string number = whole.substr(at + strlen(token));
        number = number.substr(0, number.find(' '));
        check(info.release == static_cast<int32_t>(strtol(number.c_str(), NULL, 10)),
              "the release is the number after the token");
    }
    free(buf);
}

PfmInfo readOsRelease(const char *text, size_t n, size_t piece, std::string *message)
{
    static PfmOsRelease s;
    memset(&s, 0, sizeof s);
    for (size_t at = 0; at < n; at += piece)
        pfmOsReleaseFeed(&s, text + at, static_cast<int>(n - at < piece ? n - at : piece));
    pfmOsReleaseFeed(&s, "\n", 1);
    check(memchr(s.id, 0, sizeof s.id) && memchr(s.idLike, 0, sizeof s.idLike) &&
              memchr(s.versionId, 0, sizeof s.versionId),
          "the kept values are terminated within their fields");
    PfmInfo info = {PKG_DIST_UNKNOWN, -1, 9};
    const char *m = pfmOsReleaseResult(&info, &s);
    *message = m != NULL ? m : "";
    check(info.architecture == 9, "os-release leaves the architecture alone");
    check(info.distribution == PKG_DIST_UNKNOWN || info.distribution == PKG_DIST_SUSE ||
              info.distribution == PKG_DIST_REDHAT || info.distribution == PKG_DIST_DEBIAN ||
              info.distribution == PKG_DIST_UBUNTU,
          "os-release names SuSE, Red Hat, Debian, Ubuntu or nothing");
    check(m != NULL || info.distribution != PKG_DIST_UNKNOWN,
          "identified only with a known distribution");
    check(info.distribution != PKG_DIST_UNKNOWN ||
              (info.release == -1 && *message == "Unknown distribution."),
          "an unknown distribution has no release");
    return info;
}

void checkOsRelease(const char *text, size_t n, size_t piece)
{
    std::string whole, pieces;
    PfmInfo a = readOsRelease(text, n, n + 1, &whole);
    PfmInfo b = readOsRelease(text, n, piece, &pieces);
    check(a.distribution == b.distribution && a.release == b.release && whole == pieces,
          "the answer does not depend on how the text arrives");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // SuSE, Red Hat and Novell: the three codes in a row.
    int32_t distribution = PKG_DIST_SUSE + data[0] % 3;
    const char *text = reinterpret_cast<const char *>(data + 1);
    int n = size - 1 > PFM_BUFFER_SIZE ? PFM_BUFFER_SIZE : static_cast<int>(size - 1);
    checkArchitecture(text, n);
    checkRelease(text, n, distribution);
    checkOsRelease(text, size - 1, 1 + data[0] % 64);
    return 0;
}
