#include "sys/full_device_flush.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool full_device_flush(int fd) {
    if (::fcntl(fd, F_FULLFSYNC) != -1) return true;
    // Volumes whose file system has no full flush (network and foreign ones) refuse the request;
    // for them fsync is the strongest flush there is. Any other failure is a failed flush.
    if (errno == ENOTSUP || errno == EINVAL) return ::fsync(fd) == 0;
    return false;
}
