// image.cpp - mounting images and writing blocks on behalf of the commands.
#include "orvtape.h"
#include "safe_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

void mountForReading(ORVtape& tape, const std::string& path, ImageLock& lock) {
    std::string real = path;
    if (path == "-") {
        // The library opens by path: a file on standard input is reached anew
        // through /dev/stdin; a pipe cannot be walked both ways.
        struct stat st;
        if (fstat(STDIN_FILENO, &st) != 0 || !S_ISREG(st.st_mode))
            throw ToolError("standard input", "is not a file; an image must be one");
        real = "/dev/stdin";
    }
    for (;;) {
        errno = 0;
        if (tape.open(real.c_str(), true) != 0)
            throw ToolError(path, "cannot open the image " + cause(tape));
        struct stat st;
        if (fstat(tape.fd, &st) == 0 && S_ISDIR(st.st_mode))
            throw ToolError(path, "cannot open the image " + cause(0, EISDIR));
        if (lock.lock(tape.fd, real, false)) return;
        tape.close();  // a writer put a new file in its place: read that one
    }
}

void mountForWriting(ORVtape& tape, const std::string& path) {
    errno = 0;
    if (tape.open(path.c_str(), false) != 0)
        throw ToolError(path, "cannot open the image for writing " + cause(tape));
    if (tape.wrtProt) {
        // The library fell back to read-only; find out why to say so.
        int fd = ::open(path.c_str(), O_RDWR);
        int err = fd < 0 ? errno : EACCES;
        if (fd >= 0) ::close(fd);
        tape.close();
        throw ToolError(path, "the image cannot be written " + cause(0, err));
    }
}

std::string writeCause(const ORVtape& tape) {
    if (tape.lastErrno != 0 || tape.fd < 0) return cause(tape);
    // A short write sets no errno; writing at the end once more obtains the
    // system's reason (a full disk, a file size limit), and is undone.
    struct stat st;
    int err = 0;
    char zero = 0;
    errno = 0;
    if (fstat(tape.fd, &st) != 0)
        err = errno;
    else if (pwrite(tape.fd, &zero, 1, st.st_size) != 1)
        err = errno;
    else if (ftruncate(tape.fd, st.st_size) != 0) {}  // the caller cuts the image anyway
    return cause(tape.lastRC, err);
}

long long imageSize(const ORVtape& tape) {
    struct stat st;
    return fstat(tape.fd, &st) == 0 ? st.st_size : -1;
}

void writeTapemark(ORVtape& tape, const std::string& path) {
    errno = 0;
    if (tape.wtm(1) != 0) throw ToolError(path, "cannot write a tapemark " + writeCause(tape));
}

long long mountSourceForNewFile(ORVtape& src, const std::string& source, const std::string& target,
                                bool force, ImageLock& srcLock, ImageLock& dstLock) {
    mountForReading(src, source, srcLock);
    refuseSameFile(source, STDIN_FILENO, target, STDOUT_FILENO);
    if (target != "-") dstLock.claim(target);
    refuseToReplace(target, force, false);
    return imageSize(src);
}

}  // namespace orvtool
