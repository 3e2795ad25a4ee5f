// Helpers shared by every test program: temporary files, image bytes built
// without the library, the captured console log, and where a tape stands.
#ifndef ORV_TESTS_SUPPORT_H
#define ORV_TESTS_SUPPORT_H

#include "ORVtape.h"

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<unsigned char>;

// A fresh directory under TMPDIR, removed with its contents at destruction.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& bytes);
long long fileSize(const std::string& path);  // -1 when there is no such file

// Image bytes as the format defines them: a header; a header and curLen
// bytes of fill; a block cut into segments of seg bytes, chained to a
// segment of prev bytes before it.
Bytes header(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2);
Bytes segment(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2 = 0,
              unsigned char fill = 0x5A);
Bytes block(const Bytes& payload, unsigned seg, unsigned prev, unsigned char flags2 = 0);
Bytes operator+(Bytes a, const Bytes& b);
// Deterministic pseudo-random bytes, bytes that bzip2 shrinks quickly, the
// positional scramble (XOR with FF, FE, ..., 00) and libbz2's own stream
// with the format's parameters (block size 9, work factor 0).
Bytes pattern(std::size_t n, std::uint32_t seed = 1);
Bytes compressible(std::size_t n);
Bytes scrambled(const Bytes& plain);
Bytes bzip2(const Bytes& plain);

// Everything writeConsoleLog received, rendered with printf semantics, and
// how many calls came with level 2 and the id "TAPE_1090".
std::string& consoleLog();
int& consoleCalls();

// Runs fn in a forked child; the exit status (128 + signal when killed).
int inChild(const std::function<int()>& fn);
// Drops to user nobody so that permission bits really refuse; false when impossible.
bool dropPrivileges();

// Where a tape stands: the descriptor's real offset and the counters.
struct Where {
    long long pos;
    int blockID, fileNumber;
    bool tapemark;
    bool operator==(const Where& o) const {
        return pos == o.pos && blockID == o.blockID && fileNumber == o.fileNumber && tapemark == o.tapemark;
    }
};
Where where(const ORVtape& t);
std::ostream& operator<<(std::ostream& os, const Where& w);

// An image file with the given bytes, mounted.
struct Mounted {
    TempDir dir;
    std::string path = dir.path("t.tape");
    ORVtape t;
    explicit Mounted(const Bytes& image = {}, bool readOnly = false);
};

}  // namespace testsupport

#endif  // ORV_TESTS_SUPPORT_H
