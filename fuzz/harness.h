// Pieces shared by the fuzz harnesses and the corpus generator: the input
// layout, an in-memory image file with a path the library can open, caller
// buffers fenced by guard bytes, and an independent walker that decides
// whether an image is strictly well formed.
//
// Input layout: a 16-bit little-endian image length N, then N image bytes
// (fewer when the input ends early), then the script: one opcode byte and
// one argument byte per operation.
#ifndef ORV_FUZZ_HARNESS_H
#define ORV_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fuzzsupport {

using Bytes = std::vector<unsigned char>;

[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "oracle failure: %s\n", what);
    std::abort();
}
#define FUZZ_CHECK(cond) \
    do {                 \
        if (!(cond)) ::fuzzsupport::fail(#cond); \
    } while (0)

struct Input {
    const unsigned char* image = nullptr;
    std::size_t imageLen = 0;
    const unsigned char* script = nullptr;
    std::size_t scriptLen = 0;
};

inline Input split(const uint8_t* data, std::size_t size) {
    Input in;
    if (size < 2) return in;
    std::size_t n = data[0] | (data[1] << 8);
    if (n > size - 2) n = size - 2;
    in.image = data + 2;
    in.imageLen = n;
    in.script = data + 2 + n;
    in.scriptLen = size - 2 - n;
    return in;
}

inline Bytes join(const Bytes& image, const Bytes& script) {
    Bytes out{static_cast<unsigned char>(image.size()), static_cast<unsigned char>(image.size() >> 8)};
    out.insert(out.end(), image.begin(), image.end());
    out.insert(out.end(), script.begin(), script.end());
    return out;
}

// One memory-backed file per process, reopened by the library through its
// /proc path: real descriptors and offsets without touching the disk.
class MemImage {
public:
    MemImage() {
        fd_ = memfd_create("orvfuzz", 0);
        if (fd_ < 0) fail("memfd_create");
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    }
    const char* path() const { return path_.c_str(); }
    void load(const unsigned char* p, std::size_t n) {
        if (ftruncate(fd_, 0) != 0) fail("ftruncate");
        std::size_t done = 0;
        while (done < n) {
            const ssize_t w = pwrite(fd_, p + done, n - done, static_cast<off_t>(done));
            if (w <= 0) fail("pwrite");
            done += static_cast<std::size_t>(w);
        }
    }
    std::size_t size() const {
        struct stat st;
        return fstat(fd_, &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
    }
    Bytes contents() const {
        Bytes out(size());
        std::size_t at = 0;
        while (at < out.size()) {
            const ssize_t r = pread(fd_, out.data() + at, out.size() - at, static_cast<off_t>(at));
            if (r <= 0) break;
            at += static_cast<std::size_t>(r);
        }
        out.resize(at);
        return out;
    }

private:
    int fd_;
    std::string path_;
};

// A caller buffer with guard zones on both sides and a known fill, so that
// any byte the library writes outside [0, size) or beyond what it reports
// is noticed after the call.
class Fenced {
public:
    static constexpr std::size_t kGuard = 64;
    static constexpr unsigned char kGuardByte = 0xA5;
    static constexpr unsigned char kFill = 0x5A;

    explicit Fenced(std::size_t size) : size_(size), mem_(size + 2 * kGuard) { reset(); }
    void reset() {
        std::memset(mem_.data(), kGuardByte, kGuard);
        std::memset(mem_.data() + kGuard, kFill, size_);
        std::memset(mem_.data() + kGuard + size_, kGuardByte, kGuard);
    }
    unsigned char* data() { return mem_.data() + kGuard; }
    std::size_t size() const { return size_; }
    void checkGuards() const {
        for (std::size_t i = 0; i < kGuard; ++i) {
            FUZZ_CHECK(mem_[i] == kGuardByte);
            FUZZ_CHECK(mem_[kGuard + size_ + i] == kGuardByte);
        }
    }
    // Bytes [from, to) of the usable area still hold the fill.
    bool untouched(std::size_t from, std::size_t to) const {
        for (std::size_t i = from; i < to && i < size_; ++i)
            if (mem_[kGuard + i] != kFill) return false;
        return true;
    }

private:
    std::size_t size_;
    std::vector<unsigned char> mem_;
};

// Strict well-formedness, judged without the library: every header chains,
// blocks open with BOR and close with EOR, tapemarks are bare, the transform
// bits agree across a block, and the last segment ends exactly at the end of
// the file.  The library must keep such an image strict through any sequence
// of its own operations.
inline bool strictlyWellFormed(const Bytes& img) {
    std::size_t at = 0;
    unsigned prev = 0;
    bool inBlock = false;
    unsigned char bits = 0;
    while (at < img.size()) {
        if (img.size() - at < 6) return false;
        const unsigned char* h = &img[at];
        const unsigned cur = h[0] | (h[1] << 8);
        const unsigned prv = h[2] | (h[3] << 8);
        const unsigned char f1 = h[4], f2 = h[5];
        if (prv != prev || (f1 & 0x1F) || (f2 & 0x7C)) return false;
        if ((f2 & 0x03) && !(f2 & 0x80)) return false;
        if (!inBlock) {
            if (f1 & 0x40) {
                if (f1 != 0x40 || f2 != 0 || cur != 0) return false;
            } else {
                if (!(f1 & 0x80) || cur == 0) return false;
                bits = f2 & 0x83;
                inBlock = !(f1 & 0x20);
            }
        } else {
            if ((f1 & 0xC0) || cur == 0) return false;
            if ((f2 & 0x83) != bits) return false;
            inBlock = !(f1 & 0x20);
        }
        if (img.size() - at - 6 < cur) return false;
        at += 6 + cur;
        prev = cur;
    }
    return !inBlock;
}

// Deterministic block contents derived from a seed byte: compressible for
// even seeds, noise for odd ones, so both storage forms are exercised.
inline Bytes blockData(std::size_t n, unsigned seed) {
    Bytes out(n);
    uint32_t x = 2463534242u ^ (seed * 2654435761u);
    for (std::size_t i = 0; i < n; ++i) {
        if (seed % 2 == 0) {
            out[i] = static_cast<unsigned char>('a' + (i / 7 + seed) % 5);
        } else {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            out[i] = static_cast<unsigned char>(x);
        }
    }
    return out;
}

}  // namespace fuzzsupport

#endif  // ORV_FUZZ_HARNESS_H
