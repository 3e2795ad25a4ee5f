// orvtape.h - shared declarations of the orvtape command-line tool.
//
// The tool is a host program of liborvTapeItf: it works on images only
// through the public ORVtape class and reports through writeConsoleLog.
#ifndef ORVTAPE_TOOL_H
#define ORVTAPE_TOOL_H

#include "base/error.h"

#include <ORVtape.h>

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace orvtool {

// Everything the command line can set; each command reads what it needs.
struct Options {
    bool quiet = false;
    int jobs = 0;  // -j: codec worker threads; 0 until options are parsed, then at least 1
    unsigned long long maxBlock = 64ull << 20;  // --max-block: the longest block read or imported
    bool wait = false;  // --wait: wait for an image another process has in use

    std::string image;              // the image a command works on
    std::string source, target;     // copy, recover, export, import
    std::vector<std::string> files; // put
    std::string out;                // get
    long long fileNo = -1;          // get
    long long blockNo = -1;         // dump

    unsigned long long blockSize = 32768;
    unsigned long long capacity = 0;  // 0: no end-of-tape warning
    int segmentSize = 0;              // 0: the library's default
    bool compress = false, noCompress = false;
    bool scramble = false, noScramble = false;
    bool sync = false;
    bool append = false;
    bool force = false;
    bool json = false;
    bool blocks = false;
    bool deep = false;  // check: decode every block
    bool ebcdic = false;  // dump: text column; put: convert text input
    // Labelled volumes.
    std::string label;              // put: volume serial of a new labelled volume
    bool ansi = false;              // put: ANSI (ASCII) labels
    std::vector<std::string> names; // put: data set names, one per input
    std::string recfm;              // put, get: record format without labels
    long long lrecl = 0;            // put, get: record length
    std::string fileArg;            // get: N, or OUT when a data set is chosen
    std::string dsName;             // get --name
    long long dataSet = 0;          // get --dataset, from 1
    bool unblock = false, ascii = false, strip = false;  // get
    std::string format;  // export --to / import --from
    std::string method = "keep";       // export --compress: keep, none, zlib, bzip2
    int level = 0;                     // export --level, 0: the method's default
    int chunk = 65535;                 // export --chunk (aws, het)
    bool split = false;                // export --split
};

// "(library code C, <errno in words>)": the cause part of an error line.
// Code 0 stands for a failure outside the library: only errno is shown.
std::string cause(int code, int err);
// cause() from the last operation of tape.
std::string cause(const ORVtape& tape);
// s as valid UTF-8 for JSON: a byte that is not part of a well-formed
// sequence becomes the four characters \xHH (paths are bytes, JSON is text).
std::string jsonSafe(const std::string& s);
// Prints j on standard output as JSON, every string in it made valid
// UTF-8 by jsonSafe first: paths and labels are bytes, JSON is text.
void printJson(nlohmann::ordered_json j);
// strerror with the symbolic name in front where it helps.
std::string errnoWords(int err);

// Informational lines on standard error; silenced by --quiet.
void note(const Options& o, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// Warnings always go to standard error.
void warn(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The cause of a failed write of tape: its errno, or, when the library's
// short write left none, the one a write at the end of the image gets.
std::string writeCause(const ORVtape& tape);
// Flushes standard output; false (with one line on standard error naming the
// cause) when anything written to it was lost.
bool finishStdout();
// Sends standard output through a stream that keeps the errno of the first
// failed write, so that finishStdout() can name it.
void guardStdout();

// Mounts path for writing; the caller locks it where others may see it.
void mountForWriting(ORVtape& tape, const std::string& path);
// Length of the file behind the open image.
long long imageSize(const ORVtape& tape);
// The opening of every command that turns one image into a new file: opens
// the source for reading, refuses to write it onto itself or over a file that
// may not be replaced, and claims the target (ImageLock::claim).
class Volume openSourceForNewFile(const Options& o, class ImageLock& dstLock);
// One line of up to 6 header bytes as hex.
std::string hexBytes(const unsigned char* p, int n);
// Sentence describing a negative validate code met at a header with these lengths.
std::string validateMessage(int code, unsigned curLen, unsigned prevLen);
// Sentence describing a negative read code.
std::string readMessage(int code);

// Writes one tapemark, leaving the write settings alone.  Throws ToolError.
void writeTapemark(ORVtape& tape, const std::string& path);

// The commands.
int cmdInit(const Options& o);
int cmdPut(const Options& o);
int cmdLs(const Options& o);
int cmdCheck(const Options& o);
int cmdGet(const Options& o);
int cmdDump(const Options& o);
int cmdCopy(const Options& o);
int cmdExport(const Options& o);
int cmdImport(const Options& o);
int cmdRecover(const Options& o);

}  // namespace orvtool

#endif  // ORVTAPE_TOOL_H
