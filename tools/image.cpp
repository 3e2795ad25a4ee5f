// image.cpp - mounting images and writing blocks on behalf of the commands.
#include "orvtape.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

void refuseSameFile(const std::string& source, const std::string& target) {
    struct stat a, b;
    if (stat(source.c_str(), &a) == 0 && stat(target.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
        a.st_ino == b.st_ino)
        throw ToolError(target, "is the source itself", kExitUsage);
}

void mountForReading(ORVtape& tape, const std::string& path) {
    if (tape.open(path.c_str(), true) != 0)
        throw ToolError(path, "cannot open the image " + cause(tape), kExitUsage);
    struct stat st;
    if (fstat(tape.fd, &st) == 0 && S_ISDIR(st.st_mode))
        throw ToolError(path, "cannot open the image " + cause(0, EISDIR), kExitUsage);
}

void mountForWriting(ORVtape& tape, const std::string& path) {
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

void prepareNewImage(const std::string& path, bool force) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;  // a new file: nothing to protect
    if (S_ISDIR(st.st_mode)) throw ToolError(path, "is a directory " + cause(0, EISDIR));
    if (st.st_size > 0 && !force)
        throw ToolError(path, "exists and is not empty; use --force to replace it");
    if (truncate(path.c_str(), 0) != 0)
        throw ToolError(path, "cannot empty the file " + cause(0, errno));
}

void applyWriteSettings(ORVtape& tape, const Options& o) {
    tape.compressOn = o.compress;
    tape.encryptOn = o.scramble;
    tape.sync = o.sync;
    if (o.segmentSize > 0) tape.maxSegLen = o.segmentSize;
    if (o.capacity > 0) {
        tape.maxTapeLen = o.capacity;
        tape.getPosition();
        tape.eot = tape.maxTapeLen <= static_cast<unsigned long long>(tape.curPos);
    }
}

long long imageSize(const ORVtape& tape) {
    struct stat st;
    return fstat(tape.fd, &st) == 0 ? st.st_size : -1;
}

int peekTransforms(ORVtape& tape) {
    tape.getPosition();
    long long at = tape.curPos;
    unsigned char h[6];
    int rc = tape.readHdr(h);
    tape.setPosition(at);
    if (rc != 0) return -1;
    return h[5] & (HF2_BZ2 | HF2_SCRAMBLE);
}

void writeBlock(ORVtape& dst, const std::string& dstPath, const char* data, unsigned len,
                int xform) {
    dst.compressOn = (xform & HF2_BZ2) != 0;
    dst.encryptOn = (xform & HF2_SCRAMBLE) != 0;
    if (len > static_cast<unsigned>(dst.maxRecordSize)) dst.setMaxRecordSize(static_cast<int>(len));
    errno = 0;  // a short write leaves errno alone; report no stale value
    int rc = dst.write(len ? data : nullptr, len);
    if (rc < 0 || static_cast<unsigned>(rc) != len)
        throw ToolError(dstPath, (len ? "cannot write a block " : "cannot write a tapemark ") +
                                     cause(dst));
}

void writeTapemark(ORVtape& tape, const std::string& path) {
    errno = 0;
    if (tape.wtm(1) != 0) throw ToolError(path, "cannot write a tapemark " + cause(tape));
}

long long mountSourceForNewFile(ORVtape& src, const Options& o) {
    mountForReading(src, o.source);
    const long long size = imageSize(src);
    refuseSameFile(o.source, o.target);
    prepareNewImage(o.target, o.force);
    return size;
}

}  // namespace orvtool
