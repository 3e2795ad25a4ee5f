// volume.h - the one open image a command reads: its descriptor, the name
// the user gave it, its size and the limits reading it obeys.
//
// How the tool lays tape files out on a volume: a tape file is its data
// blocks followed by a tapemark.  A volume is its files followed by one more
// tapemark, the end-of-volume mark, so it ends with two tapemarks in a row.
// A final tapemark that directly follows another tapemark (or the load
// point) is that mark; every other tapemark closes a file, so empty files
// are kept wherever they stand.  BlockWalk::step applies the rule.
#ifndef ORVTAPE_TOOL_IMAGE_VOLUME_H
#define ORVTAPE_TOOL_IMAGE_VOLUME_H

#include <string>

namespace orvtool {

// What reading may cost, from the command line.
struct Limits {
    unsigned long long maxBlock = 64ull << 20;  // --max-block: a longer block is refused, never allocated
    bool wait = false;                          // --wait: for an image another process has locked
};

class Volume {
public:
    // Opens path ("-": standard input, when it is a file) read-only under a
    // shared lock, the file that path names once the lock is had.  Throws
    // ToolError naming the file.
    static Volume forReading(const std::string& path, const Limits& limits);
    // A volume open elsewhere on fd (which stays the caller's), shown as name.
    static Volume onDescriptor(int fd, const std::string& name, const Limits& limits);

    Volume(Volume&& other) noexcept;
    Volume& operator=(Volume&&) = delete;
    ~Volume();  // closing the descriptor ends its lock

    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    long long size() const { return size_; }  // at the open; readers only read
    const Limits& limits() const { return limits_; }
    // Up to n raw bytes at offset, to show them: how many there were.
    int bytesAt(long long offset, unsigned char* to, int n) const;

private:
    Volume(int fd, bool owned, std::string name, const Limits& limits);
    int fd_;
    bool owned_;
    std::string name_;
    long long size_ = 0;
    Limits limits_;
};

class ImageLock;

// The opening of every command that turns one image into a new file: opens
// the source for reading, refuses to write it onto itself or over a file that
// may not be replaced, and claims the target (ImageLock::claim).
Volume openSourceForNewFile(const std::string& source, const std::string& target, bool force, const Limits& limits,
                            ImageLock& dstLock);

}  // namespace orvtool

#endif
