// common.h - the settings that every command shares, given before the
// command's name on the command line.
#ifndef ORVTAPE_TOOL_BASE_COMMON_H
#define ORVTAPE_TOOL_BASE_COMMON_H

#include <atomic>
#include <memory>

namespace orvtool {

struct Common {
    bool quiet = false;                          // no progress line or notes
    // The note that the system refused a thread was given: once a run, so
    // every copy of the run's settings shares it.
    std::shared_ptr<std::atomic<bool>> threadNoteGiven = std::make_shared<std::atomic<bool>>(false);
    int jobs = 0;                                // codec worker threads, at least 1 once parsed
    unsigned long long maxBlock = 64ull << 20;   // largest block to read (--max-block)
    bool wait = false;                           // wait for an image in use (--wait)
};

}  // namespace orvtool

#endif
