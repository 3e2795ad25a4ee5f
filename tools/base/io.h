// io.h - the tool's one way of moving bytes in and out of files: a buffered
// input (a file, standard input or bytes in memory), a buffered output, and
// the write loop under both.  Knows nothing of images or formats.
#ifndef ORVTAPE_TOOL_BASE_IO_H
#define ORVTAPE_TOOL_BASE_IO_H

#include "error.h"

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orvtool {

// Writes all n bytes to fd, retrying interrupted and short writes.  Returns
// 0, or the errno of the write that failed (EIO when one wrote nothing);
// done, when given, receives the bytes written before it.
int writeAll(int fd, const void* p, std::size_t n, std::size_t* done = nullptr);

// A file, standard input ("-") or bytes in memory, read front to back
// through one buffer.  Read failures throw ToolError naming the input.
class InputFile {
public:
    explicit InputFile(const std::string& path);
    // n bytes held in memory (copied), shown in messages as name.
    InputFile(std::string name, const void* data, std::size_t n);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Makes up to n bytes ahead available without consuming them; returns
    // how many there are (fewer only at the end of the input).
    std::size_t peek(std::size_t n, const unsigned char** p);
    // Consumes up to n of the bytes peek made available, without copying.
    void advance(std::size_t n);
    // Reads up to n bytes; fewer only at the end of the input.
    std::size_t read(void* p, std::size_t n);
    // Reads up to n bytes into v, growing v only as bytes arrive, so that
    // a length field promising more than the input holds costs no memory.
    std::size_t readInto(std::vector<unsigned char>& v, std::size_t n);
    // Reads n bytes at offset without moving; false when the input is a
    // pipe or holds fewer bytes there.
    bool readAt(long long offset, void* p, std::size_t n) const;
    // Bytes consumed so far.
    long long offset() const { return offset_; }
    // Size of a regular file or of the memory, -1 for a pipe or terminal.
    long long size() const { return size_; }
    const std::string& name() const { return name_; }
    // A refusal that names this input and the offset of the block at fault.
    ToolError errorAt(long long offset, const std::string& what) const;

private:
    bool fill();
    std::size_t readDirect(unsigned char* p, std::size_t n);

    std::string name_;
    int fd_ = -1;  // -1: the bytes are all in buf_
    long long size_ = -1, offset_ = 0;
    std::unique_ptr<unsigned char[]> buf_;
    std::size_t cap_ = 0, pos_ = 0, end_ = 0;
    bool eof_ = false;
};

// A descriptor it does not own, written through one buffer.  Writes of
// directFrom bytes or more skip the buffer.  Failures throw ToolError naming
// the output.
class OutputFile {
public:
    static constexpr std::size_t kBufferSize = 1u << 20;
    OutputFile(int fd, std::string name, std::size_t directFrom = kBufferSize);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* p, std::size_t n);
    // Writes what the buffer holds; a failed flush is not tried again.
    void flush();
    long long written() const { return written_; }

private:
    void writeOut(const void* p, std::size_t n);

    int fd_;
    std::string name_;
    std::size_t directFrom_;
    std::unique_ptr<unsigned char[]> buf_;  // not cleared first: a MiB of zeroes shows in short runs
    std::size_t used_ = 0;
    long long written_ = 0;
};

// The input's bytes at any offset, without consuming them, for judging what
// a file is: of a regular file through reads of a chunk where the bidders
// look, so that a file judged by its first headers costs no MiB read into
// fresh memory; of a pipe the first MiB, from the input's own buffer.
class Probe {
public:
    static constexpr std::size_t kWindow = 1u << 20;
    static constexpr std::size_t kChunk = 64u << 10;
    static constexpr std::size_t kRead = 4096;  // at most asked for at once
    explicit Probe(InputFile& in);
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;
    // Where the bytes seen end; complete: that is where the input ends.
    long long end() const { return end_; }
    bool complete() const { return complete_; }
    // n bytes (at most kRead) at offset, or null where they cannot be seen.
    const unsigned char* at(long long offset, std::size_t n);
    // The outcome of a walk that several bidders share, by the walk's own
    // key, so that the file is walked once for all of them.
    const long long* recall(const void* walk) const;
    void remember(const void* walk, long long outcome) { walks_.emplace_back(walk, outcome); }

private:
    InputFile& in_;
    const unsigned char* window_ = nullptr;
    std::size_t n_ = 0;
    long long end_ = 0, cacheAt_ = 0, cacheN_ = 0;
    long long asked_ = 0;  // the offset of the last lookup
    bool complete_ = false;
    std::unique_ptr<unsigned char[]> cache_;  // a chunk, made when first needed
    std::vector<std::pair<const void*, long long>> walks_;
};

// Judges whether a probed input holds one format: 0 when not, higher when
// surer; 0 at once when it cannot bid above best, the bid to beat, which
// spares a walk of the file.  On 0, misfit (when given) receives where the
// file stopped fitting, as a phrase of the detection message: it starts with
// a space when it carries on the phrase before it.
using Bidder = int (*)(Probe& in, int best, std::string* misfit);

}  // namespace orvtool

#endif
