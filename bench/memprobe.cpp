// Peak resident memory of a host that writes an image in 4 MiB blocks and
// reads it back, plain or compressed and scrambled.  Runs as a process of its
// own so that only the host's one block buffer, the library and its work
// buffers count.  Prints "<peak KiB> <MiB moved>"; exits 1 if the data read
// back differs from what was written.
#include "ORVtape.h"
#include "workload.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/resource.h>

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[1], "plain") != 0 && std::strcmp(argv[1], "xform") != 0)) {
        std::fprintf(stderr, "usage: %s plain|xform MIB IMAGE\n", argv[0]);
        return 2;
    }
    const bool xform = std::strcmp(argv[1], "xform") == 0;
    const unsigned blocks = static_cast<unsigned>(std::atoi(argv[2])) / 4;
    const unsigned kBlock = 4u << 20;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kBlock]);

    ORVtape tape;
    if (tape.open(argv[3], false) != 0) return 2;
    tape.compressOn = xform;
    tape.encryptOn = xform;
    tape.rew();
    std::uint64_t written = bench::digest(nullptr, 0);
    for (unsigned i = 0; i < blocks; ++i) {
        bench::fillRealistic(buf.get(), kBlock, i);
        written = bench::digest(buf.get(), kBlock, written);
        if (tape.write(buf.get(), kBlock) != static_cast<int>(kBlock)) return 1;
    }
    tape.rew();
    std::uint64_t read = bench::digest(nullptr, 0);
    for (unsigned i = 0; i < blocks; ++i) {
        if (tape.read(buf.get(), kBlock) != static_cast<int>(kBlock)) return 1;
        read = bench::digest(buf.get(), kBlock, read);
    }
    tape.close();
    if (read != written) return 1;
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%ld %u\n", ru.ru_maxrss, blocks * 4);
    return 0;
}
