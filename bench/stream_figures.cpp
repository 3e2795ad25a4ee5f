// The C++ side of bench/python_bench.py: writes an image of COUNT blocks of
// SIZE bytes with the streaming writer, then walks it with the streaming
// reader touching each block, as the Python loop does, and prints both times.
//   stream_figures IMAGE SIZE COUNT DATA_FILE
// DATA_FILE holds the bytes the blocks are cut from, the same for both sides.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "orvTapeStream.h"
#include "workload.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s IMAGE SIZE COUNT DATA_FILE\n", argv[0]);
        return 2;
    }
    const unsigned size = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    const unsigned long count = std::strtoul(argv[3], nullptr, 10);
    std::ifstream in(argv[4], std::ios::binary);
    const std::vector<unsigned char> pool((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (size == 0 || pool.size() < size) return 2;
    const std::size_t slots = pool.size() / size;

    auto start = std::chrono::steady_clock::now();
    ORVtapeWriter w;
    if (w.open(argv[1], 0, 0) != ORVTAPE_OK) return 1;
    for (unsigned long i = 0; i < count; ++i)
        if (w.write(pool.data() + (i % slots) * size, size) != static_cast<int>(size)) return 1;
    if (w.close() != ORVTAPE_OK) return 1;
    const double written = seconds(start);

    start = std::chrono::steady_clock::now();
    ORVtapeReader r;
    if (r.open(argv[1]) != ORVTAPE_OK) return 1;
    orvTapeBlockInfo b = ORVTAPE_BLOCK_INFO_INIT;
    std::uint64_t sum = 0;
    unsigned long n = 0;
    for (; r.next(&b, ORVTAPE_READ_DECODE) == static_cast<int>(size); ++n) sum = bench::digest(b.data, 8, sum);
    const double read = seconds(start);
    if (n != count) return 1;
    std::printf("%.6f %.6f %llu\n", written, read, static_cast<unsigned long long>(sum));
    return 0;
}
