// Test-only seam: the fault program defines read, write, lseek64,
// ftruncate64 and fdatasync itself and forwards to the C library unless a
// fault is armed for the call.
#ifndef ORV_TESTS_FAULTS_INTERPOSER_H
#define ORV_TESTS_FAULTS_INTERPOSER_H

namespace faults {

enum class Call { Read, Write, Seek, Truncate, Sync };

struct Fault {
    Call call = Call::Write;
    int fd = -1;          // descriptor to hit; -1: any descriptor above 2
    int skip = 0;         // matching calls let through before the first fault
    int times = 1;        // faults to inject; -1: every matching call from then on
    int error = 5;        // errno of a failed call (EIO)
    long partial = -1;    // Read/Write: move this many bytes and succeed short instead
    int whence = -1;      // Seek: only this whence; -1: any
};

// Arms one fault (replacing the previous one); disarm() lets everything through.
void arm(const Fault& f);
void disarm();
// Faults injected since the last arm().
int injected();

}  // namespace faults

#endif  // ORV_TESTS_FAULTS_INTERPOSER_H
