// Preloaded into the tool by a fault-injection test: every stat() fails, as
// it does with EOVERFLOW on a 32-bit build without large-file support.
#include <cerrno>

#include <sys/stat.h>

namespace {

int overflow()
{
    errno = EOVERFLOW;
    return -1;
}

} // namespace

extern "C" {
int stat(const char *, struct stat *) { return overflow(); }
int lstat(const char *, struct stat *) { return overflow(); }
int fstat(int, struct stat *) { return overflow(); }
}
