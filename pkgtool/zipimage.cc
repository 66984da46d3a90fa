// Zip images: a folder zipped reproducibly with libzip.  Images are read
// with the common reader (zipcheck.cc).
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
#include "../common/zipread.h"
#include "progress.h"

namespace pkgtool {

namespace {

constexpr uint16_t kDosDate1980 = (0 << 9) | (1 << 5) | 1; // 1980-01-01

std::string errnoText(int error)
{
    return std::strerror(error);
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
        // libzip frees the copy with free() once the archive is written; it
        // frees no buffer of an empty file, so that one gets none.
        void *copy = data.empty() ? nullptr : std::malloc(data.size());
        if (!data.empty() && copy == nullptr) {
            error = "out of memory reading " + item.path;
            return false;
        }
        if (!data.empty())
            std::memcpy(copy, data.data(), data.size());
        zip_source_t *src = zip_source_buffer(za, copy, data.size(), copy != nullptr);
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
    // Compression happens in zip_close: the long part of a large folder.
    Progress zipping("zipping the image");
    if (ok && zipping.shown())
        zip_register_progress_callback_with_state(
            za, 0.001,
            [](zip_t *, double fraction, void *p) { static_cast<Progress *>(p)->update(fraction); },
            nullptr, &zipping);
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
    const int code = zipNameProblem(reinterpret_cast<const unsigned char *>(name.data()),
                                    static_cast<uint32_t>(name.size()));
    return code == ZIP_FINE ? "" : zipProblemText(code);
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

} // namespace pkgtool
