// Helpers shared by the unit tests.
#ifndef TESTS_TEST_UTIL_H
#define TESTS_TEST_UTIL_H

#include <string>

// A fresh private directory under /tmp, removed with all its contents when
// the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string &path, const std::string &content);
std::string readFile(const std::string &path);

#endif
