// script_source.h - a block source scripted as words, for the tool's unit
// tests.
#ifndef ORVTAPE_TOOL_TESTS_SCRIPT_SOURCE_H
#define ORVTAPE_TOOL_TESTS_SCRIPT_SOURCE_H

#include "base/block.h"
#include "base/error.h"

#include <sstream>
#include <string>

namespace orvtool {

// A volume scripted as words: "D<n>" a data block of n bytes, "M" a
// tapemark, "G" a gap, "X" a block that cannot be read.
class Script : public BlockSource {
public:
    explicit Script(const std::string& s) : in_(s) {}
    bool next(Block& b) override {
        std::string w;
        if (!(in_ >> w)) return false;
        if (w == "X") throw ToolError("v", "damaged");
        b = Block{};
        b.kind = w[0] == 'M' ? Kind::Mark : w[0] == 'G' ? Kind::Gap : Kind::Data;
        b.length = b.kind == Kind::Data ? std::stoul(w.substr(1)) : 0;
        b.offset = at_;
        at_ += 8 + static_cast<long long>(b.length);
        return true;
    }
    long long consumed() const override { return at_; }

private:
    std::istringstream in_;
    long long at_ = 0;
};

}  // namespace orvtool

#endif
