// blocking.cpp - record formats F, V and U in both directions.
#include "blocking.h"
#include "labels.h"
#include "orvtape.h"

#include <cerrno>
#include <unistd.h>

namespace orvtool {

bool parseRecfm(const std::string& s, RecordFormat& out) {
    if (s.empty() || s.size() > 3 || (s[0] != 'F' && s[0] != 'V' && s[0] != 'U')) return false;
    const std::string rest = s.substr(1);
    if (s[0] == 'U' ? !rest.empty() : !(rest.empty() || rest == "B" || rest == "S" || rest == "BS"))
        return false;
    out.recfm = s[0];
    out.attr = rest.empty() ? ' ' : rest == "BS" ? 'R' : rest[0];
    return true;
}

InputBlocks::InputBlocks(int fd, const std::string& name, const RecordFormat& f,
                         unsigned long long blockSize, bool text)
    : fd_(fd), name_(name), f_(f), blockLen_(blockSize), text_(text) {
    if (f_.recfm == 'F') {
        const unsigned long long l = static_cast<unsigned long long>(f_.lrecl);
        blockLen_ = f_.attr == 'B' ? blockSize / l * l : l;
        if (blockLen_ == 0)
            throw ToolError("", "--lrecl must not exceed the block size", kExitUsage);
    }
}

bool InputBlocks::fill() {
    if (eof_) return false;
    char buf[65536];
    for (;;) {
        ssize_t r = ::read(fd_, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw ToolError(name_, "cannot read the file " + cause(0, errno));
        if (r == 0) eof_ = true;
        pending_.append(buf, static_cast<size_t>(r));
        return r > 0;
    }
}

bool InputBlocks::next(std::string& block) {
    block.clear();
    if (f_.recfm != 'F' || !text_) {
        while (pending_.size() < blockLen_ && fill()) {}
        if (pending_.empty()) return false;
        block = pending_.substr(0, blockLen_);
        pending_.erase(0, block.size());
        if (f_.recfm == 'F' && block.size() % f_.lrecl) {
            // The last record is short: pad it with zeros, and say so.
            if (!padded_)
                warn("%s: the last record is short; padded with zeros to %lld bytes",
                     name_.c_str(), f_.lrecl);
            padded_ = true;
            block.resize(block.size() + f_.lrecl - block.size() % f_.lrecl, '\0');
        }
        if (text_) block = toEbcdic(block);
        return true;
    }
    const size_t lrecl = static_cast<size_t>(f_.lrecl);
    while (block.size() + lrecl <= blockLen_) {
        size_t nl;
        while ((nl = pending_.find('\n')) == std::string::npos && fill()) {}
        if (pending_.empty()) break;
        if (nl == std::string::npos) nl = pending_.size();  // a last line without newline
        ++line_;
        if (nl > lrecl)
            throw ToolError(name_, "line " + std::to_string(line_) + " is longer than the record length (" +
                                       std::to_string(lrecl) + ")");
        block += toEbcdic(pending_.substr(0, nl) + std::string(lrecl - nl, ' '));
        pending_.erase(0, nl + 1);
    }
    return !block.empty();
}

void Unblocker::record(const char* p, size_t n, std::string& out) const {
    std::string r(p, n);
    if (ascii_) r = toLatin1(r);
    if (strip_) r.erase(r.find_last_not_of(blank_) + 1);
    out += r;
    if (lines_) out += '\n';
}

void Unblocker::block(const char* p, size_t n, long long blockNo, std::string& out) {
    if (f_.recfm == 'U' || (f_.recfm == 'F' && f_.lrecl <= 0)) return record(p, n, out);
    if (f_.recfm == 'F') {
        for (size_t at = 0; at < n; at += static_cast<size_t>(f_.lrecl))
            record(p + at, std::min(n - at, static_cast<size_t>(f_.lrecl)), out);
        return;
    }
    auto word = [&](size_t at) { return static_cast<size_t>(static_cast<unsigned char>(p[at]) << 8 |
                                                            static_cast<unsigned char>(p[at + 1])); };
    const std::string where = "block " + std::to_string(blockNo) + " of the data set";
    if (n < 4 || word(0) < 4 || word(0) > n)
        throw ToolError("", where + ": its block descriptor word does not fit its " +
                                std::to_string(n) + " bytes");
    const size_t end = word(0);
    for (size_t at = 4; at < end;) {
        if (end - at < 4 || word(at) < 4 || word(at) > end - at)
            throw ToolError("", where + ": the record descriptor word at byte " +
                                    std::to_string(at) + " does not fit the block");
        // Spanned segments say in their third byte: 0 whole, 1 first, 2 last, 3 middle.
        const int seg = f_.attr == 'S' || f_.attr == 'R' ? p[at + 2] & 3 : 0;
        if (seg == 0 || seg == 1) spanned_.clear();
        spanned_.append(p + at + 4, word(at) - 4);
        if (seg == 0 || seg == 2) {
            record(spanned_.data(), spanned_.size(), out);
            spanned_.clear();
        }
        at += word(at);
    }
}

}  // namespace orvtool
