// extract.cpp - the walker that splits a volume into tape files and sums
// each, for get --all, ls --sum and check --manifest alike.
#include "cmd/extract.h"

#include <algorithm>

namespace orvtool {

bool TapeFiles::fetch(Block& b) {
    if (holding_) {
        holding_ = false;
        b = held_;
        return true;
    }
    while (!ended_ && source_.next(b)) {
        if (b.kind == Kind::EndOfMedium) break;
        if (b.kind == Kind::Mark) return true;
        if (b.kind == Kind::Data && record_class::tapeData(b.recordClass)) return true;
    }
    ended_ = true;
    return false;
}

bool TapeFiles::next() {
    Block b;
    while (inFile_ && block(b)) {
    }
    Block first;
    if (!fetch(first)) return false;
    if (first.kind == Kind::Mark) {
        // An empty file, unless this mark is the volume's last.
        Block after;
        if (!fetch(after)) return false;
        held_ = after;  // a view still valid: the source has not been asked since
        holding_ = true;
        inFile_ = false;
        closed_ = true;
    } else {
        held_ = first;
        holding_ = first_ = inFile_ = true;
        closed_ = false;
    }
    ++number_;
    return true;
}

bool TapeFiles::block(Block& b) {
    if (!inFile_) return false;
    if (first_) {
        first_ = false;
        return fetch(b);
    }
    if (fetch(b) && b.kind != Kind::Mark) return true;
    closed_ = !ended_;  // a tapemark came, not the end of the data
    inFile_ = false;
    return false;
}

FileSum sumFile(TapeFiles& files, Shaper* shaper, const std::function<void(const void*, std::size_t)>& write) {
    FileSum s;
    s.file = files.number();
    Sha256 hash;
    std::string shaped;
    auto out = [&](const void* p, std::size_t n) {
        hash.update(p, n);
        s.bytes += n;
        if (write) write(p, n);
    };
    if (shaper) shaper->begin(s.file);
    for (Block b; files.block(b);) {
        const unsigned long long length = b.length;
        s.minBlock = s.blocks ? std::min(s.minBlock, length) : length;
        s.maxBlock = std::max(s.maxBlock, length);
        if (b.readError) s.badRecords.push_back(b.number);
        if (shaper) {
            shaped.clear();
            shaper->block(b, static_cast<long long>(s.blocks), shaped);
            out(shaped.data(), shaped.size());
        } else {
            out(b.data, b.length);
        }
        ++s.blocks;
    }
    if (shaper) shaper->finish();
    s.closed = files.closed();
    s.sha256 = hash.hex();
    return s;
}

std::vector<FileSum> sumFiles(BlockSource& source) {
    std::vector<FileSum> sums;
    TapeFiles files(source);
    while (files.next()) sums.push_back(sumFile(files, nullptr, nullptr));
    return sums;
}

}  // namespace orvtool
