// The tape object: defaults, mounting and unmounting, rewind, erase and the
// two positioning primitives that every other operation goes through.
#include "internal.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orv {

void notePosition(ORVtape& t, long long pos) {
    t.curPos = pos;
    t.lastRC = 0;
    t.lastErrno = 0;
    t.bot = pos == 0;
    t.eot = static_cast<unsigned long long>(pos) >= static_cast<unsigned long long>(t.eodPos);
}

void refreshPosition(ORVtape& t) {
    if (t.fd >= 0 && t.curPos >= 0 && t.curPos != t.hdrPos)
        notePosition(t, t.curPos);
    else
        t.getPosition();
}

}  // namespace orv

ORVtape::ORVtape() : bkwdBfr(), cmpBfr(), encBfr() { init(); }

ORVtape::~ORVtape() { close(); }

void ORVtape::init() {
    hdrPos = 0;
    eodPos = 0;
    curPos = 0;
    maxTapeLen = ~0ULL;
    fd = -1;
    blockID = 0;
    fileNumber = 0;
    curBlkLen = 0;
    prevBlkLen = 0;
    maxRecordSize = orv::kMinRecordSize;
    maxSegLen = orv::kMaxSegment;
    lastErrno = 0;
    lastRC = 0;
    hdrFlags1 = 0;
    hdrFlags2 = 0;
    cmpLevel = 9;
    bot = false;
    eot = false;
    compressOn = false;
    encryptOn = false;
    newImage = false;
    sync = false;
    tapemark = false;
    wrtProt = false;
}

bool ORVtape::getPosition() {
    // A failed query (no image open) stores -1 as it comes.
    orv::notePosition(*this, lseek64(fd, 0, SEEK_CUR));
    return true;
}

bool ORVtape::setPosition(long long pos) {
    if (pos < 0) {
        lastRC = -1;
        lastErrno = EOVERFLOW;
        return false;
    }
    const long long r = lseek64(fd, pos, SEEK_SET);
    if (r < 0) {
        lastRC = static_cast<int>(r);
        lastErrno = errno;
        return false;
    }
    orv::notePosition(*this, pos);
    return true;
}

int ORVtape::open(const char* path, bool readOnly) {
    // A second open while an image is mounted would leak the first
    // descriptor and mix two volumes' counters: refuse it, leaving the
    // mounted image untouched.
    if (fd >= 0) {
        lastRC = -1;
        lastErrno = EBUSY;
        return -1;
    }
    if (path == nullptr) {
        lastRC = -1;
        lastErrno = EFAULT;
        return -1;
    }
    int f = open64(path, readOnly ? O_RDONLY : (O_RDWR | O_CREAT), 0666);
    if (f >= 0) {
        if (readOnly) wrtProt = true;
    } else {
        lastRC = f;
        lastErrno = errno;
        if (errno != EROFS && errno != EACCES) return -1;
        f = open64(path, O_RDONLY, 0666);
        if (f < 0) {
            lastRC = -1;
            lastErrno = errno;
            return -1;
        }
        wrtProt = true;
    }
    // A directory opens read-only but is no tape: refuse it rather than let
    // every later read fail with a puzzling code.
    struct stat st;
    if (fstat(f, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(f);
        lastRC = -1;
        lastErrno = EISDIR;
        return -1;
    }
    eodPos = lseek64(f, 0, SEEK_END);
    if (eodPos < 0) {
        lastRC = -1;
        lastErrno = errno;
        ::close(f);  // the object does not take it, so nobody else would close it
        return -1;
    }
    fd = f;
    if (eodPos == 0 && !wrtProt) {
        newImage = true;
        wtm(5);
        rew();
    }
    if (!setPosition(0)) return -1;
    lastRC = 0;
    lastErrno = 0;
    return 0;
}

int ORVtape::close() {
    if (fd < 0) {
        init();
        return 0;
    }
    if (newImage) (void)ftruncate64(fd, 0);
    const int r = ::close(fd);
    const int err = errno;
    init();
    lastRC = r;
    lastErrno = r < 0 ? err : 0;
    return lastRC;
}

int ORVtape::run() {
    close();
    lastRC = 0;
    lastErrno = 0;
    return 0;
}

int ORVtape::rew() {
    if (fd < 0) return -1;
    int result = 0;
    if (setPosition(0)) {
        lastRC = 0;
        lastErrno = 0;
    } else {
        lastRC = -1;
        lastErrno = errno;
        result = -1;
    }
    blockID = 0;
    fileNumber = 0;
    curBlkLen = 0;
    prevBlkLen = 0;
    hdrFlags1 = 0;
    hdrFlags2 = 0;
    return result;
}

int ORVtape::erase() {
    if (fd < 0) {
        lastErrno = EBADF;
        lastRC = -1;
        return -1;
    }
    getPosition();
    const int r = ftruncate64(fd, curPos);
    if (r != 0) {
        lastRC = r;
        lastErrno = errno;
        return r;
    }
    eodPos = curPos;
    newImage = false;
    lastRC = 0;
    return 0;
}

void ORVtape::setMaxRecordSize(int size) {
    const int v = size > orv::kMinRecordSize ? size : orv::kMinRecordSize;
    if (v > maxRecordSize) maxRecordSize = v;
}
