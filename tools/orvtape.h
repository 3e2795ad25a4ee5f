// orvtape.h - the old mount helpers of the writing commands, to go with them.
#ifndef ORVTAPE_TOOL_H
#define ORVTAPE_TOOL_H

#include "base/error.h"

#include <ORVtape.h>

#include <string>

namespace orvtool {

// cause() from the last operation of tape.
inline std::string cause(const ORVtape& tape) { return cause(tape.lastRC, tape.lastErrno); }
// The cause of a failed write of tape: its errno, or, when the library's
// short write left none, the one a write at the end of the image gets.
std::string writeCause(const ORVtape& tape);

// Mounts path for writing; the caller locks it where others may see it.
void mountForWriting(ORVtape& tape, const std::string& path);
// Length of the file behind the open image.
long long imageSize(const ORVtape& tape);
// The opening of every command that turns one image into a new file: opens
// the source for reading, refuses to write it onto itself or over a file that
// may not be replaced, and claims the target (ImageLock::claim).
class Volume openSourceForNewFile(const std::string& source, const std::string& target, bool force,
                                  const struct Limits& limits, class ImageLock& dstLock);

// Writes one tapemark, leaving the write settings alone.  Throws ToolError.
void writeTapemark(ORVtape& tape, const std::string& path);

}  // namespace orvtool

#endif  // ORVTAPE_TOOL_H
