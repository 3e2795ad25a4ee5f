// Definitions that take precedence over the C library's for the shared
// library's references; each passes through unless the armed fault matches.
#include "interposer.h"

#include <cerrno>
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

namespace faults {
namespace {

Fault armed;
bool active = false;
int seen = 0;
int count = 0;

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Whether this call is to fail (or be cut short) now.
bool hit(Call c, int fd, int whence = -1) {
    if (!active || armed.call != c) return false;
    if (armed.fd >= 0 ? fd != armed.fd : fd <= 2) return false;
    if (c == Call::Seek && armed.whence >= 0 && whence != armed.whence) return false;
    if (seen++ < armed.skip) return false;
    if (armed.times >= 0 && count >= armed.times) return false;
    ++count;
    return true;
}

}  // namespace

void arm(const Fault& f) {
    armed = f;
    seen = 0;
    count = 0;
    active = true;
}
void disarm() { active = false; }
int injected() { return count; }

}  // namespace faults

using faults::Call;

extern "C" {

ssize_t read(int fd, void* buf, size_t n) {
    static auto real = faults::next<ssize_t (*)(int, void*, size_t)>("read");
    if (faults::hit(Call::Read, fd)) {
        if (faults::armed.partial < 0) return errno = faults::armed.error, -1;
        const size_t k = static_cast<size_t>(faults::armed.partial);
        return real(fd, buf, k < n ? k : n);
    }
    return real(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
    static auto real = faults::next<ssize_t (*)(int, const void*, size_t)>("write");
    if (faults::hit(Call::Write, fd)) {
        if (faults::armed.partial < 0) return errno = faults::armed.error, -1;
        const size_t k = static_cast<size_t>(faults::armed.partial);
        return real(fd, buf, k < n ? k : n);
    }
    return real(fd, buf, n);
}

off64_t lseek64(int fd, off64_t off, int whence) {
    static auto real = faults::next<off64_t (*)(int, off64_t, int)>("lseek64");
    if (faults::hit(Call::Seek, fd, whence)) return errno = faults::armed.error, -1;
    return real(fd, off, whence);
}

int ftruncate64(int fd, off64_t len) {
    static auto real = faults::next<int (*)(int, off64_t)>("ftruncate64");
    if (faults::hit(Call::Truncate, fd)) return errno = faults::armed.error, -1;
    return real(fd, len);
}

int fdatasync(int fd) {
    static auto real = faults::next<int (*)(int)>("fdatasync");
    if (faults::hit(Call::Sync, fd)) return errno = faults::armed.error, -1;
    return real(fd);
}

}  // extern "C"
