#include "file_checks.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../common/io_loops.h"

namespace pkgtool {

static std::string kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return "it is a folder, not a regular file";
    if (S_ISFIFO(mode))
        return "it is a FIFO, not a regular file";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "it is a device, not a regular file";
    if (S_ISSOCK(mode))
        return "it is a socket, not a regular file";
    return "it is not a regular file";
}

// Opens path for reading, non-blocking, and keeps it only when it is a
// regular file, whose size it tells.  Result: a descriptor, or -1 with the
// problem in error.
static int openRegular(const std::string &path, off_t &size, std::string &error)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        error = path + ": " + kindOf(st.st_mode);
        close(fd);
        return -1;
    }
    size = st.st_size;
    return fd;
}

std::string notRegularFile(const std::string &path)
{
    std::string error;
    off_t size = 0;
    const int fd = openRegular(path, size, error);
    if (fd < 0)
        return error;
    close(fd);
    return "";
}

bool readRegularFile(const std::string &path, const std::string &what, size_t maxSize,
                     std::vector<unsigned char> &data, std::string &error)
{
    off_t size = 0;
    const int fd = openRegular(path, size, error);
    if (fd < 0) {
        error = "cannot read the " + what + " " + error;
        return false;
    }
    // Read to the end rather than trusting st_size: files under /proc
    // tell 0 and hold more, or fail on the first read.
    data.reserve(std::min(static_cast<size_t>(size), maxSize));
    const int result = readToEnd(fd, maxSize, data);
    if (result < 0)
        error = "cannot read the " + what + " " + path + ": " + std::strerror(errno);
    else if (result > 0)
        error = "the " + what + " " + path + " is over " + std::to_string(maxSize) + " bytes";
    close(fd);
    return result == 0;
}

namespace {

struct Filling {
    std::vector<unsigned char> *data;
    uint64_t limit;
};

int takePiece(void *context, const unsigned char *piece, size_t size)
{
    Filling *f = static_cast<Filling *>(context);
    if (size > f->limit - f->data->size())
        return 1;
    f->data->insert(f->data->end(), piece, piece + size);
    return 0;
}

} // namespace

int readToEnd(int fd, uint64_t limit, std::vector<unsigned char> &data)
{
    data.clear();
    Filling filling{&data, limit};
    unsigned char buffer[1 << 16];
    return ioReadToEnd(fd, buffer, sizeof buffer, takePiece, &filling);
}

std::string outputProblem(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return ""; // missing, or the write itself will say why not
    if (S_ISLNK(st.st_mode))
        return "cannot write " + path +
               ": it is a symbolic link (the package would replace the link, not its target)";
    if (!S_ISREG(st.st_mode))
        return "cannot write " + path + ": " + kindOf(st.st_mode);
    return "";
}

} // namespace pkgtool
