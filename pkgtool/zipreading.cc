#include "zipreading.h"

#include "printable.h"

namespace pkgtool {

std::string entryLabel(const std::string &name)
{
    return "entry '" + printableName(name) + "'";
}

std::string entryName(const ::ZipEntry &e)
{
    char name[ZIP_NAME_BUFFER];
    const int length = zipEntryName(&e, name);
    return std::string(name, length < 0 ? ZIP_MAX_NAME : length);
}

bool openArchive(const unsigned char *data, uint64_t size, ZipArchive &archive,
                 std::string &error)
{
    ZipProblem p;
    if (zipOpen(&archive, data, size, &p) == 0)
        return true;
    error = p.named ? entryLabel(std::string(p.name, p.nameLength)) + ": " + zipProblemText(p.code)
                    : std::string("not a zip archive the unzip utility takes: ") +
                          zipProblemText(p.code);
    return false;
}

EntryDecoder::EntryDecoder() : ready_(zipDecoderInitStreaming(&decoder_) == 0) {}

EntryDecoder::~EntryDecoder()
{
    zipDecoderEnd(&decoder_);
}

std::string EntryDecoder::decode(const ZipArchive &archive, const ::ZipEntry &e,
                                 const ZipOutput &output)
{
    const int r = zipDecode(&archive, &e, &decoder_, &output);
    if (r == ZIP_OUT_OF_MEMORY)
        return "cannot be checked: out of memory";
    if (r < 0)
        return "stopped";
    return r == 0 ? "" : zipProblemText(r);
}

} // namespace pkgtool
