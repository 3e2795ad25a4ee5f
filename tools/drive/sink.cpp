// sink.cpp - writing a tape.  The driver writes a block of the length a
// write gives in variable-block mode; a write-protected tape answers EACCES,
// the end of the medium ENOSPC.
#include "drive/sink.h"

#include "base/error.h"

#include <cerrno>
#include <sys/mtio.h>

namespace orvtool {

namespace {
constexpr std::size_t kLongestWrite = 16u << 20;  // more than the driver's buffer can take at once
}  // namespace

DriveSink::DriveSink(TapeDevice& drive) : drive_(drive) {
    DriveStatus s;
    if (drive.status(s) && s.writeProtected)
        throw ToolError(drive.path(), "the tape is write-protected; nothing was written");
    if (!drive.operate(MTSETBLK, 0))
        throw ToolError(drive.path(), "the drive refuses variable-length blocks: " + errnoWords(errno));
}

Carries DriveSink::carries() const {
    Carries c;
    c.maxBlock = kLongestWrite;
    return c;
}

void DriveSink::put(const Block& b) {
    const bool ok = b.kind == Kind::Mark ? drive_.operate(MTWEOF, 1) : drive_.write(b.data, b.length);
    if (!ok) refused(b, errno);
    ++written_;
}

void DriveSink::refused(const Block& b, int err) {
    const std::string what = (b.kind == Kind::Mark ? "filemark " : "block ") + std::to_string(written_);
    const std::string why = err == EACCES   ? "the tape is write-protected"
                            : err == ENOSPC ? "the tape is full"
                                            : errnoWords(err);
    throw ToolError(drive_.path(), what + " was not written: " + why + "; " + std::to_string(written_) +
                                       " blocks and filemarks before it were");
}

}  // namespace orvtool
