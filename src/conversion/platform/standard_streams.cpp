#include "standard_streams.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isClosed(int descriptor) {
    return fcntl(descriptor, F_GETFD) == -1 && errno == EBADF;
}

// Where /dev/null is missing (a bare chroot), a descriptor that reads and writes nothing
// still keeps the number from being taken.
void occupy(int descriptor, int accessMode) {
    int opened = open("/dev/null", accessMode);
    if (opened < 0) opened = open("/", O_PATH);
    if (opened < 0 || opened == descriptor) return;
    dup2(opened, descriptor);
    close(opened);
}

}  // namespace

void openClosedStandardStreams() {
    const int accessModes[] = {O_RDONLY, O_WRONLY, O_WRONLY};
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (isClosed(descriptor)) occupy(descriptor, accessModes[descriptor]);
    }
}
