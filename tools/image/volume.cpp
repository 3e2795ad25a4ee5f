// volume.cpp - opening an image once, locked, for every walk over it.
#include "image/volume.h"

#include "base/error.h"
#include "base/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

Volume::Volume(int fd, bool owned, std::string name, const Limits& limits)
    : fd_(fd), owned_(owned), name_(std::move(name)), limits_(limits) {
    struct stat st;
    size_ = fstat(fd_, &st) == 0 ? st.st_size : -1;
}

Volume::Volume(Volume&& other) noexcept
    : fd_(other.fd_), owned_(other.owned_), name_(std::move(other.name_)), size_(other.size_),
      limits_(other.limits_) {
    other.fd_ = -1;
    other.owned_ = false;
}

Volume::~Volume() {
    if (owned_ && fd_ >= 0) ::close(fd_);
}

Volume Volume::forReading(const std::string& path, const Limits& limits) {
    std::string real = path;
    if (path == "-") {
        // A file on standard input is reached anew; a pipe cannot be walked both ways.
        struct stat st;
        if (fstat(STDIN_FILENO, &st) != 0 || !S_ISREG(st.st_mode))
            throw ToolError("standard input", "is not a file; an image must be one");
        real = "/dev/stdin";
    }
    ImageLock lock(limits.wait);  // a shared lock lives on the descriptor, not in this object
    for (;;) {
        errno = 0;
        const int fd = ::open(real.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw ToolError(path, "cannot open the image " + cause(-1, errno), kExitUsage);
        Volume v(fd, true, path, limits);
        struct stat st;
        if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
            throw ToolError(path, "cannot open the image " + cause(0, EISDIR), kExitUsage);
        if (lock.lock(fd, real, false)) return v;
        // A writer put a new file in its place: read that one.
    }
}

Volume Volume::onDescriptor(int fd, const std::string& name, const Limits& limits) {
    return Volume(fd, false, name, limits);
}

int Volume::bytesAt(long long offset, unsigned char* to, int n) const {
    if (offset < 0) return 0;
    const ssize_t got = pread(fd_, to, static_cast<size_t>(n), offset);
    return got < 0 ? 0 : static_cast<int>(got);
}

Volume openSourceForNewFile(const std::string& source, const std::string& target, bool force, const Limits& limits,
                            ImageLock& dstLock) {
    Volume src = Volume::forReading(source, limits);
    refuseSameFile(source, STDIN_FILENO, target, STDOUT_FILENO);
    if (target != "-") dstLock.claim(target);
    refuseToReplace(target, force, false);
    return src;
}

}  // namespace orvtool
