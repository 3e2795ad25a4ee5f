#include "support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/orvtape-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

Bytes header(unsigned curLen, unsigned prevLen, unsigned char flags1, unsigned char flags2) {
    return {static_cast<unsigned char>(curLen & 0xFF), static_cast<unsigned char>(curLen >> 8),
            static_cast<unsigned char>(prevLen & 0xFF), static_cast<unsigned char>(prevLen >> 8),
            flags1, flags2};
}

void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

Bytes pattern(std::size_t n, std::uint32_t seed) {
    Bytes out(n);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<unsigned char>(x >> 24);
    }
    return out;
}

Bytes scrambled(const Bytes& plain) {
    Bytes out(plain);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] ^= static_cast<unsigned char>(255 - (i % 256));
    return out;
}

std::string& consoleLog() {
    static std::string log;
    return log;
}

int& consoleCalls() {
    static int calls = 0;
    return calls;
}

int inChild(void (*fn)(void* arg), void* arg) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        fn(arg);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

}  // namespace testsupport

// The host's logging function, with printf semantics, into a capture buffer.
extern "C" void writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    if (level == 2 && std::strcmp(messageId, "TAPE_1090") == 0) ++testsupport::consoleCalls();
    char line[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    testsupport::consoleLog() += line;
}
