// bytes.h - buffered byte streams for the format code; new output files are
// made by NewFile (safe_file.h).
#ifndef ORVTAPE_TOOL_BYTES_H
#define ORVTAPE_TOOL_BYTES_H

#include "../orvtape.h"

#include <cstddef>
#include <string>
#include <vector>

namespace orvtool {

// A file or standard input ("-") read front to back through one buffer.
// The refusal of a record longer than --max-block lets through.
std::string longerThanLimit(std::size_t length, std::size_t limit);

// Read failures throw ToolError naming the file.
class InputBytes {
public:
    explicit InputBytes(const std::string& path);
    ~InputBytes();
    InputBytes(const InputBytes&) = delete;
    InputBytes& operator=(const InputBytes&) = delete;

    // Makes up to n bytes ahead available without consuming them; returns
    // how many there are (fewer only at the end of the input).
    size_t peek(size_t n, const unsigned char** p);
    // Reads up to n bytes; fewer only at the end of the input.
    size_t read(void* p, size_t n);
    // Reads up to n bytes into v, growing v only as bytes arrive, so that
    // a length field promising more than the input holds costs no memory.
    size_t readInto(std::vector<char>& v, size_t n);
    // Reads n bytes at offset of a regular file without moving; false
    // when the input is not a regular file or holds fewer bytes there.
    bool readAt(long long offset, void* p, size_t n) const;
    // Bytes consumed so far.
    long long offset() const { return offset_; }
    // Size of a regular file, -1 for a pipe or terminal.
    long long size() const { return size_; }
    const std::string& name() const { return name_; }
    // A refusal that names this input and the offset of the record at fault.
    ToolError errorAt(long long offset, const std::string& what) const;

private:
    bool fill();

    std::string name_;
    int fd_ = -1;
    long long size_ = -1, offset_ = 0;
    std::vector<unsigned char> buf_;
    size_t pos_ = 0, end_ = 0;
    bool eof_ = false;
};

// Writes through one buffer to a descriptor it does not own.  Write
// failures throw ToolError naming the output.
class OutputBytes {
public:
    OutputBytes(int fd, std::string name);
    void write(const void* p, size_t n);
    void flush();
    long long written() const { return written_; }

private:
    void writeOut(const unsigned char* p, size_t n);

    int fd_;
    std::string name_;
    std::vector<unsigned char> buf_;
    size_t used_ = 0;
    long long written_ = 0;
};

}  // namespace orvtool

#endif
