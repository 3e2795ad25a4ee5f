// device.cpp - the tape driver's calls, each failure left in errno for the
// caller, which alone knows what it means there.
#include "drive/device.h"

#include "base/error.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mtio.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace orvtool {

namespace {
constexpr unsigned kScsiTapeMajor = 9;
constexpr unsigned kNoRewindBit = 128;
}  // namespace

TapeDevice::TapeDevice(const std::string& path, bool forWriting) : path_(path) {
    fd_ = ::open(path.c_str(), (forWriting ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd_ < 0) throw ToolError(path, "cannot open the tape device: " + errnoWords(errno), kExitUsage);
    struct mtget g {};
    if (::ioctl(fd_, MTIOCGET, &g) != 0) {
        const int err = errno;
        ::close(fd_);
        throw ToolError(path, "is no tape device the system's tape driver serves (" + errnoWords(err) + ")",
                        kExitUsage);
    }
}

TapeDevice::~TapeDevice() {
    if (fd_ >= 0) ::close(fd_);
}

ssize_t TapeDevice::read(void* buf, std::size_t size) { return ::read(fd_, buf, size); }

bool TapeDevice::write(const void* data, std::size_t length) {
    const ssize_t n = ::write(fd_, data, length);
    if (n >= 0 && static_cast<std::size_t>(n) != length) errno = ENOSPC;  // a block is written whole or not at all
    return n >= 0 && static_cast<std::size_t>(n) == length;
}

bool TapeDevice::operate(short op, int count) {
    struct mtop o {};
    o.mt_op = op;
    o.mt_count = count;
    return ::ioctl(fd_, MTIOCTOP, &o) == 0;
}

bool TapeDevice::status(DriveStatus& s) {
    struct mtget g {};
    if (::ioctl(fd_, MTIOCGET, &g) != 0) return false;
    s.file = g.mt_fileno;
    s.block = g.mt_blkno;
    s.atLoadPoint = GMT_BOT(g.mt_gstat);
    s.afterMark = GMT_EOF(g.mt_gstat);
    s.endOfData = GMT_EOD(g.mt_gstat);
    s.writeProtected = GMT_WR_PROT(g.mt_gstat);
    s.online = GMT_ONLINE(g.mt_gstat);
    return true;
}

bool TapeDevice::gone(int err) { return err == ENXIO || err == ENODEV || err == ENOMEDIUM || err == EBADF; }

bool rewindsOnClose(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == kScsiTapeMajor)
        return (minor(st.st_rdev) & kNoRewindBit) == 0;
    const std::string base = path.substr(path.find_last_of('/') + 1);
    return base.size() > 2 && base.compare(0, 2, "st") == 0 && base[2] >= '0' && base[2] <= '9';
}

}  // namespace orvtool
