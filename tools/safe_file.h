// safe_file.h - how the tool touches files it did not make: new files are
// written beside their target and renamed over it only when complete, images
// are locked while in use, and no file is read or written through itself.
#ifndef ORVTAPE_TOOL_SAFE_FILE_H
#define ORVTAPE_TOOL_SAFE_FILE_H

#include <string>
#include <sys/stat.h>

namespace orvtool {

// Descriptors 0, 1 and 2 that are closed at start-up are opened on
// /dev/null, so that no image or output can land on them.
void reopenClosedStdStreams();

// Identity of a path ("-" is the given standard descriptor); false when it
// does not exist.
bool identify(const std::string& path, int stdFd, struct stat& st);
// Refuses (usage error) when a and b are one file: same path, link, or
// standard descriptor.  A missing file is nobody's twin.
void refuseSameFile(const std::string& a, int aStdFd, const std::string& b, int bStdFd);

// Refuses a target that exists and is not empty unless force, and one that a
// new file cannot replace: a directory, or (unless stream) a device or pipe.
void refuseToReplace(const std::string& path, bool force, bool stream);

// A file being made for target: a temporary file beside it that becomes the
// target by rename once complete.  Until then the target is untouched; an abandoned file is removed, also on SIGINT, SIGTERM,
// SIGHUP and SIGPIPE.  A stream (get, export) goes straight to standard output for
// "-" and to an existing device or pipe; an image for "-" is made in the
// temporary directory and copied to standard output when complete.
class NewFile {
public:
    NewFile(const std::string& target, bool stream);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    const std::string& path() const { return temp_; }  // where to write
    int fd() const { return fd_; }                    // open for writing
    // Renames the file over the target (or copies it to standard output).
    // A file that replaces another is flushed to disk first, and the rename
    // after it, so that not even a system crash can leave neither; a file
    // under a new name is left to the system's own write-back, as cp does.
    void commit();

private:
    std::string target_, temp_;  // temp_ empty: written straight
    int fd_ = -1;
    bool done_ = false;
    bool replaces_ = false;  // an existing file takes the new one's place
};

// An advisory lock on the image at path for as long as the object lives:
// shared for readers, exclusive for writers.  Fails at once with "in use by
// another process" unless waiting was asked for (--wait).
class ImageLock {
public:
    ImageLock() = default;
    ~ImageLock();
    ImageLock(const ImageLock&) = delete;
    ImageLock& operator=(const ImageLock&) = delete;

    // Locks the file open on fd (known as path); a missing path is no error.
    void lock(int fd, const std::string& path, bool exclusive);
    // Opens path itself to lock it (to replace it); nothing when missing.
    void lockPath(const std::string& path, bool exclusive);

    static bool wait;  // --wait: block until the other process is done

private:
    int ownFd_ = -1;
};

}  // namespace orvtool

#endif
