// Zip images with libzip: a folder zipped reproducibly, and an image read,
// checked and unpacked without running anything.
#include "zipimage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include "../common/pkglayout.h"

namespace pkgtool {

namespace {

constexpr uint16_t kDosDate1980 = (0 << 9) | (1 << 5) | 1; // 1980-01-01
constexpr size_t kChunk = 128 * 1024;

std::string errnoText(int error)
{
    return std::strerror(error);
}

// Opens a zip held in memory, read-only, with libzip's stricter checks
// (local headers against the central directory).
class ZipReader {
public:
    ZipReader() = default;
    ZipReader(const ZipReader &) = delete;
    ZipReader &operator=(const ZipReader &) = delete;
    ~ZipReader()
    {
        if (za_ != nullptr)
            zip_discard(za_);
    }

    bool open(const std::vector<unsigned char> &zip, std::string &error)
    {
        zip_error_t ze;
        zip_error_init(&ze);
        zip_source_t *src = zip_source_buffer_create(zip.empty() ? nullptr : zip.data(),
                                                     zip.size(), 0, &ze);
        if (src != nullptr) {
            za_ = zip_open_from_source(src, ZIP_RDONLY | ZIP_CHECKCONS, &ze);
            if (za_ == nullptr)
                zip_source_free(src);
        }
        if (za_ == nullptr)
            error = std::string("not a readable zip archive: ") + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return za_ != nullptr;
    }

    zip_t *get() const { return za_; }

private:
    zip_t *za_ = nullptr;
};

bool readEntries(zip_t *za, std::vector<ZipEntry> &entries, std::string &error)
{
    const zip_int64_t count = zip_get_num_entries(za, 0);
    for (zip_int64_t i = 0; i < count; i++) {
        const zip_uint64_t index = static_cast<zip_uint64_t>(i);
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(za, index, ZIP_FL_ENC_RAW, &st) != 0 || !(st.valid & ZIP_STAT_NAME)) {
            error = "cannot read entry " + std::to_string(i + 1) + ": " + zip_strerror(za);
            return false;
        }
        ZipEntry e;
        e.name = st.name;
        e.size = (st.valid & ZIP_STAT_SIZE) ? st.size : 0;
        e.compressedSize = (st.valid & ZIP_STAT_COMP_SIZE) ? st.comp_size : 0;
        e.method = (st.valid & ZIP_STAT_COMP_METHOD) ? st.comp_method : 0;
        e.encrypted = (st.valid & ZIP_STAT_ENCRYPTION_METHOD) && st.encryption_method != ZIP_EM_NONE;
        e.folder = !e.name.empty() && e.name.back() == '/';
        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(za, index, 0, &opsys, &attributes) == 0 &&
            opsys == ZIP_OPSYS_UNIX)
            e.executable = ((attributes >> 16) & 0111) != 0;
        entries.push_back(e);
    }
    return true;
}

// Splits a checked entry name into its path components.
std::vector<std::string> components(const std::string &name)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start < name.size()) {
        size_t slash = name.find('/', start);
        if (slash == std::string::npos)
            slash = name.size();
        parts.push_back(name.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

// One file or folder of a folder to zip.
struct Item {
    std::string name; // entry name, folders ending in '/'
    std::string path;
    bool folder = false;
    bool executable = false;
};

bool scanFolder(const std::string &root, const std::string &prefix, std::vector<Item> &items,
                std::string &error)
{
    const std::string dirPath = prefix.empty() ? root : root + "/" + prefix;
    DIR *dir = opendir(dirPath.c_str());
    if (dir == nullptr) {
        error = "cannot read the folder " + dirPath + ": " + errnoText(errno);
        return false;
    }
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        const dirent *d = readdir(dir);
        if (d == nullptr) {
            if (errno != 0) {
                error = "cannot read the folder " + dirPath + ": " + errnoText(errno);
                closedir(dir);
                return false;
            }
            break;
        }
        if (std::strcmp(d->d_name, ".") != 0 && std::strcmp(d->d_name, "..") != 0)
            names.push_back(d->d_name);
    }
    closedir(dir);
    // The file system's listing order must not show in the image.
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        Item item;
        item.path = dirPath + "/" + n;
        const std::string rel = prefix.empty() ? n : prefix + "/" + n;
        struct stat st;
        if (lstat(item.path.c_str(), &st) != 0) {
            error = "cannot read " + item.path + ": " + errnoText(errno);
            return false;
        }
        if (S_ISLNK(st.st_mode)) {
            error = item.path + " is a symbolic link: an image holds only files and folders "
                                "(the unzip utility cannot make links)";
            return false;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            error = item.path + " is neither a file nor a folder";
            return false;
        }
        item.folder = S_ISDIR(st.st_mode);
        item.executable = (st.st_mode & S_IXUSR) != 0;
        item.name = item.folder ? rel + "/" : rel;
        std::string problem = entryNameProblem(item.name);
        if (!problem.empty()) {
            error = item.path + ": " + problem;
            return false;
        }
        items.push_back(item);
        if (item.folder && !scanFolder(root, rel, items, error))
            return false;
    }
    return true;
}

bool readWholeFile(const std::string &path, uint64_t budget, std::vector<unsigned char> &data,
                   std::string &error)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot read " + path + ": " + errnoText(errno);
        return false;
    }
    data.clear();
    unsigned char buffer[64 * 1024];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + errnoText(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        if (data.size() + static_cast<size_t>(n) > budget) {
            error = "the image folder holds more than " + std::to_string(PKG_MAX_OFFSET) +
                    " bytes, too much for a package (at " + path + ")";
            close(fd);
            return false;
        }
        data.insert(data.end(), buffer, buffer + n);
    }
    close(fd);
    return true;
}

// Sets what makes an added entry's bytes independent of the machine: the
// time stamp, a fixed Unix mode, no extra fields.
bool fixEntry(zip_t *za, zip_uint64_t index, DosTime stamp, bool folder, bool executable)
{
    const zip_uint32_t mode = folder ? (S_IFDIR | 0755) : (S_IFREG | (executable ? 0755 : 0644));
    // The MS-DOS directory attribute (0x10) beside the Unix mode, as zip(1) writes it.
    const zip_uint32_t attributes = (mode << 16) | (folder ? 0x10 : 0);
    return zip_file_set_dostime(za, index, stamp.time, stamp.date, 0) == 0 &&
           zip_file_set_external_attributes(za, index, 0, ZIP_OPSYS_UNIX, attributes) == 0 &&
           zip_file_extra_field_delete(za, index, ZIP_EXTRA_FIELD_ALL,
                                       ZIP_FL_LOCAL | ZIP_FL_CENTRAL) == 0;
}

bool addItem(zip_t *za, const Item &item, DosTime stamp, uint64_t &budget, std::string &error)
{
    zip_int64_t index;
    if (item.folder) {
        index = zip_dir_add(za, item.name.c_str(), ZIP_FL_ENC_GUESS);
    } else {
        std::vector<unsigned char> data;
        if (!readWholeFile(item.path, budget, data, error))
            return false;
        budget -= data.size();
        // libzip frees the copy with free() once the archive is written.
        void *copy = std::malloc(data.empty() ? 1 : data.size());
        if (copy == nullptr) {
            error = "out of memory reading " + item.path;
            return false;
        }
        if (!data.empty())
            std::memcpy(copy, data.data(), data.size());
        zip_source_t *src = zip_source_buffer(za, copy, data.size(), 1);
        if (src == nullptr) {
            std::free(copy);
            error = "cannot zip " + item.path + ": " + zip_strerror(za);
            return false;
        }
        index = zip_file_add(za, item.name.c_str(), src, ZIP_FL_ENC_GUESS);
        if (index < 0) {
            zip_source_free(src);
        } else if (zip_set_file_compression(za, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE,
                                            9) != 0) {
            index = -1;
        }
    }
    if (index < 0 || !fixEntry(za, static_cast<zip_uint64_t>(index), stamp, item.folder,
                               item.executable)) {
        error = "cannot zip " + item.path + ": " + zip_strerror(za);
        return false;
    }
    return true;
}

bool readSource(zip_source_t *src, std::vector<unsigned char> &out, std::string &error)
{
    if (zip_source_open(src) != 0) {
        error = std::string("cannot read the zipped image: ") +
                zip_error_strerror(zip_source_error(src));
        return false;
    }
    bool ok = zip_source_seek(src, 0, SEEK_END) == 0;
    const zip_int64_t size = ok ? zip_source_tell(src) : -1;
    ok = size >= 0 && zip_source_seek(src, 0, SEEK_SET) == 0;
    if (ok) {
        out.resize(static_cast<size_t>(size));
        ok = zip_source_read(src, out.data(), out.size()) == size;
    }
    if (!ok)
        error = std::string("cannot read the zipped image: ") +
                zip_error_strerror(zip_source_error(src));
    zip_source_close(src);
    return ok;
}

} // namespace

bool imageTimeStamp(DosTime &stamp, std::string &error)
{
    stamp = DosTime{0, kDosDate1980};
    const char *env = std::getenv("SOURCE_DATE_EPOCH");
    if (env == nullptr || *env == '\0')
        return true;
    const std::string text(env);
    errno = 0;
    char *end = nullptr;
    const unsigned long long seconds = std::strtoull(env, &end, 10);
    struct tm tm;
    if (text.find_first_not_of("0123456789") != std::string::npos || errno != 0 ||
        *end != '\0' || seconds > 0xFFFFFFFFFFull) {
        error = "SOURCE_DATE_EPOCH '" + text + "' is not a number of seconds since 1970";
        return false;
    }
    const time_t t = static_cast<time_t>(seconds);
    if (gmtime_r(&t, &tm) == nullptr) {
        error = "SOURCE_DATE_EPOCH '" + text + "' is not a time";
        return false;
    }
    const int year = tm.tm_year + 1900;
    if (year < 1980)
        return true; // a zip time starts in 1980
    if (year > 2107) {
        error = "SOURCE_DATE_EPOCH '" + text + "' lies after 2107, past what a zip entry can hold";
        return false;
    }
    stamp.date = static_cast<uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    stamp.time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
    return true;
}

bool zipFolder(const std::string &folder, DosTime stamp, std::vector<unsigned char> &zip,
               std::string &error)
{
    std::string root = folder;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    std::vector<Item> items;
    if (!scanFolder(root, "", items, error))
        return false;
    if (items.empty()) {
        error = "the image folder " + folder + " is empty";
        return false;
    }

    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t *mem = zip_source_buffer_create(nullptr, 0, 0, &ze);
    zip_t *za = nullptr;
    if (mem != nullptr) {
        zip_source_keep(mem); // read back after zip_close
        za = zip_open_from_source(mem, ZIP_TRUNCATE, &ze);
    }
    if (za == nullptr) {
        error = std::string("cannot start a zip archive: ") + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        if (mem != nullptr)
            zip_source_free(mem);
        return false;
    }
    zip_error_fini(&ze);

    uint64_t budget = PKG_MAX_OFFSET;
    bool ok = true;
    for (const Item &item : items) {
        if (!addItem(za, item, stamp, budget, error)) {
            ok = false;
            break;
        }
    }
    if (ok && zip_close(za) != 0) {
        error = std::string("cannot zip the folder ") + folder + ": " + zip_strerror(za);
        ok = false;
    }
    if (!ok) {
        zip_discard(za);
        zip_source_free(mem);
        return false;
    }
    ok = readSource(mem, zip, error);
    zip_source_free(mem);
    return ok;
}

std::string entryNameProblem(const std::string &name)
{
    if (name.empty())
        return "an entry has an empty name";
    if (name.size() > kMaxEntryName)
        return "the name is " + std::to_string(name.size()) + " bytes, at most " +
               std::to_string(kMaxEntryName) + " fit the unzip utility";
    if (name[0] == '/')
        return "the name is absolute";
    const std::string trimmed = name.back() == '/' ? name.substr(0, name.size() - 1) : name;
    for (const std::string &part : components(trimmed)) {
        if (part == "..")
            return "the name climbs out of the image with \"..\"";
        if (part.empty() || part == ".")
            return "the name has an empty or \".\" part";
    }
    return "";
}

std::string printableName(const std::string &name)
{
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool listZip(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
             std::string &error)
{
    ZipReader reader;
    return reader.open(zip, error) && readEntries(reader.get(), entries, error);
}

void checkZip(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
              std::vector<std::string> &problems)
{
    ZipReader reader;
    std::string error;
    if (!reader.open(zip, error) || !readEntries(reader.get(), entries, error)) {
        problems.push_back(error);
        return;
    }
    std::vector<unsigned char> buffer(kChunk);
    for (size_t i = 0; i < entries.size(); i++) {
        const ZipEntry &e = entries[i];
        const std::string label = "entry '" + printableName(e.name) + "'";
        std::string problem = entryNameProblem(e.name);
        if (!problem.empty()) {
            problems.push_back(label + ": " + problem);
            continue;
        }
        if (e.encrypted) {
            problems.push_back(label + " is encrypted; the unzip utility runs without a password");
            continue;
        }
        if (e.method != ZIP_CM_STORE && e.method != ZIP_CM_DEFLATE) {
            problems.push_back(label + " is compressed with method " + std::to_string(e.method) +
                               "; the unzip utility takes only stored or deflated entries");
            continue;
        }
        zip_file_t *zf = zip_fopen_index(reader.get(), i, 0);
        if (zf == nullptr) {
            problems.push_back(label + " cannot be read: " + zip_strerror(reader.get()));
            continue;
        }
        uint64_t total = 0;
        for (;;) {
            const zip_int64_t n = zip_fread(zf, buffer.data(), buffer.size());
            if (n < 0) {
                problems.push_back(label + " is damaged: " + zip_file_strerror(zf));
                break;
            }
            if (n == 0) {
                if (total != e.size)
                    problems.push_back(label + " holds " + std::to_string(total) +
                                       " bytes, not the " + std::to_string(e.size) +
                                       " its header says");
                break;
            }
            total += static_cast<uint64_t>(n);
        }
        zip_fclose(zf);
    }
}

bool unpackZip(const std::vector<unsigned char> &zip, const std::string &folder,
               std::string &error)
{
    // Everything is checked before anything is written.
    std::vector<ZipEntry> entries;
    std::vector<std::string> problems;
    checkZip(zip, entries, problems);
    if (!problems.empty()) {
        error = problems[0];
        if (problems.size() > 1)
            error += " (and " + std::to_string(problems.size() - 1) + " more problems)";
        return false;
    }
    ZipReader reader;
    if (!reader.open(zip, error))
        return false;

    if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
        error = "cannot create the folder " + folder + ": " + errnoText(errno);
        return false;
    }
    const int root = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        error = "cannot open the folder " + folder + ": " + errnoText(errno);
        return false;
    }
    std::vector<unsigned char> buffer(kChunk);
    bool ok = true;
    for (size_t i = 0; ok && i < entries.size(); i++) {
        const ZipEntry &e = entries[i];
        const std::vector<std::string> parts =
            components(e.folder ? e.name.substr(0, e.name.size() - 1) : e.name);
        const size_t dirParts = e.folder ? parts.size() : parts.size() - 1;
        int dir = dup(root);
        std::string where = folder;
        for (size_t p = 0; ok && p < dirParts; p++) {
            where += "/" + parts[p];
            if (mkdirat(dir, parts[p].c_str(), 0777) != 0 && errno != EEXIST) {
                error = "cannot create the folder " + printableName(where) + ": " +
                        errnoText(errno);
                ok = false;
                break;
            }
            // O_NOFOLLOW: a link already in the folder never leads outside it.
            const int next = openat(dir, parts[p].c_str(),
                                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0) {
                const int saved = errno;
                struct stat st;
                const bool link = fstatat(dir, parts[p].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                  S_ISLNK(st.st_mode);
                error = "cannot enter the folder " + printableName(where) + ": " +
                        (link ? std::string("it is a symbolic link") : errnoText(saved));
                ok = false;
                break;
            }
            close(dir);
            dir = next;
        }
        if (ok && !e.folder) {
            const std::string &leaf = parts.back();
            where += "/" + leaf;
            // Replaced, never written through: an existing link or hard link
            // must not carry the data elsewhere.
            if (unlinkat(dir, leaf.c_str(), 0) != 0 && errno != ENOENT) {
                error = "cannot replace " + printableName(where) + ": " + errnoText(errno);
                ok = false;
            }
            // The process's umask applies, as to any file a tool makes.
            const mode_t mode = e.executable ? 0777 : 0666;
            const int fd = ok ? openat(dir, leaf.c_str(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)
                              : -1;
            if (ok && fd < 0) {
                error = "cannot write " + printableName(where) + ": " + errnoText(errno);
                ok = false;
            }
            zip_file_t *zf = ok ? zip_fopen_index(reader.get(), i, 0) : nullptr;
            if (ok && zf == nullptr) {
                error = "cannot read entry '" + printableName(e.name) +
                        "': " + zip_strerror(reader.get());
                ok = false;
            }
            while (ok) {
                const zip_int64_t n = zip_fread(zf, buffer.data(), buffer.size());
                if (n < 0) {
                    error = "entry '" + printableName(e.name) + "' is damaged: " +
                            zip_file_strerror(zf);
                    ok = false;
                    break;
                }
                if (n == 0)
                    break;
                const unsigned char *p = buffer.data();
                size_t left = static_cast<size_t>(n);
                while (left > 0) {
                    const ssize_t w = write(fd, p, left);
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0) {
                        error = "cannot write " + printableName(where) + ": " +
                                errnoText(w < 0 ? errno : ENOSPC);
                        ok = false;
                        break;
                    }
                    p += w;
                    left -= static_cast<size_t>(w);
                }
            }
            if (zf != nullptr)
                zip_fclose(zf);
            if (fd >= 0) {
                if (close(fd) != 0 && ok) {
                    error = "cannot write " + printableName(where) + ": " + errnoText(errno);
                    ok = false;
                }
                if (!ok)
                    unlinkat(dir, leaf.c_str(), 0);
            }
        }
        close(dir);
    }
    close(root);
    return ok;
}

} // namespace pkgtool
