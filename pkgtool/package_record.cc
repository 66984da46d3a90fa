#include "package_record.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sodium.h>
#include <stdexcept>

#include "../common/pkg_checksum.h"

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

static void initSodium()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be set up");
}

static unsigned char *recordArea(unsigned char *directory)
{
    return directory + PKG_REC_AREA_OFFSET;
}

uint32_t zipDirectoryChecksum(const Pieces &archives, const std::vector<uint32_t> &zipDirBytes)
{
    initSodium();
    PkgChecksumState sum;
    pkgChecksumInit(&sum);
    for (size_t i = 0; i < archives.size() && i < zipDirBytes.size(); i++) {
        const size_t n = std::min<size_t>(zipDirBytes[i], archives[i].second);
        pkgChecksumUpdate(&sum, archives[i].first + archives[i].second - n, n);
    }
    return pkgChecksumFinal(&sum);
}

void writePackageRecord(unsigned char *directory, const std::vector<PkgImageFacts> &images,
                        const std::vector<uint32_t> &zipDirBytes,
                        const std::array<Pieces, PKG_ELEMENT_COUNT> &elements)
{
    initSodium();
    unsigned char *r = recordArea(directory);
    std::memset(r, 0, PKG_REC_AREA_SIZE);
    pkgPutRecordHeader(directory);
    for (size_t slot = 0; slot < images.size() && slot < PKG_REC_IMAGE_SLOTS; slot++)
        pkgPutRecordImage(directory, static_cast<int>(slot), images[slot]);
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        crypto_hash_sha256_state sha;
        crypto_hash_sha256_init(&sha);
        PkgChecksumState sum;
        pkgChecksumInit(&sum);
        for (const auto &p : elements[i]) {
            crypto_hash_sha256_update(&sha, p.first, p.second);
            pkgChecksumUpdate(&sum, p.first, p.second);
        }
        crypto_hash_sha256_final(&sha, r + PKG_REC_DIGEST_OFFSET + i * PKG_REC_DIGEST_SIZE);
        if (i >= PKG_ELEM_UNZIP && i <= PKG_ELEM_COMMANDS)
            pkgPutU32(r + PKG_REC_CHECKSUM_OFFSET + 4 * (i - 1), pkgChecksumFinal(&sum));
        else if (i == PKG_ELEM_LAUNCHER)
            pkgPutRecordU32(directory, PKG_REC_LAUNCHER_CHECKSUM_OFFSET, pkgChecksumFinal(&sum));
    }
    for (size_t slot = 0; slot < zipDirBytes.size() && slot < PKG_REC_IMAGE_SLOTS; slot++)
        pkgPutRecordU32(directory, PKG_REC_ZIPDIR_SIZE_OFFSET + 4 * static_cast<int>(slot),
                        zipDirBytes[slot]);
    pkgPutRecordU32(directory, PKG_REC_ZIPDIR_CHECKSUM_OFFSET,
                    zipDirectoryChecksum(elements[PKG_ELEM_IMAGE], zipDirBytes));
    // Last: it covers the other fields of the record.
    pkgPutU32(r + PKG_REC_CHECKSUM_OFFSET + 12, pkgDirectoryChecksum(directory));
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
    for (int i = 0; i < PKG_REC_CHECKSUM_COUNT; i++)
        rec.checksums[i] = pkgRecordChecksum(directory, i);
    rec.hasZipDirectory = rec.size >= PKG_REC_ZIPDIR_SIZE;
    if (rec.hasZipDirectory) {
        rec.launcherChecksum = pkgRecordU32(directory, PKG_REC_LAUNCHER_CHECKSUM_OFFSET);
        rec.zipDirectoryChecksum = pkgRecordU32(directory, PKG_REC_ZIPDIR_CHECKSUM_OFFSET);
        for (int slot = 0; slot < PKG_REC_IMAGE_SLOTS; slot++)
            rec.zipDirectoryBytes.push_back(
                pkgRecordU32(directory, PKG_REC_ZIPDIR_SIZE_OFFSET + 4 * slot));
    }
    return rec;
}

bool packageFileDigests(const std::string &path, const int32_t *sizes,
                        const unsigned char *directory, FileDigests &out, std::string &error)
{
    initSodium();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    // Streamed through one buffer: an image of any size costs no more memory.
    std::vector<unsigned char> buffer(1 << 20);
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        crypto_hash_sha256_state sha;
        crypto_hash_sha256_init(&sha);
        PkgChecksumState sum;
        pkgChecksumInit(&sum);
        uint64_t left = static_cast<uint32_t>(sizes[i]);
        while (left > 0) {
            const size_t n = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
            in.read(reinterpret_cast<char *>(buffer.data()), static_cast<std::streamsize>(n));
            if (!in) {
                error = "cannot read element " + std::to_string(i) + " of " + path;
                return false;
            }
            crypto_hash_sha256_update(&sha, buffer.data(), n);
            pkgChecksumUpdate(&sum, buffer.data(), n);
            left -= n;
        }
        crypto_hash_sha256_final(&sha, out.digests[i].data());
        if (i >= PKG_ELEM_UNZIP && i <= PKG_ELEM_COMMANDS)
            out.checksums[i - 1] = pkgChecksumFinal(&sum);
        else if (i == PKG_ELEM_LAUNCHER)
            out.launcherChecksum = pkgChecksumFinal(&sum);
    }
    out.checksums[3] = pkgDirectoryChecksum(directory);
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
