// bytes.cpp - buffered byte streams.
#include "bytes.h"

#include "../orvtape.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

namespace {
constexpr size_t kBufferSize = 1u << 20;
}

InputBytes::InputBytes(const std::string& path) : name_(path == "-" ? "standard input" : path) {
    fd_ = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY);
    if (fd_ < 0) throw ToolError(name_, "cannot open the file " + cause(0, errno));
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode))
        throw ToolError(name_, "cannot read the file " + cause(0, EISDIR));
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = st.st_size;
    buf_.resize(kBufferSize);
}

InputBytes::~InputBytes() {
    if (fd_ > STDERR_FILENO) ::close(fd_);
}

bool InputBytes::fill() {
    if (eof_) return false;
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    for (;;) {
        ssize_t r = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw ToolError(name_, "cannot read " + cause(0, errno));
        if (r == 0) eof_ = true;
        end_ += static_cast<size_t>(r);
        return r > 0;
    }
}

size_t InputBytes::peek(size_t n, const unsigned char** p) {
    if (n > buf_.size()) n = buf_.size();
    while (end_ - pos_ < n && (end_ < buf_.size() || pos_ > 0) && fill()) {
    }
    *p = buf_.data() + pos_;
    return std::min(n, end_ - pos_);
}

size_t InputBytes::read(void* p, size_t n) {
    unsigned char* out = static_cast<unsigned char*>(p);
    size_t got = 0;
    while (got < n) {
        if (pos_ == end_) {
            // Large reads go straight to the caller, bypassing the buffer.
            if (n - got >= buf_.size() && !eof_) {
                ssize_t r = ::read(fd_, out + got, n - got);
                if (r < 0 && errno == EINTR) continue;
                if (r < 0) throw ToolError(name_, "cannot read " + cause(0, errno));
                if (r == 0) eof_ = true;
                if (r <= 0) break;
                got += static_cast<size_t>(r);
                continue;
            }
            pos_ = end_ = 0;
            if (!fill()) break;
        }
        size_t k = std::min(n - got, end_ - pos_);
        std::memcpy(out + got, buf_.data() + pos_, k);
        pos_ += k;
        got += k;
    }
    offset_ += static_cast<long long>(got);
    return got;
}

size_t InputBytes::readInto(std::vector<char>& v, size_t n) {
    size_t got = 0;
    while (got < n) {
        size_t step = std::min(n - got, std::max<size_t>(kBufferSize, got));
        if (v.size() < got + step) v.resize(got + step);
        size_t r = read(v.data() + got, step);
        got += r;
        if (r < step) break;
    }
    return got;
}

bool InputBytes::readAt(long long offset, void* p, size_t n) const {
    if (size_ < 0 || offset < 0 || offset + static_cast<long long>(n) > size_) return false;
    return pread(fd_, p, n, offset) == static_cast<ssize_t>(n);
}

OutputBytes::OutputBytes(int fd, std::string name) : fd_(fd), name_(std::move(name)) {
    buf_.resize(kBufferSize);
}

void OutputBytes::writeOut(const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd_, p, n);
        if (w < 0 && errno == EINTR) continue;
        // A short write is retried, which obtains the system's reason.
        if (w <= 0) throw ToolError(name_, "cannot write " + cause(0, w < 0 ? errno : EIO));
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void OutputBytes::write(const void* p, size_t n) {
    const unsigned char* in = static_cast<const unsigned char*>(p);
    written_ += static_cast<long long>(n);
    if (used_ + n > buf_.size()) {
        flush();
        if (n >= buf_.size()) return writeOut(in, n);
    }
    std::memcpy(buf_.data() + used_, in, n);
    used_ += n;
}

void OutputBytes::flush() {
    writeOut(buf_.data(), used_);
    used_ = 0;
}

ToolError InputBytes::errorAt(long long offset, const std::string& what) const {
    return ToolError(name_, "offset " + std::to_string(offset) + ": " + what);
}

std::string longerThanLimit(std::size_t length, std::size_t limit) {
    return "a record of " + std::to_string(length) + " bytes is longer than the block limit of " +
           std::to_string(limit) + " (--max-block)";
}

}  // namespace orvtool
