// Streaming large entries to an output that keeps nothing of them (see
// zipdecode.h): libdeflate inflates only whole buffers, and checking an
// entry of gigabytes must not take gigabytes, so these go through zlib's
// inflate in the decoder's buffer.  Host builds only: the static unzip
// utility never streams, and carries no zlib.
#include <libdeflate.h>
#include <zlib.h>

#include "zipdecode.h"

namespace {

// What one call of inflate is given at most (its counts are 32-bit).
const uint64_t kMaxInput = 1 << 30;

// The stream must fill the entry exactly, as when it is inflated whole;
// bytes after its end inside the compressed size are not read.
int streamDeflated(const ZipArchive *a, const ZipEntry *e, ZipDecoder *d, const ZipOutput *out)
{
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return ZIP_OUT_OF_MEMORY;
    const unsigned char *in = a->data + e->dataOffset;
    uint64_t inLeft = e->compressedSize;
    uint64_t made = 0;
    uint32_t crc = 0;
    int r = Z_OK;
    bool stopped = false;
    while (r == Z_OK) {
        if (z.avail_in == 0 && inLeft > 0) {
            const uint64_t n = inLeft < kMaxInput ? inLeft : kMaxInput;
            z.next_in = const_cast<unsigned char *>(in);
            z.avail_in = static_cast<uInt>(n);
            in += n;
            inLeft -= n;
        }
        z.next_out = d->buffer;
        z.avail_out = ZIP_DECODE_BUFFER;
        r = inflate(&z, Z_NO_FLUSH);
        const size_t n = ZIP_DECODE_BUFFER - z.avail_out;
        made += n;
        if (made > e->size || (r == Z_BUF_ERROR && z.avail_in == 0 && inLeft == 0))
            break;
        crc = libdeflate_crc32(crc, d->buffer, n);
        if (n > 0 && out->put(out->context, d->buffer, n) != 0) {
            stopped = true;
            break;
        }
        if (r == Z_BUF_ERROR)
            r = Z_OK; // no progress this time: more room or input comes
    }
    inflateEnd(&z);
    if (stopped)
        return -1;
    if (r != Z_STREAM_END || made != e->size)
        return ZIP_DAMAGED_DATA;
    return crc == e->crc ? 0 : ZIP_BAD_CRC;
}

int stream(const ZipArchive *a, const ZipEntry *e, ZipDecoder *d, const ZipOutput *out)
{
    // Stored entries are handed whole from the mapped archive.
    return e->method == ZIP_METHOD_DEFLATED ? streamDeflated(a, e, d, out) : ZIP_BAD_METHOD;
}

} // namespace

extern "C" int zipDecoderInitStreaming(ZipDecoder *d)
{
    if (zipDecoderInit(d) != 0)
        return -1;
    d->stream = stream;
    return 0;
}
