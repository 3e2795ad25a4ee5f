// console.cpp - notes, warnings, safe JSON and the guarded standard output.
#include "base/console.h"
#include "base/error.h"
#include "base/io.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace orvtool {

namespace {
void vline(const char* prefix, const char* fmt, va_list ap) {
    std::fputs(prefix, stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
}
}  // namespace

void reopenClosedStdStreams() {
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) < 0) ::open("/dev/null", fd ? O_WRONLY : O_RDONLY);
}

StdoutGuard::StdoutGuard() {
    cookie_io_functions_t io{nullptr, write, nullptr, nullptr};
    if (FILE* f = fopencookie(this, "w", io)) {
        std::fflush(stdout);
        setvbuf(f, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, 1 << 16);
        replaced_ = stdout;
        stdout = f;
    }
}

StdoutGuard::~StdoutGuard() {
    if (!replaced_) return;
    std::fclose(stdout);  // what is still buffered goes while this guard lives
    stdout = replaced_;
}

ssize_t StdoutGuard::write(void* guard, const char* p, size_t n) {
    auto* g = static_cast<StdoutGuard*>(guard);
    size_t done = 0;
    if (int err = writeAll(STDOUT_FILENO, p, n, &done)) {
        if (g->errno_ == 0) g->errno_ = err;
        return static_cast<ssize_t>(done);  // what was written; 0, never negative, for none
    }
    return static_cast<ssize_t>(n);
}

bool StdoutGuard::finish() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    if (reported_) return false;
    reported_ = true;
    std::fprintf(stderr, "orvtape: standard output: cannot write %s\n", cause(0, errno_ ? errno_ : errno).c_str());
    return false;
}

void note(const Common& o, const char* fmt, ...) {
    if (o.quiet) return;
    va_list ap;
    va_start(ap, fmt);
    vline("", fmt, ap);
    va_end(ap);
}

void warn(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vline("orvtape: warning: ", fmt, ap);
    va_end(ap);
}

std::string jsonSafe(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        // Length of a well-formed UTF-8 sequence starting here, 0 if none.
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 && c >= 0xC2 ? 2 : (c >> 4) == 14 ? 3
                 : (c >> 3) == 30 && c <= 0xF4 ? 4 : 0;
        for (size_t k = 1; k < n; ++k)
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) >> 6) != 2) n = 0;
        if (n == 3 && ((c == 0xE0 && static_cast<unsigned char>(s[i + 1]) < 0xA0) ||
                       (c == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0)))
            n = 0;  // overlong, or a surrogate
        if (n == 4 && ((c == 0xF0 && static_cast<unsigned char>(s[i + 1]) < 0x90) ||
                       (c == 0xF4 && static_cast<unsigned char>(s[i + 1]) >= 0x90)))
            n = 0;  // overlong, or beyond U+10FFFF
        if (n == 0) {
            char esc[5];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

void makeJsonSafe(nlohmann::ordered_json& j) {
    if (j.is_structured()) {
        for (auto& e : j) makeJsonSafe(e);  // keys are the tool's own words
    } else if (j.is_string()) {
        const std::string& s = j.get_ref<const std::string&>();
        if (std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
            j = jsonSafe(s);
    }
}

void printJson(nlohmann::ordered_json j) {
    makeJsonSafe(j);
    std::printf("%s\n", j.dump(2).c_str());
}

std::string hexBytes(const unsigned char* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", p[i]);
        s += b;
    }
    return s;
}

}  // namespace orvtool
