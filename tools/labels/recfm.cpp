// recfm.cpp - record formats F, V and U in both directions.
#include "recfm.h"
#include "codepage.h"

#include "../base/error.h"

#include <algorithm>
#include <cstring>
#include <utility>

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

namespace {
constexpr size_t kChunk = 1u << 20;  // input read per call
}  // namespace

InputBlocks::InputBlocks(Read read, const std::string& name, const RecordFormat& f,
                         unsigned long long blockSize, bool text)
    : read_(std::move(read)), name_(name), f_(f), blockLen_(blockSize), text_(text) {
    if (f_.recfm == 'F') {
        const unsigned long long l = static_cast<unsigned long long>(f_.lrecl);
        blockLen_ = f_.attr == 'B' ? blockSize / l * l : l;
        if (blockLen_ == 0)
            throw ToolError("", "--lrecl must not exceed the block size", kExitUsage);
    }
    // Room for a whole block, and for a line one byte longer than a record,
    // which is all it takes to tell that it is too long.
    buf_.resize(std::max<size_t>(kChunk, static_cast<size_t>(blockLen_) + 1));
}

bool InputBlocks::fill() {
    if (eof_) return false;
    if (end_ == buf_.size()) {
        std::memmove(buf_.data(), buf_.data() + begin_, pending());
        end_ -= begin_;
        begin_ = 0;
    }
    const size_t r = read_(buf_.data() + end_, buf_.size() - end_);
    eof_ = r == 0;
    end_ += r;
    consumed_ += static_cast<long long>(r);
    return r > 0;
}

bool InputBlocks::next(Block& b) {
    const char* data = nullptr;
    size_t length = 0;
    padded_ = false;
    if (!(f_.recfm == 'F' && text_ ? nextLines(data, length) : nextCut(data, length))) return false;
    b = Block{};
    b.data = reinterpret_cast<const unsigned char*>(data);
    b.length = length;
    return true;
}

bool InputBlocks::nextCut(const char*& data, size_t& length) {
    while (pending() < blockLen_ && fill()) {}
    if (pending() == 0) return false;
    length = std::min(pending(), static_cast<size_t>(blockLen_));
    data = buf_.data() + begin_;
    begin_ += length;
    const bool shortRecord = f_.recfm == 'F' && length % f_.lrecl;
    if (!shortRecord && !text_) return true;
    block_.assign(data, length);
    if (shortRecord) {
        padded_ = true;  // the caller says so
        block_.resize(length + f_.lrecl - length % f_.lrecl, '\0');
    }
    if (text_) block_ = toEbcdic(block_);
    data = block_.data();
    length = block_.size();
    return true;
}

bool InputBlocks::nextLines(const char*& data, size_t& length) {
    block_.clear();
    const size_t lrecl = static_cast<size_t>(f_.lrecl);
    while (block_.size() + lrecl <= blockLen_) {
        const char* nl;
        // A line is too long once lrecl + 1 bytes hold no newline.
        while (!(nl = static_cast<const char*>(std::memchr(buf_.data() + begin_, '\n',
                                                           std::min(pending(), lrecl + 1)))) &&
               pending() <= lrecl && fill()) {}
        if (pending() == 0) break;
        const size_t n = nl ? static_cast<size_t>(nl - (buf_.data() + begin_)) : pending();  // a last line without newline
        ++line_;
        if (n > lrecl)
            throw ToolError(name_, "line " + std::to_string(line_) + " is longer than the record length (" +
                                       std::to_string(lrecl) + ")");
        block_ += toEbcdic(std::string(buf_.data() + begin_, n) + std::string(lrecl - n, ' '));
        begin_ = std::min(end_, begin_ + n + 1);
    }
    data = block_.data();
    length = block_.size();
    return !block_.empty();
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
    if (end < n)
        throw ToolError("", where + ": " + std::to_string(n - end) + " bytes follow the " +
                                std::to_string(end) + " that its block descriptor word counts");
    for (size_t at = 4; at < end;) {
        if (end - at < 4 || word(at) < 4 || word(at) > end - at)
            throw ToolError("", where + ": the record descriptor word at byte " +
                                    std::to_string(at) + " does not fit the block");
        // Spanned segments say in their third byte: 0 whole, 1 first, 2 last, 3 middle.
        const int seg = f_.attr == 'S' || f_.attr == 'R' ? p[at + 2] & 3 : 0;
        const bool opens = seg == 0 || seg == 1, closes = seg == 0 || seg == 2;
        if (opens && spanning_)
            throw ToolError("", where + ": a new record begins at byte " + std::to_string(at) +
                                    " while the spanned record begun in block " +
                                    std::to_string(spanFrom_) + " lacks its last segment");
        if (!opens && !spanning_)
            throw ToolError("", where + ": the segment at byte " + std::to_string(at) +
                                    " continues a spanned record that has no first segment");
        if (opens) {
            spanned_.clear();
            spanFrom_ = blockNo;
        }
        spanned_.append(p + at + 4, word(at) - 4);
        spanning_ = !closes;
        if (closes) record(spanned_.data(), spanned_.size(), out);
        at += word(at);
    }
}

void Unblocker::finish() const {
    if (spanning_)
        throw ToolError("", "block " + std::to_string(spanFrom_) + " of the data set: its spanned "
                                "record has no last segment before the end of the data set");
}

}  // namespace orvtool
