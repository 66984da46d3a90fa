/* Decoding an entry's data, checked: one decoder for each compression
 * method, behind the one call that the extraction (tunzip, pkgtool unpack)
 * and pkgtool's checks make, so that both read every entry alike.  A new
 * method is one more decoder in zipdecode.cc, with its rules in
 * zipMethodProblem (and its streaming in zipstream.cc).
 *
 * An entry is decoded whole wherever it can be held: into the decoder's
 * buffer when it fits, else into room that its output gives (the
 * extraction's: a mapping of the file it writes).  Inflate is libdeflate's,
 * which decodes whole buffers only.  An output that keeps nothing of a
 * larger entry (a check) has it streamed instead, in the buffer's memory, by
 * a streaming decoder (zipDecoderInitStreaming): memory stays bounded
 * whatever the entry's size.  C headers only: it builds into the static
 * unzip utility, which never streams and so carries no streaming inflate. */
#ifndef COMMON_ZIPDECODE_H
#define COMMON_ZIPDECODE_H

#include <stddef.h>
#include <stdint.h>

#include "zipread.h"

struct libdeflate_decompressor;

/* Entries up to this size are decoded whole into a decoder's buffer. */
enum { ZIP_DECODE_BUFFER = 4 << 20 };

/* Where an entry's bytes go. */
struct ZipOutput {
    /* Takes the next piece of the entry's bytes, in order.  Result: 0, or
     * -1 to stop the decoding (the output notes why). */
    int (*put)(void *context, const unsigned char *bytes, size_t length);
    /* Room for all size bytes of an entry larger than the buffer, to decode
     * it into whole; it is then handed to put as one piece.  Result: the
     * room, or NULL to stop the decoding (the output notes why).  NULL as a
     * member: the output has no room, and the entry is streamed. */
    unsigned char *(*room)(void *context, uint64_t size);
    void *context;
};

struct ZipDecoder;

/* Streams an entry larger than the buffer to an output without room. */
typedef int (*ZipStreamFn)(const struct ZipArchive *archive, const struct ZipEntry *entry,
                           struct ZipDecoder *decoder, const struct ZipOutput *output);

/* What one thread decodes with, entry after entry. */
struct ZipDecoder {
    struct libdeflate_decompressor *inflater;
    unsigned char *buffer; /* ZIP_DECODE_BUFFER bytes, mapped once, reused */
    ZipStreamFn stream;    /* NULL: large entries need their output's room */
};

#ifdef __cplusplus
extern "C" {
#endif

/* Makes a decoder that decodes entries whole.  Result: 0, or -1 when
 * memory is short (then it holds nothing). */
int zipDecoderInit(struct ZipDecoder *decoder);

/* Makes a decoder that also streams large entries, through zlib's inflate.
 * In zipstream.cc, which host builds link (pkgtool, the tests).  Result: 0,
 * or -1 when memory is short (then it holds nothing). */
int zipDecoderInitStreaming(struct ZipDecoder *decoder);

/* Frees what the decoder holds. */
void zipDecoderEnd(struct ZipDecoder *decoder);

/* Why an entry of this method and these sizes cannot be decoded: a method
 * without a decoder (ZIP_BAD_METHOD), sizes the method cannot make
 * (ZIP_BAD_STORED_SIZE, ZIP_DAMAGED_DATA), or ZIP_FINE. */
int zipMethodProblem(unsigned method, uint64_t compressedSize, uint64_t size);

/* Decodes the entry's data to output: exactly entry->size bytes, in order.
 * Whatever is decoded whole (stored data, entries that fit the buffer or
 * the output's room) reaches put only when its CRC-32 matches; streamed
 * pieces reach it as they come, and the result tells.  Bytes after the end
 * of a deflate stream, inside the compressed size, are not read; an empty
 * entry is taken as it is (put is not called).  Result: 0; a problem code
 * (ZIP_DAMAGED_DATA, ZIP_BAD_CRC, ZIP_OUT_OF_MEMORY: nothing to stream
 * with); or -1 when the output stopped it. */
int zipDecode(const struct ZipArchive *archive, const struct ZipEntry *entry,
              struct ZipDecoder *decoder, const struct ZipOutput *output);

#ifdef __cplusplus
}
#endif

#endif
