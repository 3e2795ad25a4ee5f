#include "support.h"

#include <algorithm>
#include <bzlib.h>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvtape-test-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = tmpl;
    chmod(dir.c_str(), 0755);  // an unprivileged child must reach its files
}

TempDir::~TempDir() { std::error_code ec; std::filesystem::remove_all(dir, ec); }

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

Bytes header(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2) {
    return {static_cast<unsigned char>(curLen), static_cast<unsigned char>(curLen >> 8),
            static_cast<unsigned char>(prevLen), static_cast<unsigned char>(prevLen >> 8), flags1, flags2};
}

Bytes segment(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2, unsigned char fill) {
    return header(curLen, prevLen, flags1, flags2) + Bytes(curLen, fill);
}

Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

Bytes block(const Bytes& payload, unsigned seg, unsigned prev, unsigned char flags2) {
    Bytes out;
    for (std::size_t off = 0; off < payload.size(); off += seg) {
        const std::size_t n = std::min<std::size_t>(seg, payload.size() - off);
        const unsigned char flags1 = (off == 0 ? 0x80 : 0) | (off + n == payload.size() ? 0x20 : 0);
        out = out + header(static_cast<unsigned>(n), prev, flags1, flags2);
        out.insert(out.end(), payload.begin() + off, payload.begin() + off + n);
        prev = static_cast<unsigned>(n);
    }
    return out;
}

Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : out) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<unsigned char>(x >> 24);
    }
    return out;
}

Bytes compressible(std::size_t n) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>('a' + (i / 64) % 7);
    return out;
}

Bytes scrambled(const Bytes& plain) {
    Bytes out(plain);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= static_cast<unsigned char>(255 - i % 256);
    return out;
}

Bytes bzip2(const Bytes& plain) {
    Bytes out(plain.size() + plain.size() / 100 + 700);
    unsigned len = static_cast<unsigned>(out.size());
    char none = 0;  // libbz2 wants a source pointer even for no bytes
    char* src = plain.empty() ? &none : reinterpret_cast<char*>(const_cast<unsigned char*>(plain.data()));
    if (BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &len, src,
                                 static_cast<unsigned>(plain.size()), 9, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2 failed");
    out.resize(len);
    return out;
}

std::string& consoleLog() { static std::string log; return log; }
int& consoleCalls() { static int calls = 0; return calls; }

int inChild(const std::function<int()>& fn) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool dropPrivileges() { return setgid(65534) == 0 && setuid(65534) == 0 && geteuid() == 65534; }

Where where(const ORVtape& t) {
    return {t.fd < 0 ? -1 : static_cast<long long>(lseek64(t.fd, 0, SEEK_CUR)), t.blockID, t.fileNumber, t.tapemark};
}

std::ostream& operator<<(std::ostream& os, const Where& w) {
    return os << "{pos " << w.pos << ", block " << w.blockID << ", file " << w.fileNumber
              << (w.tapemark ? ", tapemark}" : "}");
}

Mounted::Mounted(const Bytes& image, bool readOnly) {
    writeFile(path, image);
    if (t.open(path.c_str(), readOnly) != 0) throw std::runtime_error("cannot mount " + path);
}

}  // namespace testsupport

// The host's logging function, with printf semantics, into the capture buffer.
extern "C" void writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    if (level == 2 && std::strcmp(messageId, "TAPE_1090") == 0) ++testsupport::consoleCalls();
    char line[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    testsupport::consoleLog() += line;
}
