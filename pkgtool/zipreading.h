// The common strict reader (common/zipread.h, zipdecode.h) as pkgtool's
// commands use it on an archive held in memory: opening it, naming its
// entries, and decoding their data in fixed memory.  Apart from zipcheck.h,
// whose entries are pkgtool's own, so that the reader's C names stay out of
// files that do not need them.
#ifndef PKGTOOL_ZIPREADING_H
#define PKGTOOL_ZIPREADING_H

#include <cstdint>
#include <string>

#include "../common/zipdecode.h"
#include "../common/zipread.h"

namespace pkgtool {

// Opens the archive of size bytes at data with the common reader.  Result:
// true, or false with why it is refused in error.
bool openArchive(const unsigned char *data, uint64_t size, ::ZipArchive &archive,
                 std::string &error);

// "entry 'NAME'", the name made printable, for messages.
std::string entryLabel(const std::string &name);

// An entry's name as the unzip utility unpacks it.
std::string entryName(const ::ZipEntry &entry);

// Decodes entries' data in fixed memory with the decoder the extraction
// uses, checking the CRC-32 and the size of what they decode to.  What fits
// the decoder's buffer is decoded as the unzip utility decodes it; a larger
// entry, which the utility decodes into the file it writes, streams here
// (nothing is kept), so that an image of a few megabytes holding gigabytes
// of zeros needs no more memory than any.
class EntryDecoder {
public:
    EntryDecoder();
    ~EntryDecoder();
    EntryDecoder(const EntryDecoder &) = delete;
    EntryDecoder &operator=(const EntryDecoder &) = delete;

    // False when memory was short: nothing can be decoded.
    bool ready() const { return ready_; }

    // Hands the entry's bytes to output, in order.  Result: "", or what is
    // wrong with its data ("stopped" when the output stopped it).
    std::string decode(const ::ZipArchive &archive, const ::ZipEntry &entry,
                       const ZipOutput &output);

private:
    ZipDecoder decoder_;
    bool ready_;
};

} // namespace pkgtool

#endif
