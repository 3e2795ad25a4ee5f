// safe_file.cpp - temporary file and rename, image locks, same-file checks.
#include "safe_file.h"
#include "orvtape.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace orvtool {

bool ImageLock::wait = false;

namespace {

// The temporary file to remove when a signal ends the process; written only
// outside signal handlers, read inside one.
char pendingTemp[PATH_MAX];

void removePendingTemp(int sig) {
    if (pendingTemp[0]) ::unlink(pendingTemp);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void setPendingTemp(const std::string& path) {
    if (path.size() >= sizeof pendingTemp) return;  // mkstemp would have refused it
    std::memcpy(pendingTemp, path.c_str(), path.size() + 1);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) std::signal(sig, removePendingTemp);
}

std::string dirOf(const std::string& path) {
    std::vector<char> b(path.begin(), path.end());
    b.push_back(0);
    return dirname(b.data());
}

std::string baseOf(const std::string& path) {
    std::vector<char> b(path.begin(), path.end());
    b.push_back(0);
    return basename(b.data());
}

// The file a new one must replace: the end of a symlink chain, so that the
// link stays a link.
std::string realTarget(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return path;
    std::string r = real;
    std::free(real);
    return r;
}

bool writeAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

void reopenClosedStdStreams() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) ::open("/dev/null", fd ? O_WRONLY : O_RDONLY);
}

bool identify(const std::string& path, int stdFd, struct stat& st) {
    return path == "-" ? fstat(stdFd, &st) == 0 : stat(path.c_str(), &st) == 0;
}

void refuseSameFile(const std::string& a, int aStdFd, const std::string& b, int bStdFd) {
    struct stat sa, sb;
    if (identify(a, aStdFd, sa) && identify(b, bStdFd, sb) && sa.st_dev == sb.st_dev &&
        sa.st_ino == sb.st_ino && S_ISREG(sa.st_mode)) {
        if (a != "-" && b != "-") throw ToolError(b, "is the source itself", kExitUsage);
        if (a == "-" && b == "-")
            throw ToolError("standard output", "is standard input itself", kExitUsage);
        const std::string& named = a == "-" ? b : a;
        int stdFd = a == "-" ? aStdFd : bStdFd;
        throw ToolError(named, std::string(stdFd == STDIN_FILENO ? "standard input" : "standard output") +
                                   " is this file itself", kExitUsage);
    }
}

void refuseToReplace(const std::string& path, bool force, bool stream) {
    struct stat st;
    if (path == "-" || stat(path.c_str(), &st) != 0) return;  // nothing there to lose
    if (S_ISDIR(st.st_mode)) throw ToolError(path, "is a directory " + cause(0, EISDIR));
    if (!S_ISREG(st.st_mode)) {
        if (stream) return;  // written straight, as a stream
        throw ToolError(path, "is not a regular file: an image cannot replace it");
    }
    if (st.st_size > 0 && !force)
        throw ToolError(path, "exists and is not empty; use --force to replace it");
}

NewFile::NewFile(const std::string& target, bool stream) : target_(target) {
    struct stat st;
    bool exists = target != "-" && stat(target.c_str(), &st) == 0;
    if (stream && (target == "-" || (exists && !S_ISREG(st.st_mode)))) {
        fd_ = target == "-" ? STDOUT_FILENO : ::open(target.c_str(), O_WRONLY);
        if (fd_ < 0) throw ToolError(target, "cannot open for writing " + cause(0, errno));
        return;
    }
    std::string real = target == "-" ? "" : realTarget(target);
    const char* tmpdir = std::getenv("TMPDIR");
    std::string dir = target == "-" ? (tmpdir && *tmpdir ? tmpdir : "/tmp") : dirOf(real);
    std::string pattern = dir + "/." + (target == "-" ? "orvtape" : baseOf(real)) + ".part-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    fd_ = mkstemp(name.data());
    if (fd_ < 0)
        throw ToolError(target, "cannot create a file in " + dir + " " + cause(0, errno));
    temp_ = name.data();
    setPendingTemp(temp_);
    if (target != "-") target_ = real;
    // The new file takes the place of the old one, so it keeps its mode and
    // owner; a file that is new gets the mode any created file would.
    replaces_ = exists;
    if (exists) {
        if (fchown(fd_, st.st_uid, st.st_gid) != 0) {}  // only root may give files away
        fchmod(fd_, st.st_mode & 07777);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        fchmod(fd_, 0666 & ~mask);
    }
}

NewFile::~NewFile() {
    if (!temp_.empty() && !done_) ::unlink(temp_.c_str());
    pendingTemp[0] = 0;
    if (fd_ > STDERR_FILENO) ::close(fd_);
}

void NewFile::commit() {
    const std::string shown = target_ == "-" ? "standard output" : target_;
    if (temp_.empty()) {
        if (fd_ > STDERR_FILENO && ::close(fd_) != 0) {
            fd_ = -1;
            throw ToolError(shown, "cannot write " + cause(0, errno));
        }
        fd_ = -1;
        done_ = true;
        return;
    }
    if (replaces_ && fsync(fd_) != 0) throw ToolError(shown, "cannot write " + cause(0, errno));
    if (target_ == "-") {
        std::vector<char> buf(1 << 16);
        for (off_t at = 0;;) {
            ssize_t n = pread(fd_, buf.data(), buf.size(), at);
            if (n < 0) throw ToolError(temp_, "cannot read " + cause(0, errno));
            if (n == 0) break;
            if (!writeAll(STDOUT_FILENO, buf.data(), static_cast<size_t>(n)))
                throw ToolError(shown, "cannot write " + cause(0, errno));
            at += n;
        }
        return;  // the destructor removes the temporary file
    }
    // Some file systems report a lost write only when the file is closed.
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw ToolError(shown, "cannot write " + cause(0, errno));
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
        throw ToolError(target_, "cannot replace it with " + temp_ + " " + cause(0, errno));
    done_ = true;
    if (!replaces_) return;
    // The rename itself must reach the disk too.
    int dir = ::open(dirOf(target_).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        ::close(dir);
    }
}

ImageLock::~ImageLock() {
    if (ownFd_ >= 0) ::close(ownFd_);
}

void ImageLock::lock(int fd, const std::string& path, bool exclusive) {
    int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait ? 0 : LOCK_NB);
    int rc;
    while ((rc = flock(fd, op)) != 0 && errno == EINTR) {}
    if (rc != 0 && errno == EWOULDBLOCK) throw ToolError(path, "in use by another process");
    // Other failures (a file system without locks) leave the file unlocked:
    // refusing would make such images unusable.
    struct stat a, b;
    if (path != "-" && fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 &&
        (a.st_dev != b.st_dev || a.st_ino != b.st_ino))
        throw ToolError(path, "was replaced by another process; run the command again");
}

void ImageLock::lockPath(const std::string& path, bool exclusive) {
    ownFd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (ownFd_ < 0) return;  // nothing there to protect
    struct stat st;
    if (fstat(ownFd_, &st) != 0 || !S_ISREG(st.st_mode)) return;
    lock(ownFd_, path, exclusive);
}

}  // namespace orvtool
