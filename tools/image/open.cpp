// open.cpp - opening images and writing blocks on behalf of the commands.
#include "image/volume.h"
#include "orvtape.h"
#include "base/files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

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

Volume openSourceForNewFile(const std::string& source, const std::string& target, bool force, const Limits& limits,
                            ImageLock& dstLock) {
    Volume src = Volume::forReading(source, limits);
    refuseSameFile(source, STDIN_FILENO, target, STDOUT_FILENO);
    if (target != "-") dstLock.claim(target);
    refuseToReplace(target, force, false);
    return src;
}

}  // namespace orvtool
