// The decoders of an entry's data (see zipdecode.h), one for each method.
#include "zipdecode.h"

#include <libdeflate.h>
#include <string.h>
#include <sys/mman.h>

namespace {

// The most bytes deflate makes of one: 258 of 2 bits.
const uint64_t kMaxDeflateRatio = 1032;

// Result: 0, or ZIP_BAD_CRC.
int checkCrc(const ZipEntry *e, const unsigned char *bytes)
{
    return libdeflate_crc32(0, bytes, e->size) == e->crc ? 0 : ZIP_BAD_CRC;
}

// Stored data is handed from the mapped archive itself, in one piece.
int decodeStored(const ZipArchive *a, const ZipEntry *e, ZipDecoder *, const ZipOutput *out)
{
    const unsigned char *data = a->data + e->dataOffset;
    if (checkCrc(e, data) != 0)
        return ZIP_BAD_CRC;
    // Inside the mapped archive, its size fits a size_t.
    return out->put(out->context, data, static_cast<size_t>(e->size)) == 0 ? 0 : -1;
}

// Inflated whole into the buffer or the output's room, else streamed.
int decodeDeflated(const ZipArchive *a, const ZipEntry *e, ZipDecoder *d, const ZipOutput *out)
{
    unsigned char *whole = d->buffer;
    if (e->size > ZIP_DECODE_BUFFER) {
        if (out->room == NULL)
            return d->stream != NULL ? d->stream(a, e, d, out) : ZIP_OUT_OF_MEMORY;
        if ((whole = out->room(out->context, e->size)) == NULL)
            return -1;
    }
    // The room the output gave holds the entry: its size fits a size_t.
    const size_t size = static_cast<size_t>(e->size);
    size_t used = 0;
    // The stream must fill the entry exactly; bytes after its end are
    // unused (some writers leave them), and the CRC still decides.
    if (libdeflate_deflate_decompress_ex(d->inflater, a->data + e->dataOffset, e->compressedSize,
                                         whole, size, &used, NULL) != LIBDEFLATE_SUCCESS)
        return ZIP_DAMAGED_DATA;
    if (checkCrc(e, whole) != 0)
        return ZIP_BAD_CRC;
    return out->put(out->context, whole, size) == 0 ? 0 : -1;
}

// Deflate makes at most 258 bytes of 2 bits: a larger size is a lie.
int deflatedSizes(uint64_t compressedSize, uint64_t size)
{
    return size / kMaxDeflateRatio > compressedSize ? ZIP_DAMAGED_DATA : ZIP_FINE;
}

int storedSizes(uint64_t compressedSize, uint64_t size)
{
    return compressedSize == size ? ZIP_FINE : ZIP_BAD_STORED_SIZE;
}

// The decoders, one a method: the one place that knows which methods can
// be read, and what sizes each can make.
const struct {
    unsigned method;
    int (*sizes)(uint64_t compressedSize, uint64_t size); // a problem code or ZIP_FINE
    int (*decode)(const ZipArchive *, const ZipEntry *, ZipDecoder *, const ZipOutput *);
} kDecoders[] = {
    {ZIP_METHOD_STORED, storedSizes, decodeStored},
    {ZIP_METHOD_DEFLATED, deflatedSizes, decodeDeflated},
};

} // namespace

extern "C" int zipDecoderInit(ZipDecoder *d)
{
    memset(d, 0, sizeof *d);
    d->inflater = libdeflate_alloc_decompressor();
    void *buffer = mmap(NULL, ZIP_DECODE_BUFFER, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    d->buffer = buffer != MAP_FAILED ? static_cast<unsigned char *>(buffer) : NULL;
    if (d->inflater != NULL && d->buffer != NULL)
        return 0;
    zipDecoderEnd(d);
    return -1;
}

extern "C" void zipDecoderEnd(ZipDecoder *d)
{
    if (d->buffer != NULL)
        munmap(d->buffer, ZIP_DECODE_BUFFER);
    if (d->inflater != NULL)
        libdeflate_free_decompressor(d->inflater);
    memset(d, 0, sizeof *d);
}

extern "C" int zipMethodProblem(unsigned method, uint64_t compressedSize, uint64_t size)
{
    for (const auto &decoder : kDecoders) {
        if (decoder.method == method)
            return decoder.sizes(compressedSize, size);
    }
    return ZIP_BAD_METHOD;
}

extern "C" int zipDecode(const ZipArchive *a, const ZipEntry *e, ZipDecoder *d,
                         const ZipOutput *out)
{
    if (e->size == 0)
        return 0;
    for (const auto &decoder : kDecoders) {
        if (decoder.method == e->method)
            return decoder.decode(a, e, d, out);
    }
    return ZIP_BAD_METHOD; // not met: zipNext refuses such entries
}
