#include "package_record.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <libdeflate.h>
#include <sodium.h>

namespace pkgtool {

PkgImageFacts imageFacts(const std::vector<unsigned char> &zip,
                         const std::vector<ZipEntry> &entries)
{
    PkgImageFacts f = {};
    for (const ZipEntry &e : entries)
        f.unpackedBytes += e.size;
    f.entries = static_cast<uint32_t>(entries.size());
    f.archiveBytes = static_cast<uint32_t>(zip.size());
    return f;
}

static Sha256 digestOf(const Pieces &pieces)
{
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    for (const auto &p : pieces)
        crypto_hash_sha256_update(&state, p.first, p.second);
    Sha256 out;
    crypto_hash_sha256_final(&state, out.data());
    return out;
}

// Carries crc on over the directory, with the checksum's own bytes as zeros.
static uint32_t directoryChecksum(uint32_t crc, const unsigned char *directory)
{
    unsigned char copy[PKG_DIR_SIZE];
    std::memcpy(copy, directory, sizeof copy);
    std::memset(copy + PKG_REC_AREA_OFFSET + PKG_REC_CRC_OFFSET, 0, 4);
    return libdeflate_crc32(crc, copy, sizeof copy);
}

uint32_t recordChecksum(const std::array<Pieces, PKG_ELEMENT_COUNT> &elements,
                        const unsigned char *directory)
{
    uint32_t crc = 0;
    for (int i = PKG_ELEM_UNZIP; i <= PKG_ELEM_COMMANDS; i++)
        for (const auto &p : elements[i])
            crc = libdeflate_crc32(crc, p.first, p.second);
    return directoryChecksum(crc, directory);
}

void writePackageRecord(unsigned char *directory, const std::vector<PkgImageFacts> &images,
                        const std::array<Pieces, PKG_ELEMENT_COUNT> &elements)
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be set up");
    unsigned char *r = directory + PKG_REC_AREA_OFFSET;
    std::memset(r, 0, PKG_REC_AREA_SIZE);
    pkgPutRecordHeader(directory);
    for (size_t slot = 0; slot < images.size() && slot < PKG_REC_IMAGE_SLOTS; slot++)
        pkgPutRecordImage(directory, static_cast<int>(slot), images[slot]);
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        const Sha256 d = digestOf(elements[i]);
        std::memcpy(r + PKG_REC_DIGEST_OFFSET + i * PKG_REC_DIGEST_SIZE, d.data(), d.size());
    }
    pkgPutU32(r + PKG_REC_CRC_OFFSET, recordChecksum(elements, directory));
}

PackageRecord readPackageRecord(const unsigned char *directory)
{
    PackageRecord rec;
    rec.state = pkgRecordState(directory);
    if (rec.state != 1)
        return rec;
    const unsigned char *r = directory + PKG_REC_AREA_OFFSET;
    rec.version = r[4] | (r[5] << 8);
    rec.size = r[6] | (r[7] << 8);
    for (int slot = 0; slot < PKG_REC_IMAGE_SLOTS; slot++)
        rec.images[slot] = pkgRecordImage(directory, slot);
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        std::memcpy(rec.digests[i].data(), r + PKG_REC_DIGEST_OFFSET + i * PKG_REC_DIGEST_SIZE,
                    PKG_REC_DIGEST_SIZE);
    rec.checksum = pkgGetU32(r + PKG_REC_CRC_OFFSET);
    return rec;
}

bool packageFileDigests(const std::string &path, const int32_t *sizes,
                        const unsigned char *directory, Sha256 *digests, uint32_t &checksum,
                        std::string &error)
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be set up");
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    // Streamed through one buffer: an image of any size costs no more memory.
    std::vector<unsigned char> buffer(1 << 20);
    uint32_t crc = 0;
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        crypto_hash_sha256_state state;
        crypto_hash_sha256_init(&state);
        uint64_t left = static_cast<uint32_t>(sizes[i]);
        while (left > 0) {
            const size_t n = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
            in.read(reinterpret_cast<char *>(buffer.data()), static_cast<std::streamsize>(n));
            if (!in) {
                error = "cannot read element " + std::to_string(i) + " of " + path;
                return false;
            }
            crypto_hash_sha256_update(&state, buffer.data(), n);
            if (i >= PKG_ELEM_UNZIP && i <= PKG_ELEM_COMMANDS)
                crc = libdeflate_crc32(crc, buffer.data(), n);
            left -= n;
        }
        crypto_hash_sha256_final(&state, digests[i].data());
    }
    checksum = directoryChecksum(crc, directory);
    return true;
}

std::string hexDigest(const Sha256 &digest)
{
    std::string out;
    char two[3];
    for (unsigned char c : digest) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

} // namespace pkgtool
