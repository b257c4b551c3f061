#include "descriptor_supply.h"

#include <algorithm>
#include <cerrno>
#include <vector>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

constexpr int kDescriptorsForTheVideo = 4;
// Of the video's, those that are free while the frames are written, for loading images.
constexpr int kVideoDescriptorsFreeForImages = 2;
constexpr int kDescriptorsForTheWindow = 6;

std::string describeLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return "";
    return " (ulimit -n " + std::to_string(limit.rlim_cur) + ")";
}

}  // namespace

int descriptorsNeeded(bool saveVideo, bool showWindow, int imageLoaders) {
    const int beyondTheVideos = std::max(0, imageLoaders - kVideoDescriptorsFreeForImages);
    const int forImages = saveVideo ? kDescriptorsForTheVideo + beyondTheVideos : imageLoaders;
    return forImages + (showWindow ? kDescriptorsForTheWindow : 0);
}

// Opening them is the one true count: free numbers below the limit, and room in the system's
// table. Descriptor 0 is always open by now (see standard_streams.h).
bool descriptorsCanBeOpened(int count, std::string* whyNot) {
    std::vector<int> opened;
    int openError = 0;
    while (static_cast<int>(opened.size()) < count) {
        const int descriptor = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0);
        if (descriptor < 0) {
            openError = errno;
            break;
        }
        opened.push_back(descriptor);
    }
    for (int descriptor : opened) close(descriptor);
    if (openError == 0) return true;
    const std::string counts = "the run needs " + std::to_string(count) +
                               " more and can open only " + std::to_string(opened.size());
    *whyNot = openError == ENFILE ? counts + ": the system's file table is full"
                                  : counts + describeLimit();
    return false;
}
