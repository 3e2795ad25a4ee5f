// sink.h - a tape in a drive as a block sink: each block written with its
// own length in variable-block mode, each tapemark as a filemark.
#ifndef ORVTAPE_TOOL_DRIVE_SINK_H
#define ORVTAPE_TOOL_DRIVE_SINK_H

#include "base/block.h"
#include "drive/device.h"

namespace orvtool {

class DriveSink : public BlockSink {
public:
    // Refuses (status 1) a write-protected tape before anything is written.
    explicit DriveSink(TapeDevice& drive);
    // Blocks and tapemarks only: a drive writes no gaps, flags or markers.
    Carries carries() const override;
    // Throws naming the block that the drive did not take, and why.
    void put(const Block& b) override;
    void finish() override {}
    long long written() const { return written_; }  // blocks and filemarks

private:
    [[noreturn]] void refused(const Block& b, int err);
    TapeDevice& drive_;
    long long written_ = 0;
};

}  // namespace orvtool

#endif
