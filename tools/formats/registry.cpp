// registry.cpp - the one table of formats, and what is derived from it:
// lookup by name, the lists help texts and messages give, and detection.
#include "format.h"

#include <algorithm>
#include <cctype>

namespace orvtool {

// The table: one row a format, each defined in its own file.  Surest
// framing first: detection explains where each stopped fitting in this order.
#define ORVTOOL_FORMATS(ROW) \
    ROW(kAwsFormat)          \
    ROW(kHetFormat)          \
    ROW(kTapFormat)          \
    ROW(kE11Format)          \
    ROW(kTpcFormat)

#define ORVTOOL_DECLARE(f) extern const Format f;
ORVTOOL_FORMATS(ORVTOOL_DECLARE)
#define ORVTOOL_ENTRY(f) f,

const std::vector<Format>& formats() {
    static const std::vector<Format> table{ORVTOOL_FORMATS(ORVTOOL_ENTRY)};
    return table;
}

const Format& findFormat(const std::string& name) {
    for (const Format& f : formats())
        if (name == f.name) return f;
    throw ToolError("", "no reader or writer for the format '" + name + "'", kExitUsage);
}

// A format's files end in its name: no table of extensions to keep apart.
const Format* formatOfExtension(const std::string& path) {
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return nullptr;
    std::string ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Format& f : formats())
        if (ext == f.name) return &f;
    return nullptr;
}

const Format& outputFormat(const std::string& name, const std::string& path) {
    if (!name.empty()) return findFormat(name);
    if (const Format* named = formatOfExtension(path)) return *named;
    throw ToolError(path, "names no format by its extension (" + listExtensions() + "); name one with --to",
                    kExitUsage);
}

std::string listExtensions() {
    std::string s;
    const std::vector<Format>& all = formats();
    for (size_t i = 0; i < all.size(); ++i)
        s += std::string(i == 0 ? "" : i + 1 == all.size() ? " or " : ", ") + "." + all[i].name;
    return s;
}

std::vector<std::string> formatNames() {
    std::vector<std::string> names;
    for (const Format& f : formats()) names.push_back(f.name);
    return names;
}

std::string listFormats(const std::string& setting, const char* last) {
    std::vector<std::string> names;
    for (const Format& f : formats())
        if (setting.empty() || std::find(f.accepts.begin(), f.accepts.end(), setting) != f.accepts.end())
            names.push_back(f.name);
    std::string s;
    for (size_t i = 0; i < names.size(); ++i)
        s += (i == 0 ? "" : i + 1 == names.size() ? last : ", ") + names[i];
    return s;
}

std::string detectFormat(InputFile& input, std::string* considered, const ExtraBid* extra) {
    Probe in(input);
    std::string best, misfits;
    int bestBid = 0;
    auto judge = [&](const char* name, Bidder bid) {
        std::string misfit;
        const int b = bid(in, bestBid, considered ? &misfit : nullptr);
        if (b > bestBid) {
            bestBid = b;
            best = name;
        }
        if (!misfit.empty()) misfits += (misfits.empty() || misfit[0] == ' ' ? "" : ", ") + misfit;
    };
    for (const Format& f : formats()) judge(f.name, f.bid);
    if (extra) judge(extra->name, extra->bid);
    if (best.empty() && considered) *considered = misfits;
    return best;
}

std::string longerThanLimit(std::size_t length, std::size_t limit) {
    return "a record of " + std::to_string(length) + " bytes is longer than the block limit of " +
           std::to_string(limit) + " (--max-block)";
}

}  // namespace orvtool
