// Data and raw-I/O helpers shared by the benchmark program and the memory
// probe: a deterministic mix of realistic block contents, and the image
// layout written and read with plain system calls as the baseline.
#ifndef ORV_BENCH_WORKLOAD_H
#define ORV_BENCH_WORKLOAD_H

#include <cstddef>
#include <cstdint>

namespace bench {

constexpr unsigned kSeg = 65535;
constexpr int kHdr = 6;

// Fills n bytes with a mix of text lines, fixed-width binary records and
// incompressible bytes, the same for the same seed.
void fillRealistic(unsigned char* p, std::size_t n, std::uint64_t seed);

// FNV-1a, to compare what went onto a tape with what came back.
std::uint64_t digest(const unsigned char* p, std::size_t n, std::uint64_t h = 1469598103934665603ULL);

// One block in the image layout with one write per header and per payload,
// then the truncation after the block.  prevCur carries the curLen of the
// segment before; pos the offset, both updated.  False on a short write.
bool rawWriteBlock(int fd, const unsigned char* data, unsigned len, unsigned& prevCur, long long& pos);

// One block in the image layout: a 6-byte read per header and one read per
// payload, straight into buf.  Returns the block length, 0 at the end of the
// image, -1 on a short read or a tapemark.
long long rawReadBlock(int fd, unsigned char* buf);

}  // namespace bench

#endif  // ORV_BENCH_WORKLOAD_H
