// files.h - how the tool touches files it did not make: new files are
// written beside their target and named as it only when complete, images
// are locked while in use, and no file is read or written through itself.
#ifndef ORVTAPE_TOOL_BASE_FILES_H
#define ORVTAPE_TOOL_BASE_FILES_H

#include <signal.h>
#include <string>
#include <sys/stat.h>

namespace orvtool {

// Identity of a path ("-" is the given standard descriptor); false when it
// does not exist.
bool identify(const std::string& path, int stdFd, struct stat& st);
// Refuses (usage error) when a and b are one file: same path, link, or
// standard descriptor.  A missing file is nobody's twin.
void refuseSameFile(const std::string& a, int aStdFd, const std::string& b, int bStdFd);

// Refuses a target that exists and is not empty unless force, and one that a
// new file cannot replace: a directory, or (unless stream) a device or pipe.
void refuseToReplace(const std::string& path, bool force, bool stream);

// An advisory lock on the image at path for as long as the object lives:
// shared for readers, exclusive for writers.  Fails at once with "in use by
// another process" unless waiting was asked for (--wait).
class ImageLock {
public:
    // wait: --wait, block until the other process is done.
    explicit ImageLock(bool wait) : wait_(wait) {}
    ~ImageLock();
    ImageLock(const ImageLock&) = delete;
    ImageLock& operator=(const ImageLock&) = delete;

    // Locks the file open on fd (known as path); false when path names
    // another file by then (replaced while this one waited): the caller
    // opens it anew.  A missing path is no error.
    bool lock(int fd, const std::string& path, bool exclusive);
    // Takes path for a writer, exclusively, before anything is decided on
    // what is there: a missing file is created empty first, so that a second
    // writer meets it locked rather than missing.  A file put in its place
    // while waiting is followed.  That empty file goes again with the object
    // unless a new file took its place.
    void claim(const std::string& path);
    // Is the file open on fd the one claimed?
    bool holds(int fd) const;
    // The claimed file was made empty here: replacing it loses nothing.
    bool madeHere() const { return made_; }

private:
    friend class NewFile;
    bool wait_;
    int ownFd_ = -1;
    bool made_ = false;
    std::string path_;  // where the claimed file is named
};

// A file being made for target: an unnamed file in the target's directory
// (where the file system has none, a short hidden name that the next run
// removes when a killed run left it), named as the target once complete.
// Until then the target is untouched; an abandoned file is removed, also on
// SIGINT, SIGTERM, SIGHUP and SIGPIPE.  A stream (get, export) goes straight
// to standard output for "-" and to an existing device or pipe; an image for
// "-" is made in the temporary directory and copied to standard output when
// complete.  claimed: the target's claim, if taken; without one, a target
// that appears meanwhile is replaced only with force.
class NewFile {
public:
    NewFile(const std::string& target, bool stream, bool force, ImageLock* claimed = nullptr);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    const std::string& path() const { return path_; }  // where to write
    int fd() const { return fd_; }                    // open for writing
    // Gives the file the target's name (or copies it to standard output).
    // A file that replaces another is flushed to disk first, and the rename
    // after it, so that not even a system crash can leave neither; a file
    // under a new name is left to the system's own write-back, as cp does.
    void commit();

private:
    void name(const std::string& shown);  // a short name beside the target, while it has none
    void place();                         // the target's name, in the place of what is there

    std::string target_, path_, temp_;  // temp_: the file's own name, while it has one
    int fd_ = -1;
    bool direct_ = false;    // a stream written straight
    bool done_ = false;
    bool replaces_ = false;  // a file with content takes the new one's place
    bool replaceable_ = false;  // something had the target's name at the start
    bool force_ = false;
    ImageLock* claimed_ = nullptr;
};

// An append in place that SIGINT, SIGTERM, SIGHUP or SIGPIPE must undo: the
// image open on fd is cut at offset and ends with the given bytes there.
// Worker threads must not take these signals meanwhile (see SignalsHeld).
void undoOnSignal(int fd, long long offset, const std::string& end);
void keepOnSignal();

// Holds those signals back in this thread while it lives: threads started
// meanwhile never take them, so a handler never races their writes.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t before_;
};

}  // namespace orvtool

#endif
