// Fuzz target: the package reader on a whole package file.  The input is the
// file: it is written to an in-memory file and read through its /proc path,
// as the launcher reads its own file.  Every reader result is checked against
// what the bytes of the input say it must be, and so is the driver's use of
// the records (validation and the command line of a valid record).
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/pkg_checksum.h"
#include "launcher/installer.h"
#include "os/osspecific.h"

namespace {

int inputFd = -1; // the input, as a file
int sinkFd = -1;  // where element copies go
std::string packagePath;
std::string sinkPath;
// A trust store with one key (no input can be signed by it), and an empty one.
std::string trustStore, emptyStore;
// Standard error as it was at start: the reader's own messages are many, so
// runs close standard error (-close_fd_mask=2); violations still show here.
int reportFd = 2;

void check(bool condition, const char *what)
{
    if (!condition) {
        dprintf(reportFd, "package_reader_fuzz: property violated: %s\n", what);
        abort();
    }
}

int openMemFile(const char *name, std::string &path)
{
    int fd = memfd_create(name, 0);
    if (fd < 0) {
        perror("memfd_create");
        abort();
    }
    path = "/proc/self/fd/" + std::to_string(fd);
    return fd;
}

void writeWhole(int fd, const uint8_t *data, size_t size)
{
    if (ftruncate(fd, 0) != 0)
        abort();
    size_t done = 0;
    while (done < size) {
        ssize_t n = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            abort();
        done += static_cast<size_t>(n);
    }
}

std::string sinkContents()
{
    struct stat st;
    if (fstat(sinkFd, &st) != 0)
        abort();
    std::string s(static_cast<size_t>(st.st_size), '\0');
    if (!s.empty() && pread(sinkFd, &s[0], s.size(), 0) != static_cast<ssize_t>(s.size()))
        abort();
    return s;
}

// The lowest free descriptor: the same before and after an input when no
// reader call leaked one.
int lowestFreeFd()
{
    int fd = open("/dev/null", O_RDONLY);
    if (fd < 0)
        abort();
    close(fd);
    return fd;
}

long long elementOffset(const int32_t *directory, int index, int which)
{
    long long offset = 0;
    for (int i = 0; i < index; i++)
        offset += directory[i];
    if (index == PKG_ELEM_IMAGE && which > 0)
        offset += directory[PKG_DIR_FIRST_IMAGE_ENTRY];
    return offset;
}

bool directoryValid(const int32_t *directory, long long directoryAt)
{
    long long sum = 0;
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++) {
        if (directory[i] < 0)
            return false;
        sum += directory[i];
    }
    return sum <= PKG_MAX_OFFSET && sum == directoryAt &&
           directory[PKG_DIR_FIRST_IMAGE_ENTRY] >= 0 && directory[PKG_DIR_SECOND_IMAGE_ENTRY] >= 0;
}

// Seeks and element reads on any directory, validated or not.
void checkRawDirectory(const int32_t *directory, const uint8_t *data, size_t size)
{
    int fd = fd_open(packagePath.c_str());
    check(fd >= 0, "the package file opens");
    for (int which : {-1, 0, 1}) {
        whichImg = which;
        for (int index = -1; index <= PKG_ELEMENT_COUNT; index++) {
            off_t got = seekToPkgElement(index, directory, fd);
            if (index < 0 || index >= PKG_ELEMENT_COUNT) {
                check(got == -1, "an index out of range is refused");
                continue;
            }
            long long offset = elementOffset(directory, index, which);
            if (offset < 0 || offset > PKG_MAX_OFFSET)
                check(got == -1, "an offset outside 0..2^31-1 is refused");
            else
                check(got == offset, "the seek lands at the element's offset");
        }
    }
    whichImg = -1;

    // Element 2 into 8 bytes, with a guard behind them.
    unsigned char buffer[16];
    memset(buffer, 0xA5, sizeof buffer);
    int got = extractPkgElement(PKG_ELEM_GLOBAL_INFO, directory, fd, buffer, 8);
    int32_t want = directory[PKG_ELEM_GLOBAL_INFO];
    long long offset = elementOffset(directory, PKG_ELEM_GLOBAL_INFO, -1);
    bool readable = want >= 0 && want <= 8 && offset >= 0 && offset <= PKG_MAX_OFFSET &&
                    (want == 0 || offset + want <= static_cast<long long>(size));
    check(got == (readable ? want : -1), "an element read returns exactly the size or -1");
    if (got > 0)
        check(memcmp(buffer, data + offset, static_cast<size_t>(got)) == 0,
              "an element read yields the element's bytes");
    // A short read may leave part of the element in the buffer, never more.
    size_t room = want >= 0 && want <= 8 ? static_cast<size_t>(want) : 0;
    for (size_t i = room; i < sizeof buffer; i++)
        check(buffer[i] == 0xA5, "an element read writes nothing past the element");
    fd_close(fd);
}

// Copies element index into the sink and checks the copy.
void checkCopy(int index, const int32_t *directory, int fd, const uint8_t *data, long long from,
               int32_t length)
{
    int r = extractPkgElementFile(index, sinkPath.c_str(), directory, fd);
    check(r == 0, "an element of a valid package is copied");
    std::string copy = sinkContents();
    check(copy.size() == static_cast<size_t>(length) &&
              memcmp(copy.data(), data + from, copy.size()) == 0,
          "the copy holds exactly the element's bytes");
}

// What the driver does with a located package: global info, the command
// table and its validation, the command line of a valid record, the copies
// of the unzip utility and the image (either archive of an image pair).
void checkLocatedPackage(const int32_t *directory, int fd, const uint8_t *data, size_t size)
{
    unsigned char globalInfo[PKG_GLOBAL_INFO_SIZE + 8];
    memset(globalInfo, 0x5A, sizeof globalInfo);
    int32_t giSize = directory[PKG_ELEM_GLOBAL_INFO];
    int got = extractPkgElement(PKG_ELEM_GLOBAL_INFO, directory, fd, globalInfo,
                                PKG_GLOBAL_INFO_SIZE);
    check(got == (giSize <= PKG_GLOBAL_INFO_SIZE ? giSize : -1),
          "the global info read returns exactly the size or -1");
    for (size_t i = got > 0 ? static_cast<size_t>(got) : 0; i < sizeof globalInfo; i++)
        check(globalInfo[i] == 0x5A, "the global info read stays within its element");
    bool globalInfoRead = got == PKG_GLOBAL_INFO_SIZE; // what the driver demands

    // The command table: exactly size[3] bytes, one byte less is refused.
    uint32_t tableSize = static_cast<uint32_t>(directory[PKG_ELEM_COMMANDS]);
    check(tableSize <= size, "a valid directory's sizes lie within the file");
    unsigned char *table = static_cast<unsigned char *>(malloc(tableSize ? tableSize : 1));
    if (table == NULL)
        abort();
    if (tableSize > 0)
        check(extractPkgElement(PKG_ELEM_COMMANDS, directory, fd, table, tableSize - 1) == -1,
              "an element one byte over capacity is refused");
    got = extractPkgElement(PKG_ELEM_COMMANDS, directory, fd, table, tableSize);
    check(got == static_cast<int>(tableSize), "the command table is read whole");
    long long tableAt = elementOffset(directory, PKG_ELEM_COMMANDS, -1);
    check(memcmp(table, data + tableAt, tableSize) == 0, "the table holds the element's bytes");

    if (globalInfoRead) {
        int32_t recordCount = pkgGetI32(globalInfo + PKG_GI_COUNT_OFFSET);
        int32_t strict = pkgGetI32(globalInfo + PKG_GI_STRICT_OFFSET);
        bool tableValid = !(tableSize < PKG_RECORD_SIZE ||
                            recordCount > static_cast<int32_t>(tableSize / PKG_RECORD_SIZE));
        if (tableValid) {
            PfmInfo host;
            const unsigned char *record =
                platformCheck(recordCount, strict, table, tableSize, &host);
            check(record == table, "without a platform check the first record is run");
            uint32_t present = tableSize / PKG_RECORD_SIZE;
            uint32_t count = recordCount > 0 && static_cast<uint32_t>(recordCount) < present
                                 ? static_cast<uint32_t>(recordCount)
                                 : present;
            for (uint32_t i = 0; i < count; i++) {
                const unsigned char *r = table + i * PKG_RECORD_SIZE;
                const char *command = reinterpret_cast<const char *>(r) + PKG_REC_COMMAND_OFFSET;
                const char *args = reinterpret_cast<const char *>(r) + PKG_REC_ARGS_OFFSET;
                if (memchr(command, '\0', PKG_REC_COMMAND_SIZE) == NULL ||
                    memchr(args, '\0', PKG_REC_ARGS_SIZE) == NULL)
                    continue; // the driver refuses this record
                int32_t mode = pkgGetI32(r + PKG_REC_MODE_OFFSET);
                // A valid record's line always fits the driver's buffers.
                std::vector<char> cmd(CMD_BUFFER_SIZE), value(VALUE_BUFFER_SIZE);
                char arg0[] = "launcher", arg1[] = "-d", arg2[] = "x";
                char *argv[] = {arg0, arg1, arg2, NULL};
                check(buildToolCommand(cmd.data(), cmd.size(), value.data(), value.size(),
                                       command, args, mode, 1, argv) == CMDLINE_OK,
                      "a valid record's line fits");
                check(std::string(cmd.data()) == std::string(command) + " " + args,
                      "without user arguments the line is command, space, arguments");
                check(buildToolCommand(cmd.data(), cmd.size(), value.data(), value.size(),
                                       command, args, mode, 3, argv) == CMDLINE_OK,
                      "a valid record's line with a short value fits");
                check(strncmp(cmd.data(), command, strlen(command)) == 0,
                      "the line starts with the command");
            }
        }
    }
    free(table);

    // The unzip utility and the image.
    checkCopy(PKG_ELEM_UNZIP, directory, fd, data, elementOffset(directory, PKG_ELEM_UNZIP, -1),
              directory[PKG_ELEM_UNZIP]);
    long long imageAt = elementOffset(directory, PKG_ELEM_IMAGE, -1);
    checkCopy(PKG_ELEM_IMAGE, directory, fd, data, imageAt, directory[PKG_ELEM_IMAGE]);

    // An image pair, as the selection sets it up for either architecture.
    int32_t first = directory[PKG_DIR_FIRST_IMAGE_ENTRY];
    int32_t second = directory[PKG_DIR_SECOND_IMAGE_ENTRY];
    if (first != 0 && second != 0 &&
        static_cast<long long>(first) + second == directory[PKG_ELEM_IMAGE]) {
        int32_t pair[PKG_DIR_ENTRIES];
        memcpy(pair, directory, sizeof pair);
        whichImg = 0;
        pair[PKG_ELEM_IMAGE] = first;
        checkCopy(PKG_ELEM_IMAGE, pair, fd, data, imageAt, first);
        whichImg = 1;
        pair[PKG_ELEM_IMAGE] = second;
        check(seekToPkgElement(PKG_ELEM_IMAGE, pair, fd) == imageAt + first,
              "the second archive starts after the first");
        checkCopy(PKG_ELEM_IMAGE, pair, fd, data, imageAt + first, second);
        whichImg = -1;
    }
}

// Where the directory of a signed file lies, as the signature scan finds it;
// -1 when the file is too short for it.
// Where the directory of the input lies as its bytes say: at the end, or in
// front of a signature block that its trailer announces, behind the zeros
// that align it and the end marker.  -1 when a signed input's alignment or
// block is not what signing writes (the launcher refuses it).
long long directoryAt(const uint8_t *data, size_t size)
{
    if (size < static_cast<size_t>(PKG_TRAILER_SIZE))
        return -1;
    if (size < PKG_SIG_TRAILER_SIZE + static_cast<size_t>(PKG_TRAILER_SIZE))
        return static_cast<long long>(size) - PKG_TRAILER_SIZE;
    const uint32_t block = pkgSignatureBlockSize(data + size - PKG_SIG_TRAILER_SIZE, size);
    if (block == 0)
        return static_cast<long long>(size) - PKG_TRAILER_SIZE;
    const long long start = static_cast<long long>(size) - block;
    if (start < 8 + PKG_TRAILER_SIZE || start % 8 != 0)
        return -1;
    long long zeros = 0;
    while (zeros < 8 && data[start - 1 - zeros] == 0)
        zeros++;
    if (zeros == 8 || data[start - 1 - zeros] != PKG_END_MARKER)
        return -1;
    const uint8_t *b = data + start;
    const uint32_t comment = b[PKG_SIG_COMMENT_LENGTH_OFFSET] |
                             (b[PKG_SIG_COMMENT_LENGTH_OFFSET + 1] << 8);
    if (memcmp(b, PKG_SIG_MAGIC, 8) != 0 || b[PKG_SIG_ALG_OFFSET] != 'E' ||
        b[PKG_SIG_ALG_OFFSET + 1] != 'D' || comment > PKG_SIG_COMMENT_MAX ||
        PKG_SIG_MIN_SIZE + comment != block)
        return -1;
    return start - zeros - PKG_TRAILER_SIZE;
}

uint32_t checksumOf(const uint8_t *data, size_t size)
{
    PkgChecksumState state;
    pkgChecksumInit(&state);
    pkgChecksumUpdate(&state, data, size);
    return pkgChecksumFinal(&state);
}

// The record's checks, on the file's bytes as the input holds them.
void checkIntegrity(const int32_t *directory, int fd, const uint8_t *data)
{
    unsigned char bytes[PKG_DIR_SIZE];
    pkgEncodeDirectory(directory, bytes);
    const int state = pkgRecordState(bytes);
    bool sound = state == 0;
    if (state == 1) {
        sound = pkgDirectoryChecksum(bytes) == pkgRecordChecksum(bytes, 3);
        for (int i = PKG_ELEM_UNZIP; sound && i <= PKG_ELEM_COMMANDS; i++)
            sound = checksumOf(data + elementOffset(directory, i, -1),
                               static_cast<size_t>(directory[i])) == pkgRecordChecksum(bytes, i - 1);
    }
    if (state == 1 && sound && pkgRecordSize(bytes) >= PKG_REC_ZIPDIR_SIZE) {
        // Element 0, and the last bytes of each archive as the record counts them.
        sound = checksumOf(data, static_cast<size_t>(directory[0])) ==
                pkgRecordU32(bytes, PKG_REC_LAUNCHER_CHECKSUM_OFFSET);
        const long long image = elementOffset(directory, PKG_ELEM_IMAGE, -1);
        const int32_t first = directory[PKG_DIR_FIRST_IMAGE_ENTRY];
        const int32_t second = directory[PKG_DIR_SECOND_IMAGE_ENTRY];
        const bool pair = first > 0 && second > 0 &&
                          static_cast<long long>(first) + second == directory[PKG_ELEM_IMAGE];
        const long long ends[2] = {image + (pair ? first : directory[PKG_ELEM_IMAGE]),
                                   image + directory[PKG_ELEM_IMAGE]};
        const long long sizes[2] = {pair ? first : directory[PKG_ELEM_IMAGE], pair ? second : 0};
        std::string tails;
        for (int slot = 0; sound && slot < 2; slot++) {
            const uint32_t n = pkgRecordU32(bytes, PKG_REC_ZIPDIR_SIZE_OFFSET + 4 * slot);
            sound = n <= sizes[slot];
            if (sound)
                tails.append(reinterpret_cast<const char *>(data + ends[slot] - n), n);
        }
        sound = sound && checksumOf(reinterpret_cast<const uint8_t *>(tails.data()), tails.size()) ==
                             pkgRecordU32(bytes, PKG_REC_ZIPDIR_CHECKSUM_OFFSET);
    }
    check((checkPackageIntegrity(directory, fd) == 0) == sound,
          "a package passes the integrity check exactly when its record's checksums match");
}

void checkLocate(const uint8_t *data, size_t size)
{
    int32_t directory[PKG_DIR_ENTRIES];
    int fd = locatePkgDirectory("", packagePath.c_str(), directory);
    const long long at = directoryAt(data, size);
    bool expected = false;
    int32_t raw[PKG_DIR_ENTRIES];
    if (at >= 0) {
        memcpy(raw, data + at, PKG_DIR_SIZE);
        expected = directoryValid(raw, at);
    }
    check((fd >= 0) == expected, "the directory is found exactly when it is valid");
    if (fd < 0)
        return;
    check(memcmp(directory, raw, PKG_DIR_SIZE) == 0, "the directory holds the file's bytes");
    checkIntegrity(directory, fd, data);
    // Nothing the fuzzer makes is signed by the store's key; an empty store
    // locks nobody out.
    check(checkTrust(trustStore.c_str(), fd) == -1, "no unsigned input passes a trust store");
    check(checkTrust(emptyStore.c_str(), fd) == 0, "an empty trust store lets every package pass");
    if (pkgSignatureBlock == 0)
        checkLocatedPackage(directory, fd, data, size);
    fd_close(fd);
}

void removeStores()
{
    unlink((trustStore + "/fuzz.pub").c_str());
    rmdir(trustStore.c_str());
    rmdir(emptyStore.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The platform check takes the first record without identifying the host
    // (which would run uname).
    setenv("TRELL_PORTABLE_INTERACTIVE", "1", 1);
    reportFd = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (reportFd < 0)
        reportFd = 2;
    inputFd = openMemFile("package", packagePath);
    sinkFd = openMemFile("sink", sinkPath);
    char store[] = "/tmp/trell-fuzz-storeXXXXXX", empty[] = "/tmp/trell-fuzz-emptyXXXXXX";
    if (mkdtemp(store) == NULL || mkdtemp(empty) == NULL)
        abort();
    trustStore = store;
    emptyStore = empty;
    // A real key's public half (its secret half was never kept).
    FILE *key = fopen((trustStore + "/fuzz.pub").c_str(), "w");
    if (key == NULL)
        abort();
    fputs("untrusted comment: minisign public key 564D8F354F8C4DEE\n"
          "RWTuTYxPNY9NVngSdn8B7e2Jt3ii3UH2MiFDeBmGQKDpL89z8dTu1102\n", key);
    fclose(key);
    atexit(removeStores);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeWhole(inputFd, data, size);
    int freeFd = lowestFreeFd();

    if (size >= static_cast<size_t>(PKG_TRAILER_SIZE)) {
        int32_t raw[PKG_DIR_ENTRIES];
        memcpy(raw, data + size - PKG_TRAILER_SIZE, PKG_DIR_SIZE);
        checkRawDirectory(raw, data, size);
    }
    checkLocate(data, size);
    // The OS layer's answer agrees with the container's trailer.
    int signature = getSignatureSize(packagePath.c_str());
    check(signature == 0 || (signature >= PKG_SIG_MIN_SIZE && signature <= PKG_SIG_MAX_SIZE &&
                             static_cast<size_t>(signature) + PKG_TRAILER_SIZE <= size &&
                             memcmp(data + size - 8, PKG_SIG_TRAILER_MAGIC, 8) == 0),
          "a signature size comes from a trailer and fits the file");

    check(lowestFreeFd() == freeFd, "no descriptor is left open");
    whichImg = -1;
    return 0;
}
