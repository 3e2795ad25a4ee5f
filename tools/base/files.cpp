// files.cpp - new files named when complete, image locks and claims,
// same-file checks, and what a fatal signal undoes.
#include "base/files.h"
#include "base/error.h"
#include "base/io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <pthread.h>
#include <random>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace orvtool {


namespace {

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
// A new file's own name, while it has one: short, so that it fits beside a
// target of any legal length, and recognisable, so that what a killed run
// left is found and removed by the next one.
constexpr char kTempPrefix[] = ".orvtape-";
constexpr size_t kTempNameLength = sizeof kTempPrefix - 1 + 6;

// What a fatal signal removes or puts back; written only outside signal
// handlers, read inside one.  A path is published by its first byte last.
char pendingTemp[PATH_MAX];   // a new file's own name
char pendingClaim[PATH_MAX];  // the empty file a claim made
struct Undo {
    int fd;
    off_t offset;
    char end[64];
    size_t length;
};
Undo undos[2];  // the one in force, and the next being filled
volatile sig_atomic_t undoing = -1;

void onFatalSignal(int sig) {
    // Only async-signal-safe calls here.
    if (const int i = undoing; i >= 0) {
        const Undo& u = undos[i];
        if (ftruncate(u.fd, u.offset) == 0 && pwrite(u.fd, u.end, u.length, u.offset) < 0) {}
    }
    if (pendingTemp[0]) ::unlink(pendingTemp);
    if (pendingClaim[0]) ::unlink(pendingClaim);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void catchFatalSignals() {
    static bool caught = false;
    if (caught) return;
    caught = true;
    struct sigaction sa {}, old{};
    sa.sa_handler = onFatalSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : kFatalSignals)
        if (sigaction(sig, &sa, &old) == 0 && old.sa_handler == SIG_IGN)
            sigaction(sig, &old, nullptr);  // nohup and the like keep their say
}

void setPending(char (&slot)[PATH_MAX], const std::string& path) {
    slot[0] = 0;
    if (path.empty() || path.size() >= sizeof slot) return;
    std::memcpy(slot + 1, path.c_str() + 1, path.size());
    slot[0] = path[0];
}

// A run holds one claim at a time: the slot holds nothing else to keep.
void clearPending(char (&slot)[PATH_MAX]) { slot[0] = 0; }

std::string dirOf(const std::string& path) {
    std::vector<char> b(path.begin(), path.end());
    b.push_back(0);
    return dirname(b.data());
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

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Does path name the file open on fd?
bool names(const std::string& path, int fd) {
    struct stat a, b;
    return fstat(fd, &a) == 0 && stat(path.c_str(), &b) == 0 && sameFile(a, b);
}

std::string tempName(const std::string& dir) {
    // Seeded afresh each time: names are made once a file, and a process-wide
    // generator would be shared state between threads.
    std::mt19937 rng{std::random_device{}()};
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::string name = dir + "/" + kTempPrefix;
    for (int i = 0; i < 6; ++i) name += kChars[rng() % (sizeof kChars - 1)];
    return name;
}

// Removes the named new files that runs killed outright left in dir.  A
// live one is locked by its maker, and is left alone.
void sweepAbandoned(const std::string& dir) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    const int dfd = dirfd(d);
    while (const dirent* e = readdir(d)) {
        if (std::strlen(e->d_name) != kTempNameLength || std::strncmp(e->d_name, kTempPrefix, sizeof kTempPrefix - 1))
            continue;
        const int fd = openat(dfd, e->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat a, b;
        if (fstat(fd, &a) == 0 && S_ISREG(a.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            fstatat(dfd, e->d_name, &b, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(a, b))
            unlinkat(dfd, e->d_name, 0);
        ::close(fd);
    }
    closedir(d);
}

// A file in dir with no name, reached through /proc as a path (the library
// opens images by path); -1 with errno EOPNOTSUPP where that cannot be.
int openUnnamed(const std::string& dir) {
#ifdef O_TMPFILE
    if (access("/proc/self/fd", X_OK) == 0) return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
#endif
    errno = EOPNOTSUPP;
    return -1;
}

// A file in dir under a short hidden name, locked as live before the name
// counts as taken: a sweep may take the name between creation and lock.
int openNamed(const std::string& dir, std::string& name) {
    for (;;) {
        std::string pattern = dir + "/" + kTempPrefix + "XXXXXX";
        std::vector<char> b(pattern.begin(), pattern.end());
        b.push_back(0);
        const int fd = mkostemp(b.data(), O_CLOEXEC);
        if (fd < 0) return fd;
        name = b.data();
        flock(fd, LOCK_SH);
        if (names(name, fd)) return fd;
        ::close(fd);
    }
}

}  // namespace

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

NewFile::NewFile(const std::string& target, bool stream, bool force, ImageLock* claimed)
    : target_(target), force_(force), claimed_(claimed) {
    struct stat st;
    bool exists = target != "-" && stat(target.c_str(), &st) == 0;
    if (stream && (target == "-" || (exists && !S_ISREG(st.st_mode)))) {
        fd_ = target == "-" ? STDOUT_FILENO : ::open(target.c_str(), O_WRONLY);
        if (fd_ < 0) throw ToolError(target, "cannot open for writing " + cause(0, errno));
        direct_ = true;
        return;
    }
    std::string real = target == "-" ? "" : realTarget(target);
    const char* tmpdir = std::getenv("TMPDIR");
    std::string dir = target == "-" ? (tmpdir && *tmpdir ? tmpdir : "/tmp") : dirOf(real);
    sweepAbandoned(dir);
    catchFatalSignals();
    fd_ = openUnnamed(dir);
    if (fd_ >= 0) {
        flock(fd_, LOCK_SH);  // live, for a sweep that meets it under its name at commit
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        fd_ = openNamed(dir, temp_);
        setPending(pendingTemp, temp_);
        path_ = temp_;
    }
    if (fd_ < 0)
        throw ToolError(target, "cannot create a file in " + dir + " " + cause(0, errno), kExitUsage);
    if (target != "-") target_ = real;
    // The new file takes the place of the old one, so it keeps its mode and
    // owner; a file that is new gets the mode any created file would.
    replaces_ = exists && !(claimed && claimed->madeHere());
    struct stat link;
    replaceable_ = exists || (target != "-" && lstat(target.c_str(), &link) == 0);  // a dangling link too
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
    if (direct_) {
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
            if (n < 0) throw ToolError(shown, "cannot read the new image " + cause(0, errno));
            if (n == 0) break;
            if (int err = writeAll(STDOUT_FILENO, buf.data(), static_cast<size_t>(n)))
                throw ToolError(shown, "cannot write " + cause(0, err));
            at += n;
        }
        return;  // the destructor removes a named file; an unnamed one goes with its descriptor
    }
    name(shown);
    // The name stays locked as live until the target's takes its place: a
    // sweep by another run may come once the writing descriptor is closed.
    struct Live {
        int fd;
        ~Live() { ::close(fd); }
    } live{::open(temp_.c_str(), O_RDONLY | O_CLOEXEC)};
    if (live.fd >= 0) flock(live.fd, LOCK_SH);
    // Some file systems report a lost write only when the file is closed.
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw ToolError(shown, "cannot write " + cause(0, errno));
    place();
    done_ = true;
    if (!replaces_) return;
    // The rename itself must reach the disk too.
    int dir = ::open(dirOf(target_).c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        fsync(dir);
        ::close(dir);
    }
}

void NewFile::name(const std::string& shown) {
    if (!temp_.empty()) return;
    const std::string dir = dirOf(target_);
    for (;;) {
        std::string name = tempName(dir);
        if (linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
            temp_ = name;
            setPending(pendingTemp, temp_);
            return;
        }
        if (errno != EEXIST) throw ToolError(shown, "cannot name the new file in " + dir + " " + cause(0, errno));
    }
}

void NewFile::place() {
    const char* from = temp_.c_str();
    const char* to = target_.c_str();
    bool mayReplace = replaceable_ || force_;
    if (claimed_ && claimed_->ownFd_ >= 0) {
        // Writers wait for the claim; a file put here all the same is not
        // this run's to replace.
        if (!names(target_, claimed_->ownFd_))
            throw ToolError(target_, "was replaced by another process meanwhile; it is left as it is");
        clearPending(pendingClaim);  // the new file is about to take its name
        mayReplace = true;
    }
    int rc = mayReplace ? ::rename(from, to) : renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (rc != 0 && !mayReplace && (errno == EINVAL || errno == ENOSYS) && (rc = ::link(from, to)) == 0)
        ::unlink(from);  // a file system without the no-replace rename
    if (rc != 0 && errno == EEXIST && !mayReplace)
        throw ToolError(target_, "was made by another process meanwhile; use --force to replace it");
    if (rc != 0) throw ToolError(target_, "cannot give the new file its name " + cause(0, errno));
    if (claimed_) claimed_->made_ = false;
}

ImageLock::~ImageLock() {
    // An empty file made to hold the name goes when nothing took its place.
    if (made_) {
        clearPending(pendingClaim);
        if (names(path_, ownFd_)) ::unlink(path_.c_str());
    }
    if (ownFd_ >= 0) ::close(ownFd_);
}

bool ImageLock::lock(int fd, const std::string& path, bool exclusive) {
    int op = (exclusive ? LOCK_EX : LOCK_SH) | (wait_ ? 0 : LOCK_NB);
    int rc;
    while ((rc = flock(fd, op)) != 0 && errno == EINTR) {}
    if (rc != 0 && errno == EWOULDBLOCK) throw ToolError(path, "in use by another process");
    // Other failures (a file system without locks) leave the file unlocked:
    // refusing would make such images unusable.
    struct stat a, b;
    return path == "-" || fstat(fd, &a) != 0 || (stat(path.c_str(), &b) == 0 && sameFile(a, b));
}

void ImageLock::claim(const std::string& path) {
    path_ = path;
    for (int missing = 0; missing < 100;) {
        bool made = true;
        int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) {
            made = false;
            fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd < 0 && errno == ENOENT) {  // gone meanwhile, or a link to nothing
            ++missing;
            continue;
        }
        if (fd < 0) return;  // no right to make it: making the new file says why
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {  // refused later, as no image
            ::close(fd);
            return;
        }
        // Until locked, the empty file is not surely this run's: a writer may
        // have claimed it first.
        ownFd_ = fd;
        if (lock(fd, path, true)) {
            made_ = made;
            if (made) {
                setPending(pendingClaim, path);
                catchFatalSignals();
            }
            return;
        }
        ::close(fd);  // replaced while waiting: take what is there now
        ownFd_ = -1;
    }
}

bool ImageLock::holds(int fd) const {
    struct stat a, b;
    return ownFd_ < 0 || (fstat(fd, &a) == 0 && fstat(ownFd_, &b) == 0 && sameFile(a, b));
}

void undoOnSignal(int fd, long long offset, const std::string& end) {
    catchFatalSignals();
    const int next = undoing == 0 ? 1 : 0;
    Undo& u = undos[next];
    u.fd = fd;
    u.offset = offset;
    u.length = std::min(end.size(), sizeof u.end);
    std::memcpy(u.end, end.data(), u.length);
    undoing = next;
}

void keepOnSignal() { undoing = -1; }

SignalsHeld::SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : kFatalSignals) sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }

}  // namespace orvtool
