// verify.h - copy's check of what it wrote: the copy's header chain, and
// its blocks (or, when it keeps every stored byte, its bytes) against the
// source's, partly while the copy is still being written.
#ifndef ORVTAPE_TOOL_IMAGE_VERIFY_H
#define ORVTAPE_TOOL_IMAGE_VERIFY_H

#include "base/common.h"
#include "image/walk.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvtool {

// What the verification found out while the copy was written.
struct EarlyVerdict {
    bool known = false;  // alike and valid say something
    bool alike = false;  // the closed copy holds the source's bytes
    bool valid = false;  // the source's header chain validates
};

// Room for a stretch of each file being compared, kept between stretches.
struct CompareBuffers {
    std::vector<unsigned char> x = std::vector<unsigned char>(128 << 10), y = x;
};

// The verification's work that needs no finished copy, on a core of its own
// while the copy is written: the source's header chain walk, which is the
// copy's too when the copy proves to be the source byte for byte, and the
// comparison of the files as far as the copy has reached.  The writer only
// appends, so the bytes compared stay as they were.
class EarlyCheck {
public:
    EarlyCheck(const Volume& src, const std::string& copyPath, const Common& settings);
    ~EarlyCheck();
    EarlyCheck(const EarlyCheck&) = delete;
    EarlyCheck& operator=(const EarlyCheck&) = delete;

    // The copy has grown: the comparison may go on.
    void grew();
    // After the copy is closed: the comparison of the whole of it.
    EarlyVerdict finish();

private:
    void run();

    BlockWalk chain_;
    int source_, copy_;
    CompareBuffers buffers_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    unsigned long long grown_ = 0;
    bool closed_ = false;
    EarlyVerdict verdict_;
    std::thread thread_;
};

// Checks the closed copy at dstPath (shown as shown in messages): its header
// chain, and its blocks against the source's, on jobs workers (run: whether
// to note threads refused).  Returns the blocks and tapemarks compared
// (written, when the files are alike).
long long verify(const Volume& src, const std::string& shown, int jobs, const Common& run, const std::string& dstPath,
                 long long written, const EarlyVerdict& early);

}  // namespace orvtool

#endif
