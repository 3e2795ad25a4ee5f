// Realistic block contents and the raw image-layout baseline.
#include "workload.h"

#include <cstdarg>
#include <cstring>
#include <unistd.h>

// The library prints its report through a function the host supplies; the
// benchmarks never print a report, so it only has to exist.
extern "C" void writeConsoleLog(int, const char*, const char*, ...) {}

namespace bench {
namespace {

struct Rng {
    std::uint64_t s;
    std::uint64_t next() {  // splitmix64: tiny, fast and the same everywhere
        std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

constexpr int kWords = 1024;

// A fixed vocabulary of pronounceable words built from syllables.
struct Vocabulary {
    char words[kWords][12];
    unsigned char lens[kWords];
    Vocabulary() {
        static const char* syl[] = {"ta", "pe", "ro", "mi", "dun", "sel", "ka", "vor", "li", "ne",
                                    "st", "ar", "on", "qu", "is", "ment", "ex", "al", "ing", "ter"};
        Rng r{42};
        for (int w = 0; w < kWords; ++w) {
            int len = 0;
            const int parts = 1 + static_cast<int>(r.below(4));
            for (int k = 0; k < parts; ++k) {
                const char* s = syl[r.below(20)];
                while (*s && len < 11) words[w][len++] = *s++;
            }
            words[w][len] = 0;
            lens[w] = static_cast<unsigned char>(len);
        }
    }
};

const Vocabulary& vocabulary() {
    static const Vocabulary v;
    return v;
}

// Zipf-like: common words far more often than rare ones.
unsigned pickWord(Rng& r) {
    const unsigned a = r.below(kWords), b = r.below(kWords);
    return a * b / kWords;
}

void text(unsigned char* p, std::size_t n, Rng& r) {
    const Vocabulary& v = vocabulary();
    std::size_t i = 0;
    unsigned inLine = 0;
    const unsigned lineWords = 6 + r.below(9);
    while (i < n) {
        const unsigned w = pickWord(r);
        for (unsigned k = 0; k < v.lens[w] && i < n; ++k) p[i++] = static_cast<unsigned char>(v.words[w][k]);
        if (i < n) p[i++] = ++inLine % lineWords == 0 ? '\n' : ' ';
    }
}

void records(unsigned char* p, std::size_t n, Rng& r, std::uint64_t& id, std::uint32_t& stamp) {
    const Vocabulary& v = vocabulary();
    unsigned char rec[64];
    std::size_t i = 0;
    while (i < n) {
        std::memset(rec, 0, sizeof rec);
        ++id;
        stamp += r.below(4);
        const std::uint16_t type = static_cast<std::uint16_t>(r.below(8));
        const std::int32_t amount = static_cast<std::int32_t>(r.below(20000)) - 5000;
        const double price = static_cast<double>(r.below(1000)) / 4.0;
        std::memcpy(rec, &id, 8);
        std::memcpy(rec + 8, &stamp, 4);
        std::memcpy(rec + 12, &type, 2);
        std::memcpy(rec + 16, &amount, 4);
        const unsigned w = pickWord(r);
        std::memset(rec + 20, ' ', 16);
        std::memcpy(rec + 20, v.words[w], v.lens[w]);
        std::memcpy(rec + 36, &price, 8);
        const std::size_t take = n - i < sizeof rec ? n - i : sizeof rec;
        std::memcpy(p + i, rec, take);
        i += take;
    }
}

void noise(unsigned char* p, std::size_t n, Rng& r) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t x = r.next();
        std::memcpy(p + i, &x, 8);
    }
    for (; i < n; ++i) p[i] = static_cast<unsigned char>(r.next());
}

}  // namespace

void fillRealistic(unsigned char* p, std::size_t n, std::uint64_t seed) {
    Rng r{seed * 0x100000001B3ULL + 7};
    std::uint64_t id = seed << 32;
    std::uint32_t stamp = 1700000000u;
    std::size_t i = 0;
    while (i < n) {
        std::size_t chunk = 2048 + r.below(30 * 1024);
        if (chunk > n - i) chunk = n - i;
        const unsigned kind = r.below(100);
        if (kind < 50)
            text(p + i, chunk, r);
        else if (kind < 85)
            records(p + i, chunk, r, id, stamp);
        else
            noise(p + i, chunk, r);
        i += chunk;
    }
}

std::uint64_t digest(const unsigned char* p, std::size_t n, std::uint64_t h) {
    for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

bool rawWriteBlock(int fd, const unsigned char* data, unsigned len, unsigned& prevCur, long long& pos) {
    unsigned left = len;
    bool first = true;
    do {
        const unsigned n = left < kSeg ? left : kSeg;
        unsigned char h[kHdr] = {static_cast<unsigned char>(n), static_cast<unsigned char>(n >> 8),
                                 static_cast<unsigned char>(prevCur), static_cast<unsigned char>(prevCur >> 8),
                                 static_cast<unsigned char>((first ? 0x80 : 0) | (n == left ? 0x20 : 0)), 0};
        if (::write(fd, h, kHdr) != kHdr) return false;
        if (::write(fd, data, n) != static_cast<ssize_t>(n)) return false;
        data += n;
        left -= n;
        pos += kHdr + n;
        prevCur = n;
        first = false;
    } while (left > 0);
    return ftruncate(fd, pos) == 0;
}

long long rawReadBlock(int fd, unsigned char* buf) {
    long long total = 0;
    for (;;) {
        unsigned char h[kHdr];
        const ssize_t got = ::read(fd, h, kHdr);
        if (got == 0 && total == 0) return 0;
        if (got != kHdr || (h[4] & 0x40)) return -1;
        const unsigned n = h[0] | (h[1] << 8);
        if (::read(fd, buf + total, n) != static_cast<ssize_t>(n)) return -1;
        total += n;
        if (h[4] & 0x20) return total;
    }
}

}  // namespace bench
