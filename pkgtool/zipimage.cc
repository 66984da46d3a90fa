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
#include "file_checks.h"
#include "progress.h"

namespace pkgtool {

namespace {

constexpr uint16_t kDosDate1980 = (0 << 9) | (1 << 5) | 1; // 1980-01-01

std::string errnoText(int error)
{
    return std::strerror(error);
}

// One file or folder of a folder to zip, as the walk found it.
struct Item {
    std::string name; // entry name, folders ending in '/'
    std::string path; // for messages
    bool folder = false;
    bool executable = false;
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec changed = {}; // st_ctim: any change to it moves this
    std::vector<unsigned char> data; // a file's bytes
};

// A walk of the image folder through directory descriptors: each folder
// and file is opened relative to the folder that listed it, never through
// a link, and must be the object the listing's lstat saw (device and
// inode), so that no path string is opened twice.  The walk reads each
// file as it finds it (scan and read are one pass): a regular file that
// does not change while it is read.
struct Walk {
    bool readData = true;
    uint64_t budget = PKG_MAX_OFFSET;
    std::vector<Item> items;
    std::string error;

    bool fail(const std::string &text)
    {
        error = text;
        return false;
    }
    bool changed(const std::string &path)
    {
        return fail(path + " changed while the image was built: it is no longer what the scan "
                           "found there");
    }
};

bool sameObject(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameTime(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The names in the folder open as dir, sorted.
bool listFolder(Walk &w, int dir, const std::string &path, std::vector<std::string> &names)
{
    const int copy = dup(dir);
    DIR *d = copy >= 0 ? fdopendir(copy) : nullptr;
    if (d == nullptr) {
        if (copy >= 0)
            close(copy);
        return w.fail("cannot read the folder " + path + ": " + errnoText(errno));
    }
    for (;;) {
        errno = 0;
        const dirent *e = readdir(d);
        if (e == nullptr) {
            const int error = errno;
            closedir(d);
            if (error != 0)
                return w.fail("cannot read the folder " + path + ": " + errnoText(error));
            break;
        }
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    }
    // The file system's listing order must not show in the image.
    std::sort(names.begin(), names.end());
    return true;
}

// Reads the file name (lstat'ed as st) in dir into item.data.
bool readFile(Walk &w, int dir, const std::string &name, const struct stat &st, Item &item)
{
    // O_NONBLOCK: a FIFO swapped in is opened at once, and refused below.
    const int fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? w.changed(item.path)
                              : w.fail("cannot read " + item.path + ": " + errnoText(errno));
    struct stat opened;
    bool ok = fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && sameObject(st, opened);
    const int result = ok ? readToEnd(fd, w.budget, item.data) : 0;
    if (result < 0) {
        const int error = errno;
        close(fd);
        return w.fail("cannot read " + item.path + ": " + errnoText(error));
    }
    if (result > 0) {
        close(fd);
        return w.fail("the image folder holds more than " + std::to_string(PKG_MAX_OFFSET) +
                      " bytes, too much for a package (at " + item.path + ")");
    }
    w.budget -= item.data.size();
    // Whole and unchanged while it was read.
    ok = ok && fstat(fd, &opened) == 0 && sameTime(st.st_ctim, opened.st_ctim) &&
         static_cast<uint64_t>(opened.st_size) == item.data.size();
    close(fd);
    return ok || w.changed(item.path);
}

// Walks the folder open as dir, at prefix ("" for the top) and depth parts
// below the top.
bool walkFolder(Walk &w, int dir, const std::string &path, const std::string &prefix, int depth)
{
    std::vector<std::string> names;
    if (!listFolder(w, dir, path, names))
        return false;
    for (const std::string &n : names) {
        Item item;
        item.path = path + "/" + n;
        const std::string rel = prefix.empty() ? n : prefix + "/" + n;
        struct stat st;
        if (fstatat(dir, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return w.fail("cannot read " + item.path + ": " + errnoText(errno));
        if (S_ISLNK(st.st_mode))
            return w.fail(item.path + " is a symbolic link: an image holds only files and "
                                      "folders (the unzip utility cannot make links)");
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode))
            return w.fail(item.path + " is neither a file nor a folder");
        item.folder = S_ISDIR(st.st_mode);
        item.executable = (st.st_mode & S_IXUSR) != 0;
        item.name = item.folder ? rel + "/" : rel;
        item.device = st.st_dev;
        item.inode = st.st_ino;
        item.changed = st.st_ctim;
        const std::string problem = entryNameProblem(item.name);
        if (!problem.empty())
            return w.fail(item.path + ": " + problem);
        if (depth + 1 > ZIP_MAX_DEPTH)
            return w.fail(item.path + ": " + zipProblemText(ZIP_TOO_DEEP));
        if (!item.folder) {
            if (w.readData && !readFile(w, dir, n, st, item))
                return false;
            w.items.push_back(std::move(item));
            continue;
        }
        const int sub = openat(dir, n.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0)
            return errno == ELOOP || errno == ENOTDIR
                       ? w.changed(item.path)
                       : w.fail("cannot read the folder " + item.path + ": " + errnoText(errno));
        struct stat opened;
        const bool same = fstat(sub, &opened) == 0 && sameObject(st, opened);
        // A copy: the items grow (and move) while the folder is walked.
        const std::string folderPath = item.path;
        w.items.push_back(std::move(item));
        const bool ok = same ? walkFolder(w, sub, folderPath, rel, depth + 1)
                             : w.changed(folderPath);
        close(sub);
        if (!ok)
            return false;
    }
    return true;
}

// Walks the image folder root (a folder the user names: a link there is
// followed).  Result: true, or false with the problem in w.error.
bool walkImage(Walk &w, const std::string &root)
{
    const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return w.fail("cannot read the folder " + root + ": " + errnoText(errno));
    const bool ok = walkFolder(w, fd, root, "", 0);
    close(fd);
    return ok;
}

// After the build: the folder must still hold exactly what the walk found,
// each object unchanged.
bool unchanged(const std::string &root, const std::vector<Item> &items, std::string &error)
{
    Walk again;
    again.readData = false;
    if (!walkImage(again, root)) {
        error = "the image folder changed while the image was built: " + again.error;
        return false;
    }
    for (size_t i = 0; i < items.size() || i < again.items.size(); i++) {
        const Item *a = i < items.size() ? &items[i] : nullptr;
        const Item *b = i < again.items.size() ? &again.items[i] : nullptr;
        if (a != nullptr && b != nullptr && a->name == b->name && a->device == b->device &&
            a->inode == b->inode && sameTime(a->changed, b->changed))
            continue;
        again.changed(a != nullptr ? a->path : b->path);
        error = again.error;
        return false;
    }
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

bool addItem(zip_t *za, const Item &item, DosTime stamp, std::string &error)
{
    zip_int64_t index;
    if (item.folder) {
        index = zip_dir_add(za, item.name.c_str(), ZIP_FL_ENC_GUESS);
    } else {
        // The bytes stay with the item until the archive is written.
        zip_source_t *src = zip_source_buffer(za, item.data.data(), item.data.size(), 0);
        if (src == nullptr) {
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

bool sourceDateEpoch(bool &set, int64_t &seconds, std::string &error)
{
    set = false;
    const char *env = std::getenv("SOURCE_DATE_EPOCH");
    if (env == nullptr || *env == '\0')
        return true;
    const std::string text(env);
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(env, &end, 10);
    struct tm tm;
    if (text.find_first_not_of("0123456789") != std::string::npos || errno != 0 ||
        *end != '\0' || value > 0xFFFFFFFFFFull) {
        error = "SOURCE_DATE_EPOCH '" + text + "' is not a number of seconds since 1970";
        return false;
    }
    const time_t t = static_cast<time_t>(value);
    if (gmtime_r(&t, &tm) == nullptr) {
        error = "SOURCE_DATE_EPOCH '" + text + "' is not a time";
        return false;
    }
    set = true;
    seconds = static_cast<int64_t>(value);
    return true;
}

bool imageTimeStamp(DosTime &stamp, std::string &error)
{
    stamp = DosTime{0, kDosDate1980};
    bool set = false;
    int64_t seconds = 0;
    if (!sourceDateEpoch(set, seconds, error))
        return false;
    if (!set)
        return true;
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    gmtime_r(&t, &tm); // a time sourceDateEpoch took
    const int year = tm.tm_year + 1900;
    if (year < 1980)
        return true; // a zip time starts in 1980
    if (year > 2107) {
        error = "SOURCE_DATE_EPOCH '" + std::string(std::getenv("SOURCE_DATE_EPOCH")) +
                "' lies after 2107, past what a zip entry can hold";
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
    Walk walk;
    if (!walkImage(walk, root)) {
        error = walk.error;
        return false;
    }
    const std::vector<Item> &items = walk.items;
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

    bool ok = true;
    for (const Item &item : items) {
        if (!addItem(za, item, stamp, error)) {
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
    return ok && unchanged(root, items, error);
}

std::string entryNameProblem(const std::string &name)
{
    const int code = zipNameProblem(reinterpret_cast<const unsigned char *>(name.data()),
                                    static_cast<uint32_t>(name.size()));
    return code == ZIP_FINE ? "" : zipProblemText(code);
}

} // namespace pkgtool
