// source.cpp - reading a tape block by block.  The driver returns one block
// a read in variable-block mode: its length, 0 at a filemark, ENOMEM for a
// block longer than the buffer (the tape has passed it: space back one
// record and read it again), and an error at the end of recorded data.
#include "drive/source.h"

#include "base/error.h"

#include <algorithm>
#include <cerrno>
#include <sys/mtio.h>

namespace orvtool {

namespace {
constexpr std::size_t kGrowth = 4;  // a longer block is likely much longer: few re-reads
}  // namespace

DriveSource::DriveSource(TapeDevice& drive, const ReadPolicy& policy, std::function<bool()> stopAsked)
    : drive_(drive), policy_(policy), stopAsked_(std::move(stopAsked)),
      buffer_(std::min(policy.buffer, policy.maxBlock)) {
    DriveStatus s;
    if (drive_.status(s) && s.file >= 0 && s.block >= 0) {
        file_ = firstFile_ = s.file;
        inFile_ = s.block;
    }
}

bool DriveSource::next(Block& b) {
    if (stop_ != Stop::Reading || limitReached()) return false;
    if (stopAsked_()) {
        stop_ = Stop::Interrupted;
        return false;
    }
    return readOne(b);
}

bool DriveSource::limitReached() {
    if (marksInRow_ >= 2)
        stop_ = Stop::EndOfData;  // two filemarks in a row end the recorded data
    else if (policy_.files >= 0 && file_ - firstFile_ >= policy_.files)
        stop_ = Stop::Files;
    else if ((policy_.blocks >= 0 && blocks_ >= policy_.blocks) ||
             (policy_.entries >= 0 && entries_ >= policy_.entries))
        stop_ = Stop::Blocks;
    return stop_ != Stop::Reading;
}

bool DriveSource::readOne(Block& b) {
    BlockTrouble t{file_, inFile_, {}, ""};
    int attempts = 0;
    for (;;) {
        const ssize_t n = drive_.read(buffer_.data(), buffer_.size());
        if (n > 0) {
            if (!t.failures.empty()) {
                t.decision = attempts ? "read" : "read with a larger buffer";
                troubles_.push_back(t);
            }
            b = data(static_cast<std::size_t>(n), false);
            return true;
        }
        if (n == 0) return mark(b);
        const int err = errno;
        if (err == EINTR) {
            if (!stopAsked_()) continue;
            stop_ = Stop::Interrupted;
            return false;
        }
        switch (onFailure(err, t, attempts)) {
        case Action::Retry: continue;
        case Action::Keep: b = data(0, true); return true;
        case Action::Skip: passBlock(); t = BlockTrouble{file_, inFile_, {}, ""}; attempts = 0; continue;
        case Action::Stop: return false;
        }
    }
}

bool DriveSource::mark(Block& b) {
    // A drive may answer a read at the end of its data with nothing, as at a
    // filemark; only a filemark moves the driver's file count on.
    DriveStatus s;
    if (drive_.status(s) && s.endOfData && s.file == file_) {
        stop_ = Stop::EndOfData;
        return false;
    }
    b = Block{};
    b.kind = Kind::Mark;
    b.offset = bytes_;
    b.number = entries_++;
    ++file_;
    inFile_ = 0;
    ++marksInRow_;
    return true;
}

DriveSource::Action DriveSource::onFailure(int err, BlockTrouble& t, int& attempts) {
    lastFailure_ = errnoWords(err);
    if (TapeDevice::gone(err)) {
        stop_ = Stop::Gone;
        return Action::Stop;
    }
    if (err == ENOMEM) return grow(t) ? Action::Retry : giveUp(t, Stop::Unreadable);
    DriveStatus s;
    if (drive_.status(s) && s.endOfData) {
        stop_ = Stop::EndOfData;
        return Action::Stop;
    }
    t.failures.push_back(lastFailure_);
    if (attempts++ < policy_.retries) {
        if (backOver()) return Action::Retry;
        t.failures.push_back("spacing back to read again: " + errnoWords(errno));
    }
    if (policy_.stopOnError) return giveUp(t, Stop::Unreadable);
    t.decision = policy_.skipBad ? "skipped" : "kept as a bad block";
    troubles_.push_back(t);
    return policy_.skipBad ? Action::Skip : Action::Keep;
}

DriveSource::Action DriveSource::giveUp(BlockTrouble& t, Stop why) {
    // The tape stands before the block where the capture stopped, so that
    // the drive's count agrees and a new run starts with it.
    if (!backOver()) passBlock();
    t.decision = "stopped";
    troubles_.push_back(t);
    stop_ = why;
    return Action::Stop;
}

bool DriveSource::grow(BlockTrouble& t) {
    const std::size_t had = buffer_.size();
    if (had >= policy_.maxBlock) {
        lastFailure_ = "longer than " + std::to_string(had) + " bytes, the most --max-block lets a read take";
        t.failures.push_back(lastFailure_);
        return false;
    }
    const std::size_t size = std::min(policy_.maxBlock, had * kGrowth);
    if (!backOver()) {
        lastFailure_ = "longer than " + std::to_string(had) + " bytes, and spacing back to read it again failed: " +
                       errnoWords(errno);
        t.failures.push_back(lastFailure_);
        return false;
    }
    t.failures.push_back("longer than " + std::to_string(had) + " bytes: spaced back, read again with " +
                         std::to_string(size));
    buffer_.resize(size);
    return true;
}

bool DriveSource::backOver() {
    // A drive that stayed before the block it failed on must not space back
    // over the one before: that block would be read twice.
    DriveStatus s;
    if (drive_.status(s) && s.block >= 0 && s.file == file_ && s.block == inFile_) return true;
    return drive_.operate(MTBSR, 1);
}

void DriveSource::passBlock() {
    ++blocks_;
    ++inFile_;
    marksInRow_ = 0;
}

Block DriveSource::data(std::size_t length, bool bad) {
    Block b;
    b.data = buffer_.data();
    b.length = length;
    b.readError = bad;
    b.recordClass = bad ? record_class::kBad : record_class::kGood;
    b.offset = bytes_;
    b.number = entries_++;
    bytes_ += static_cast<long long>(length);
    passBlock();
    return b;
}

std::string DriveSource::positionMismatch() {
    DriveStatus s;
    if (!drive_.status(s)) return "the drive gives no position: " + errnoWords(errno);
    if (s.file < 0 || s.block < 0 || (s.file == file_ && s.block == inFile_)) return "";
    return "the drive counts file " + std::to_string(s.file) + " block " + std::to_string(s.block) +
           ", the capture file " + std::to_string(file_) + " block " + std::to_string(inFile_);
}

const char* stopWords(Stop s) {
    switch (s) {
    case Stop::Reading: return "reading";
    case Stop::EndOfData: return "the end of recorded data";
    case Stop::Files: return "--files";
    case Stop::Blocks: return "--blocks";
    case Stop::Unreadable: return "an unreadable block";
    case Stop::Gone: return "the drive going away";
    case Stop::Interrupted: return "an interruption";
    }
    return "";
}

}  // namespace orvtool
