// walk_backwards: opens a tape image read-only, spaces to the end of the
// recorded data, walks back to the load point reading every block backwards,
// then prints the tape's statistics in tape order with TapeInformation.
//
//     walk_backwards TAPE-IMAGE
//
// Build (CMake):  find_package(orvTapeItf REQUIRED)
//                 target_link_libraries(app PRIVATE orvTapeItf::orvTapeItf)
#include <ORVtape.h>
#include <TapeInformation.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

// TapeInformation prints through this host function, one item per call.
extern "C" void writeConsoleLog(int, const char*, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::vprintf(format, ap);
    va_end(ap);
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: walk_backwards TAPE-IMAGE\n");
        return 2;
    }
    // The class can live anywhere: on the stack, as a member, with new.
    ORVtape tape;
    if (tape.open(argv[1], true) != 0) {
        std::fprintf(stderr, "walk_backwards: cannot open %s (errno %d)\n", argv[1], tape.lastErrno);
        return 1;
    }

    // Space forward block by block until the data ends (-2 at end of data).
    int rc;
    while ((rc = tape.fsr(1)) == 0) {
    }
    if (rc != -2) {
        std::fprintf(stderr, "walk_backwards: broken tape after block %d (code %d)\n", tape.blockID, rc);
        return 1;
    }
    std::printf("end of data after %d blocks and tapemarks\n", tape.blockID);

    // readBkwd puts each block at the end of the buffer and returns its full
    // length (0 for a tapemark), or a negative code; -4 is the load point.
    std::vector<char> buffer(65536);
    std::vector<unsigned> lengths;
    while ((rc = tape.readBkwd(buffer.data(), unsigned(buffer.size()))) >= 0) lengths.push_back(unsigned(rc));
    if (rc != -4 || !tape.bot) {
        std::fprintf(stderr, "walk_backwards: stopped at block %d (code %d)\n", tape.blockID, rc);
        return 1;
    }

    // Report in tape order: each tapemark prints the line of the file it ends.
    TapeInformation info;
    for (auto it = lengths.rbegin(); it != lengths.rend(); ++it) info.tally(*it);
    info.summary();
    tape.close();
    return 0;
}
