/* Text for the shell that is never code: a word written so that sh reads
 * it back as exactly those bytes, one argument.  Header only, C: the
 * launcher and the OS layer share it. */
#ifndef COMMON_SHELL_QUOTE_H
#define COMMON_SHELL_QUOTE_H

#include <stddef.h>
#include <string.h>

/* Inside double quotes only these four keep a special meaning. */
static inline int shellNeedsEscape(char c)
{
    return c == '$' || c == '`' || c == '"' || c == '\\';
}

/* 1 when text reads as itself, one word, outside quotes: not empty, and
 * only letters, digits and - _ . / , : + = @ % (no blank, glob, quote,
 * expansion, redirection, separator, tilde or comment, nor bytes beyond
 * ASCII, which some shells take by locale). */
static inline int shellIsPlainWord(const char *text)
{
    if (*text == '\0')
        return 0;
    for (const char *p = text; *p != '\0'; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              strchr("-_./,:+=@%", c) != NULL))
            return 0;
    }
    return 1;
}

/* The number of characters that shellQuote writes between the quotes. */
static inline size_t shellQuotedLength(const char *text)
{
    size_t n = 0;
    for (const char *p = text; *p; p++)
        n += shellNeedsEscape(*p) ? 2 : 1;
    return n;
}

/* Writes text as one double-quoted shell word, with a backslash before
 * $ ` " and \ so that nothing inside is ever code.
 * Result: 0, or -1 when it does not fit size bytes (NUL included). */
static inline int shellQuote(char *out, size_t size, const char *text)
{
    size_t o = 0;
    if (size < 3)
        return -1;
    out[o++] = '"';
    for (const char *p = text; *p; p++) {
        int escape = shellNeedsEscape(*p);
        if (o + (escape ? 2 : 1) + 2 > size)
            return -1;
        if (escape)
            out[o++] = '\\';
        out[o++] = *p;
    }
    out[o++] = '"';
    out[o] = '\0';
    return 0;
}

/* Writes text as one shell word: as it is when it is a plain word, else
 * quoted as shellQuote does.  Result: 0, or -1 when it does not fit. */
static inline int shellWord(char *out, size_t size, const char *text)
{
    if (!shellIsPlainWord(text))
        return shellQuote(out, size, text);
    size_t n = strlen(text);
    if (n >= size)
        return -1;
    memcpy(out, text, n + 1);
    return 0;
}

#endif
