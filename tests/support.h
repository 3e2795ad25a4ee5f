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
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

Bytes readFile(const std::string& path);
void writeFile(const std::string& path, const Bytes& bytes);
long long fileSize(const std::string& path);

// The 6 header bytes as the format defines them.
Bytes header(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2);
// A header followed by curLen bytes of fill.
Bytes segment(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2 = 0,
              unsigned char fill = 0x5A);
Bytes operator+(Bytes a, const Bytes& b);
// A block as the writer lays it out: the payload cut into segments of seg
// bytes, chained to a segment of prev bytes before it.
Bytes block(const Bytes& payload, unsigned seg, unsigned prev, unsigned char flags2 = 0);
// Deterministic pseudo-random bytes, and bytes that bzip2 shrinks quickly.
Bytes pattern(std::size_t n, std::uint32_t seed = 1);
Bytes compressible(std::size_t n);
// Bytes XORed with the positional stream FF, FE, ..., 00.
Bytes scrambled(const Bytes& plain);
// The stream libbz2 makes with the format's parameters (block size 9, work factor 0).
Bytes bzip2(const Bytes& plain);

// Everything writeConsoleLog received, rendered with printf semantics, and
// how many calls came with level 2 and the id "TAPE_1090".
std::string& consoleLog();
int& consoleCalls();

// Runs fn in a forked child; its result is the exit status (128 + signal when killed).
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
