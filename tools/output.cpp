// output.cpp - everything the tool prints that is not a report of a command:
// the library's console lines, error causes, warnings and notes, and the
// sentences that explain defects.
#include "base/io.h"
#include "orvtape.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

// The library prints its report lines through this host function.
extern "C" void writeConsoleLog(int level, const char* messageId, const char* format, ...) {
    (void)level;
    (void)messageId;
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

namespace orvtool {

namespace {
int stdoutErrno = 0;  // of the first write to standard output that failed

ssize_t writeStdout(void*, const char* p, size_t n) {
    size_t done = 0;
    if (int err = writeAll(STDOUT_FILENO, p, n, &done)) {
        if (stdoutErrno == 0) stdoutErrno = err;
        return done > 0 ? static_cast<ssize_t>(done) : -1;
    }
    return static_cast<ssize_t>(n);
}
}  // namespace

void guardStdout() {
    cookie_io_functions_t io{nullptr, writeStdout, nullptr, nullptr};
    if (FILE* f = fopencookie(nullptr, "w", io)) {
        std::fflush(stdout);
        setvbuf(f, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, 1 << 16);
        stdout = f;
    }
}

bool finishStdout() {
    static bool reported = false;  // one line, however often it is asked
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    if (reported) return false;
    reported = true;
    std::fprintf(stderr, "orvtape: standard output: cannot write %s\n",
                 cause(0, stdoutErrno ? stdoutErrno : errno).c_str());
    return false;
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

namespace {
void makeJsonSafe(nlohmann::ordered_json& j) {
    if (j.is_structured()) {
        for (auto& e : j) makeJsonSafe(e);  // keys are the tool's own words
    } else if (j.is_string()) {
        const std::string& s = j.get_ref<const std::string&>();
        if (std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
            j = jsonSafe(s);
    }
}
}  // namespace

void printJson(nlohmann::ordered_json j) {
    makeJsonSafe(j);
    std::printf("%s\n", j.dump(2).c_str());
}


void note(const Common& o, const char* fmt, ...) {
    if (o.quiet) return;
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

void warn(const char* fmt, ...) {
    std::fputs("orvtape: warning: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
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

std::string validateMessage(int code, unsigned curLen, unsigned prevLen) {
    switch (code) {
    case -2:
        return "the image ends inside this header: fewer than 6 bytes remain";
    case -3:
        return "the header has reserved flag bits set, so it is not a header at all or is corrupt";
    case -10:
        return "a tapemark header also carries a block start or block end flag";
    case -11:
        return "a tapemark header carries transform flags";
    case -12:
        return "a tapemark header has a payload length of " + std::to_string(curLen) +
               " instead of 0";
    case -14:
        return "a data block begins with an empty segment";
    case -15:
        return "a tapemark stands inside a data block: the block before it has no last segment";
    case -16:
        return "a new block begins inside a data block: the block before it has no last segment";
    case -17:
        return "an empty segment stands inside a data block";
    case -18:
        return "the header says the segment before it holds " + std::to_string(prevLen) +
               " bytes, which does not match: the chain of headers is broken here";
    case -20:
        return "the block's first header has transform bits without the transform flag";
    case -21:
        return "a segment of a compressed block lacks the compression flag";
    case -22:
        return "a segment of a scrambled block lacks the scrambling flag";
    default:
        return "the image cannot be walked";
    }
}

std::string readMessage(int code) {
    switch (code) {
    case -1: return "no image is open";
    case -2: return "the image ends inside a header, or the read failed";
    case -3: return "a header has reserved flag bits set";
    case -10: return "the block's headers do not form a proper block";
    case -12: return "the block's payload is cut short or does not decompress";
    case -13: return "the block is longer than the largest block allowed";
    default: return "the block cannot be read";
    }
}

}  // namespace orvtool
