// Helpers shared by the unit tests: temporary image files, whole-file reads,
// independently built header bytes, and the captured console log.
#ifndef ORV_TESTS_SUPPORT_H
#define ORV_TESTS_SUPPORT_H

#include <cstdint>
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

// The 6 header bytes as the format defines them, built without the library.
Bytes header(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2);
void append(Bytes& to, const Bytes& more);
// Deterministic pseudo-random bytes.
Bytes pattern(std::size_t n, std::uint32_t seed = 1);
// Bytes XORed with the positional stream FF, FE, ..., 00.
Bytes scrambled(const Bytes& plain);

// Everything writeConsoleLog received, rendered with printf semantics.
std::string& consoleLog();
// How many calls writeConsoleLog received with level 2 and id "TAPE_1090".
int& consoleCalls();

// Runs fn in a forked child and returns its exit status (or 128 + signal).
int inChild(void (*fn)(void* arg), void* arg);

}  // namespace testsupport

#endif  // ORV_TESTS_SUPPORT_H
