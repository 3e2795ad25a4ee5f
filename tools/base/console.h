// console.h - what the tool says on its standard streams apart from the
// reports of its commands: notes, warnings, JSON made safe, and standard
// output guarded so that a lost write is noticed and named.
#ifndef ORVTAPE_TOOL_BASE_CONSOLE_H
#define ORVTAPE_TOOL_BASE_CONSOLE_H

#include "base/common.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdio>
#include <string>
#include <sys/types.h>

namespace orvtool {

// Informational lines on standard error; silenced by --quiet.
void note(const Common& o, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Warnings always go to standard error.
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// s as valid UTF-8 for JSON: a byte that is not part of a well-formed
// sequence becomes the four characters \xHH (paths are bytes, JSON is text).
std::string jsonSafe(const std::string& s);
// j with every string in it made valid UTF-8 by jsonSafe: paths and labels
// are bytes, JSON is text.
void makeJsonSafe(nlohmann::ordered_json& j);
// Prints j on standard output as JSON, made safe first.
void printJson(nlohmann::ordered_json j);
// One line of up to 6 header bytes as hex.
std::string hexBytes(const unsigned char* p, int n);

// Descriptors 0, 1 and 2 that are closed at start-up are opened on
// /dev/null, so that no image or output can land on them.
void reopenClosedStdStreams();
// While it lives, standard output goes through a stream that keeps the errno
// of the first failed write, so that finish() can name it.  main() owns the
// one guard of the process.
class StdoutGuard {
public:
    StdoutGuard();
    ~StdoutGuard();  // closes its stream and puts back the one it replaced
    StdoutGuard(const StdoutGuard&) = delete;
    StdoutGuard& operator=(const StdoutGuard&) = delete;
    // Flushes standard output; false (with one line on standard error naming
    // the cause, once) when anything written to it was lost.
    bool finish();

private:
    static ssize_t write(void* guard, const char* p, size_t n);
    FILE* replaced_ = nullptr;
    int errno_ = 0;  // of the first write that failed
    bool reported_ = false;
};

}  // namespace orvtool

#endif
