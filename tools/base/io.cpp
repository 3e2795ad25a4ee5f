// io.cpp - buffered input and output over descriptors.
#include "io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvtool {

namespace {
constexpr std::size_t kBufferSize = 1u << 20;
}

int writeAll(int fd, const void* p, std::size_t n, std::size_t* done) {
    const char* at = static_cast<const char*>(p);
    std::size_t sent = 0;
    int err = 0;
    while (sent < n) {
        ssize_t w = ::write(fd, at + sent, n - sent);
        if (w < 0 && errno == EINTR) continue;
        // After a short write the retry obtains the system's reason.
        if (w <= 0) {
            err = w < 0 ? errno : EIO;
            break;
        }
        sent += static_cast<std::size_t>(w);
    }
    if (done) *done = sent;
    return err;
}

InputFile::InputFile(const std::string& path) : name_(path == "-" ? "standard input" : path) {
    fd_ = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw ToolError(name_, "cannot open the file " + cause(0, errno), kExitUsage);
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (fd_ > STDERR_FILENO) ::close(fd_);
        throw ToolError(name_, "cannot read the file " + cause(0, EISDIR), kExitUsage);
    }
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) size_ = st.st_size;
    buf_.reset(new unsigned char[kBufferSize]);  // not cleared: only bytes read are ever looked at
    cap_ = kBufferSize;
}

InputFile::InputFile(std::string name, const void* data, std::size_t n)
    : name_(std::move(name)), size_(static_cast<long long>(n)),
      buf_(new unsigned char[n]), cap_(n), end_(n), eof_(true) {
    if (n) std::memcpy(buf_.get(), data, n);
}

InputFile::~InputFile() {
    if (fd_ > STDERR_FILENO) ::close(fd_);
}

bool InputFile::fill() {
    if (eof_) return false;
    if (pos_ > 0) {
        std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
        end_ -= pos_;
        pos_ = 0;
    }
    for (;;) {
        ssize_t r = ::read(fd_, buf_.get() + end_, cap_ - end_);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw ToolError(name_, "cannot read " + cause(0, errno));
        if (r == 0) eof_ = true;
        end_ += static_cast<std::size_t>(r);
        return r > 0;
    }
}

std::size_t InputFile::peek(std::size_t n, const unsigned char** p) {
    if (n > cap_) n = cap_;
    while (end_ - pos_ < n && (end_ < cap_ || pos_ > 0) && fill()) {
    }
    *p = buf_.get() + pos_;
    return std::min(n, end_ - pos_);
}

void InputFile::advance(std::size_t n) {
    n = std::min(n, end_ - pos_);
    pos_ += n;
    offset_ += static_cast<long long>(n);
}

// Large reads go straight to the caller, bypassing the buffer.
std::size_t InputFile::readDirect(unsigned char* p, std::size_t n) {
    for (;;) {
        ssize_t r = ::read(fd_, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw ToolError(name_, "cannot read " + cause(0, errno));
        if (r == 0) eof_ = true;
        return static_cast<std::size_t>(r);
    }
}

std::size_t InputFile::read(void* p, std::size_t n) {
    unsigned char* out = static_cast<unsigned char*>(p);
    std::size_t got = 0;
    while (got < n) {
        if (pos_ == end_) {
            if (eof_) break;
            if (n - got >= cap_) {
                std::size_t r = readDirect(out + got, n - got);
                if (r == 0) break;
                got += r;
                continue;
            }
            pos_ = end_ = 0;
            if (!fill()) break;
        }
        std::size_t k = std::min(n - got, end_ - pos_);
        std::memcpy(out + got, buf_.get() + pos_, k);
        pos_ += k;
        got += k;
    }
    offset_ += static_cast<long long>(got);
    return got;
}

std::size_t InputFile::readInto(std::vector<unsigned char>& v, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        std::size_t step = std::min(n - got, std::max(kBufferSize, got));
        if (v.size() < got + step) v.resize(got + step);
        std::size_t r = read(v.data() + got, step);
        got += r;
        if (r < step) break;
    }
    return got;
}

bool InputFile::readAt(long long offset, void* p, std::size_t n) const {
    if (size_ < 0 || offset < 0 || offset + static_cast<long long>(n) > size_) return false;
    if (fd_ < 0) {  // in memory, where nothing is ever moved
        std::memcpy(p, buf_.get() + offset, n);
        return true;
    }
    return pread(fd_, p, n, offset) == static_cast<ssize_t>(n);
}

ToolError InputFile::errorAt(long long offset, const std::string& what) const {
    return ToolError(name_, "offset " + std::to_string(offset) + ": " + what);
}

OutputFile::OutputFile(int fd, std::string name, std::size_t directFrom)
    : fd_(fd), name_(std::move(name)), directFrom_(std::min(directFrom, kBufferSize)),
      buf_(new unsigned char[kBufferSize]) {}

void OutputFile::writeOut(const void* p, std::size_t n) {
    if (int err = writeAll(fd_, p, n)) throw ToolError(name_, "cannot write " + cause(0, err));
}

void OutputFile::write(const void* p, std::size_t n) {
    written_ += static_cast<long long>(n);
    if (used_ + n > kBufferSize || n >= directFrom_) flush();
    if (n >= directFrom_) return writeOut(p, n);
    std::memcpy(buf_.get() + used_, p, n);
    used_ += n;
}

void OutputFile::flush() {
    const std::size_t n = used_;
    used_ = 0;
    writeOut(buf_.get(), n);
}

Probe::Probe(InputFile& in) : in_(in) {
    // A regular file is read here a chunk at a time, not ahead into the
    // input's buffer, which would fill the whole of it.
    const bool sized = in.size() >= 0;
    if (!sized) n_ = in.peek(kWindow, &window_);
    complete_ = sized || n_ < kWindow;
    end_ = sized ? in.size() : static_cast<long long>(n_);
}

const unsigned char* Probe::at(long long offset, std::size_t n) {
    if (offset < 0 || n > kRead || offset + static_cast<long long>(n) > end_) return nullptr;
    const long long before = asked_;
    asked_ = offset;
    if (offset + static_cast<long long>(n) <= static_cast<long long>(n_)) return window_ + offset;
    if (offset < cacheAt_ || offset + static_cast<long long>(n) > cacheAt_ + cacheN_) {
        // A bidder that hops from header to header of long blocks would read
        // the whole file a chunk at a time: past a quarter of a chunk, where
        // a read's own cost is about that of copying the chunk, a hop reads
        // a page.  Shorter blocks take a chunk, which serves several.
        const bool hop = offset - before > static_cast<long long>(kChunk / 4);
        const std::size_t want = static_cast<std::size_t>(std::min<long long>(hop ? kRead : kChunk, end_ - offset));
        if (!cache_) cache_.reset(new unsigned char[kChunk]);
        if (!in_.readAt(offset, cache_.get(), want)) return nullptr;
        cacheAt_ = offset;
        cacheN_ = static_cast<long long>(want);
    }
    return cache_.get() + (offset - cacheAt_);
}

const long long* Probe::recall(const void* walk) const {
    for (const auto& w : walks_)
        if (w.first == walk) return &w.second;
    return nullptr;
}

}  // namespace orvtool
