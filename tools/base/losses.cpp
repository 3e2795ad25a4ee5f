// losses.cpp - the warnings and notes for what a pump could not carry.
#include "losses.h"

#include "console.h"

namespace orvtool {

void reportLosses(const Common& o, const std::string& src, const std::string& target, const Tally& t) {
    auto warnAbout = [&](const Events& e, const std::string& what) {
        if (!e.count) return;
        const std::string records = e.which().empty() ? "" : (e.count > 1 ? ", records " : ", record ") + e.which();
        warn("%s: %s: %lld (at offset%s %s)%s", src.c_str(), what.c_str(), e.count, e.count > 1 ? "s" : "",
             e.where().c_str(), records.c_str());
    };
    const std::string cannot = ", as " + target + " cannot hold them";
    warnAbout(t.gaps, "erase gaps skipped" + cannot);
    warnAbout(t.flagged, std::string("records read with an error, ") +
                             (target == "an orvtape image" ? "imported" : "written") + " without the flag");
    warnAbout(t.empty, "empty records flagged as read with an error, skipped");
    warnAbout(t.privateRecords, "private records skipped" + cannot);
    warnAbout(t.descriptions, "tape description records skipped" + cannot);
    warnAbout(t.markers, "private markers skipped" + cannot);
    warnAbout(t.reserved, "records of reserved classes skipped, as no one defines them");
    warnAbout(t.split, "blocks too long for " + target + ", split");
    if (t.unpacked.count)
        note(o, "%s: compressed blocks written uncompressed, as %s does not compress: %lld", src.c_str(),
             target.c_str(), t.unpacked.count);
    if (t.unscrambled.count)
        note(o, "%s: scrambled blocks written plain, as %s does not scramble: %lld", src.c_str(), target.c_str(),
             t.unscrambled.count);
    if (t.endOfMedium >= 0)
        note(o, "%s: the end-of-medium mark at offset %lld ends the volume", src.c_str(), t.endOfMedium);
}

}  // namespace orvtool
