// extract.h - a volume's blocks split into its tape files, each hashed and
// counted as it goes out: the one walker under get --all, ls --sum and
// check --manifest, over any block source.
#ifndef ORVTAPE_TOOL_CMD_EXTRACT_H
#define ORVTAPE_TOOL_CMD_EXTRACT_H

#include "base/block.h"
#include "base/common.h"
#include "base/sha256.h"

#include <functional>
#include <string>
#include <vector>

namespace orvtool {

// Hands out a source's tape files one at a time, and the data blocks of
// each.  A tapemark right after a tapemark (or the load point) that nothing
// follows is the end-of-volume mark and opens no file; gaps, markers and
// records that are not tape data are passed over; an end-of-medium mark
// ends the volume.
class TapeFiles {
public:
    explicit TapeFiles(BlockSource& source) : source_(source) {}
    // Moves to the next tape file (the rest of the current one skipped);
    // false when the volume holds no more.
    bool next();
    long long number() const { return number_; }
    // The next data block of the current file into b; false at its end.
    bool block(Block& b);
    // The current file ended with its tapemark (not with the data).
    bool closed() const { return closed_; }

private:
    bool fetch(Block& b);  // the next block or tapemark of the volume

    BlockSource& source_;
    Block held_;            // read ahead, not yet handed out
    bool holding_ = false;  // held_ is one
    bool first_ = false;    // held_ is the current file's first block
    bool inFile_ = false, closed_ = false, ended_ = false;
    long long number_ = -1;
};

// What one tape file gave: the bytes written (its blocks', or their records
// when unblocked), their SHA-256, and its blocks as stored.
struct FileSum {
    long long file = 0;
    std::string name, path;  // the data set's name, and the file written, when known
    unsigned long long bytes = 0, blocks = 0, minBlock = 0, maxBlock = 0;
    std::string sha256;
    std::vector<long long> badRecords;  // numbers of blocks the source flagged as read badly
    bool closed = true;
};

// Turns a block of file into the bytes that go out (records); the default
// is the block as it is.
struct Shaper {
    virtual ~Shaper() = default;
    virtual void begin(long long file) = 0;
    virtual void block(const Block& b, long long blockInFile, std::string& out) = 0;
    virtual void finish() = 0;  // at the file's end
};

// The current file of files, each block shaped (when a shaper is given),
// hashed, counted and passed to write (when given).
FileSum sumFile(TapeFiles& files, Shaper* shaper, const std::function<void(const void*, std::size_t)>& write);
// Every file of source as stored, sums only.
std::vector<FileSum> sumFiles(BlockSource& source);
// check --manifest: the files of image compared with a manifest of get
// --all (image read as from says, as openSource reads it); each difference
// printed, exit 1 on any, 2 for a manifest that cannot be read.
int checkManifest(const std::string& image, const std::string& from, const std::string& manifest,
                  const Common& run);

}  // namespace orvtool

#endif
