// orvtape.h - shared declarations of the orvtape command-line tool.
//
// The tool is a host program of liborvTapeItf: it works on images only
// through the library's public streaming API, in the image wing.
#ifndef ORVTAPE_TOOL_H
#define ORVTAPE_TOOL_H

#include "base/common.h"
#include "base/error.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvtool {

// s as valid UTF-8 for JSON: a byte that is not part of a well-formed
// sequence becomes the four characters \xHH (paths are bytes, JSON is text).
std::string jsonSafe(const std::string& s);
// Prints j on standard output as JSON, every string in it made valid
// UTF-8 by jsonSafe first: paths and labels are bytes, JSON is text.
void printJson(nlohmann::ordered_json j);

// Informational lines on standard error; silenced by --quiet.
void note(const Common& o, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Warnings always go to standard error.
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Flushes standard output; false (with one line on standard error naming the
// cause) when anything written to it was lost.
bool finishStdout();
// Sends standard output through a stream that keeps the errno of the first
// failed write, so that finishStdout() can name it.
void guardStdout();

// The opening of every command that turns one image into a new file: opens
// the source for reading, refuses to write it onto itself or over a file that
// may not be replaced, and claims the target (ImageLock::claim).
class Volume openSourceForNewFile(const std::string& source, const std::string& target, bool force,
                                  const struct Limits& limits, class ImageLock& dstLock);
// One line of up to 6 header bytes as hex.
std::string hexBytes(const unsigned char* p, int n);
// Sentence describing a negative validate code met at a header with these lengths.
std::string validateMessage(int code, unsigned curLen, unsigned prevLen);
// Sentence describing a negative read code.
std::string readMessage(int code);

}  // namespace orvtool

#endif  // ORVTAPE_TOOL_H
