// device.h - a Linux SCSI tape device through its driver: reads and writes
// of whole blocks, the tape operations and the drive's status.  Knows
// nothing of images or formats.
#ifndef ORVTAPE_TOOL_DRIVE_DEVICE_H
#define ORVTAPE_TOOL_DRIVE_DEVICE_H

#include <string>
#include <sys/types.h>

namespace orvtool {

// What the drive says of itself and of where the tape stands.
struct DriveStatus {
    long long file = -1, block = -1;  // -1: the driver does not know
    bool atLoadPoint = false, afterMark = false, endOfData = false, writeProtected = false, online = false;
};

class TapeDevice {
public:
    // Opens path for reading, or reading and writing; throws ToolError
    // (status 2) when it cannot be opened or is no tape device.
    TapeDevice(const std::string& path, bool forWriting);
    ~TapeDevice();
    TapeDevice(const TapeDevice&) = delete;
    TapeDevice& operator=(const TapeDevice&) = delete;

    const std::string& path() const { return path_; }
    // One block into buf: its length, 0 at a filemark, -1 with errno set.
    ssize_t read(void* buf, std::size_t size);
    // One block of its own length: false with errno set.
    bool write(const void* data, std::size_t length);
    // A tape operation (MTBSR, MTWEOF, ...): false with errno set.
    bool operate(short op, int count);
    // False with errno set when the driver cannot tell: reading a tape
    // must never end on a question about it.
    bool status(DriveStatus& s);
    // Whether errno after a failure says the drive itself is gone.
    static bool gone(int err);

private:
    std::string path_;
    int fd_ = -1;
};

// Whether closing path rewinds the tape: a SCSI tape device without its
// no-rewind bit, or a name such as st0 where it is no device.
bool rewindsOnClose(const std::string& path);

}  // namespace orvtool

#endif
