// source.h - a tape in a drive as a block source: block for block and
// filemark for filemark in variable-block mode, with retries of blocks that
// fail, a buffer that grows for a block longer than it, and a record of
// every failure and what became of the block.
#ifndef ORVTAPE_TOOL_DRIVE_SOURCE_H
#define ORVTAPE_TOOL_DRIVE_SOURCE_H

#include "base/block.h"
#include "drive/device.h"

#include <functional>
#include <string>
#include <vector>

namespace orvtool {

struct ReadPolicy {
    long long files = -1, blocks = -1;  // stop after this many filemarks, data blocks (-1: no limit)
    long long entries = -1;             // stop after this many blocks and filemarks
    int retries = 3;                    // re-reads of a block that fails
    bool skipBad = false;               // leave an unreadable block out instead of keeping it flagged
    bool stopOnError = false;           // stop at an unreadable block
    std::size_t buffer = 1 << 20;       // the first read buffer
    std::size_t maxBlock = 64 << 20;    // the largest it may grow to
};

// Why reading stopped.
enum class Stop { Reading, EndOfData, Files, Blocks, Unreadable, Gone, Interrupted };

// One block that did not read at once: where, each failure, and the decision.
struct BlockTrouble {
    long long file = 0, block = 0;      // filemarks before it, blocks before it in its file
    std::vector<std::string> failures;  // in words, one a read
    // "read", "read with a larger buffer", "kept as a bad block", "skipped" or "stopped"
    std::string decision;
};

class DriveSource : public BlockSource {
public:
    // Counts files and blocks from where the drive says the tape stands.
    // stopAsked: polled before each block; true ends the reading there.
    DriveSource(TapeDevice& drive, const ReadPolicy& policy, std::function<bool()> stopAsked);
    bool next(Block& b) override;
    long long consumed() const override { return bytes_; }

    Stop stop() const { return stop_; }
    long long file() const { return file_; }            // the file the tape stands in
    long long blockInFile() const { return inFile_; }   // blocks before it in that file
    long long blocks() const { return blocks_; }        // blocks read, bad ones too
    const std::vector<BlockTrouble>& troubles() const { return troubles_; }
    // The last failure in words, for a stop on one.
    const std::string& lastFailure() const { return lastFailure_; }
    // "" when the drive's own count agrees with what was read, else why not.
    std::string positionMismatch();

private:
    enum class Action { Retry, Keep, Skip, Stop };
    bool limitReached();
    bool readOne(Block& b);
    bool mark(Block& b);
    Action onFailure(int err, BlockTrouble& t, int& attempts);
    Action giveUp(BlockTrouble& t, Stop why);
    bool grow(BlockTrouble& t);
    bool backOver();  // to the block a read failed on
    void passBlock();
    Block data(std::size_t length, bool bad);

    TapeDevice& drive_;
    ReadPolicy policy_;
    std::function<bool()> stopAsked_;
    std::vector<unsigned char> buffer_;
    Stop stop_ = Stop::Reading;
    long long file_ = 0, inFile_ = 0, firstFile_ = 0, blocks_ = 0, entries_ = 0, bytes_ = 0;
    int marksInRow_ = 0;
    std::vector<BlockTrouble> troubles_;
    std::string lastFailure_;
};

// "end of data", "--files reached", ...: a stop in words.
const char* stopWords(Stop s);

}  // namespace orvtool

#endif
