#include "output_file.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "video_codec.h"

namespace {

constexpr int kMostLinksFollowed = 40;  // as the kernel's own limit, so a loop ends
constexpr int kMostNameAttempts = 100;

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string lastPartOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name without a folder is read by FFmpeg as a protocol when it holds a colon ("pipe:1.avi",
// "udp:...", "2024-01-01T10:00.avi"); one that starts with "/" or "./" is always a local file.
std::string asLocalPath(const std::string& path) {
    if (path.rfind("/", 0) == 0 || path.rfind("./", 0) == 0) return path;
    return "./" + path;
}

// The file the output name leads to: the name itself, or where its chain of links ends,
// whether or not a file is there yet.
std::string followLinks(std::string path) {
    for (int hop = 0; hop < kMostLinksFollowed; ++hop) {
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
        std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
        const ssize_t length = readlink(path.c_str(), &target[0], target.size());
        if (length < 0) return path;
        target.resize(static_cast<std::size_t>(length));
        path = target.rfind("/", 0) == 0 ? target : folderOf(path) + "/" + target;
    }
    return path;
}

const char* kindOfFile(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

bool folderAccepts(const std::string& folder, std::string* whyNot) {
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0) {
        *whyNot = errno == ENOENT ? "the folder '" + folder + "' does not exist"
                                  : "the folder '" + folder + "': " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        *whyNot = "'" + folder + "' is not a folder";
        return false;
    }
    if (access(folder.c_str(), W_OK) != 0) {
        *whyNot = errno == EROFS ? "the folder '" + folder + "' is on a read-only file system"
                                 : "the folder '" + folder + "' cannot be written";
        return false;
    }
    return true;
}

// Only a regular file is ever replaced: not even root may turn /dev/full into a video.
bool existingFileMayBeReplaced(const std::string& path, std::string* whyNot) {
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) return true;
    if (!S_ISREG(status.st_mode)) {
        *whyNot = "'" + path + "' is " + kindOfFile(status.st_mode) +
                  ", and only a regular file is replaced";
        return false;
    }
    // Root may write any file; a file without write permission is still not replaced.
    if (access(path.c_str(), W_OK) != 0 || (status.st_mode & 0222) == 0) {
        *whyNot = "the existing file '" + path + "' is read-only";
        return false;
    }
    return true;
}

bool nameFitsTheFolder(const std::string& path, const std::string& folder, std::string* whyNot) {
    const long longestName = pathconf(folder.c_str(), _PC_NAME_MAX);
    const std::string name = lastPartOf(path);
    if (longestName <= 0 || name.size() <= static_cast<std::size_t>(longestName)) return true;
    *whyNot = "the name is " + std::to_string(name.size()) +
              " bytes long, and the file system allows " + std::to_string(longestName);
    return false;
}

std::string randomLetters(std::size_t count) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device source;
    std::string letters;
    for (std::size_t i = 0; i < count; ++i) letters += kLetters[source() % (sizeof kLetters - 1)];
    return letters;
}

// "<name>.seqcat-XXXXXX<extension>" beside the target: the extension still chooses the
// container, and the name says whose partial file it is when a killed run leaves it behind.
std::string temporaryNameFor(const std::string& targetPath, long longestName) {
    const std::string marker = ".seqcat-" + randomLetters(6) + fileExtensionOf(targetPath);
    std::string name = lastPartOf(targetPath);
    if (longestName > 0 && name.size() + marker.size() > static_cast<std::size_t>(longestName)) {
        name.resize(static_cast<std::size_t>(longestName) - marker.size());
    }
    const std::string folder = folderOf(targetPath);
    return asLocalPath((folder == "/" ? "" : folder) + "/" + name + marker);
}

// So that a rename in it reaches the disk too.
void flushFolderToDisk(const std::string& folder) {
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return;
    fsync(descriptor);
    close(descriptor);
}

// A file that replaces another keeps its permissions.
void keepModeOf(const std::string& path, int descriptor) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) fchmod(descriptor, status.st_mode & 07777);
}

}  // namespace

OutputFile::~OutputFile() {
    discard();
}

bool OutputFile::create(const std::string& outputName, std::string* whyNot) {
    discard();
    targetPath_ = followLinks(outputName);
    const std::string folder = folderOf(targetPath_);
    if (!folderAccepts(folder, whyNot) || !nameFitsTheFolder(targetPath_, folder, whyNot) ||
        !existingFileMayBeReplaced(targetPath_, whyNot)) {
        return false;
    }
    const long longestName = pathconf(folder.c_str(), _PC_NAME_MAX);
    for (int attempt = 0; attempt < kMostNameAttempts; ++attempt) {
        const std::string path = temporaryNameFor(targetPath_, longestName);
        descriptor_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (descriptor_ >= 0) {
            temporaryPath_ = path;
            inPlace_ = false;
            keepModeOf(targetPath_, descriptor_);
            return true;
        }
        if (errno != EEXIST) break;
    }
    *whyNot = std::string("a new file cannot be made in '") + folder + "': " + std::strerror(errno);
    return false;
}

void OutputFile::discard() {
    if (!temporaryPath_.empty() && !inPlace_) unlink(temporaryPath_.c_str());
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = -1;
    temporaryPath_.clear();
}

bool OutputFile::hasRoomLeft(std::string* whyNot) const {
    struct stat status {};
    struct rlimit sizeLimit {};
    if (fstat(descriptor_, &status) == 0 && getrlimit(RLIMIT_FSIZE, &sizeLimit) == 0 &&
        sizeLimit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(status.st_size) >= sizeLimit.rlim_cur) {
        *whyNot = "the file has reached the size limit of " + std::to_string(sizeLimit.rlim_cur) +
                  " bytes";
        return false;
    }
    struct statvfs space {};
    if (fstatvfs(descriptor_, &space) != 0) return true;
    // Root may write into the blocks reserved for it; anyone else stops before them.
    const auto freeBlocks = geteuid() == 0 ? space.f_bfree : space.f_bavail;
    if (freeBlocks > 0) return true;
    *whyNot = "the file system has no room left";
    return false;
}

bool OutputFile::flushToDisk(std::string* whyNot) {
    if (fsync(descriptor_) == 0) return true;
    *whyNot = std::string("the video cannot be flushed to disk: ") + std::strerror(errno);
    return false;
}

bool OutputFile::putInPlace(std::string* whyNot) {
    if (inPlace_) return true;
    // Checked again: something else may have been put at that name during the run.
    if (!existingFileMayBeReplaced(targetPath_, whyNot)) return false;
    const std::string folder = folderOf(targetPath_);
    if (rename(temporaryPath_.c_str(), targetPath_.c_str()) != 0) {
        const int renameError = errno;
        struct stat status {};
        if (renameError == ENOENT && stat(folder.c_str(), &status) != 0) {
            *whyNot = "the folder '" + folder + "' was removed during the run";
        } else {
            *whyNot = "'" + temporaryPath_ + "' cannot be renamed to '" + targetPath_ +
                      "': " + std::strerror(renameError);
        }
        return false;
    }
    inPlace_ = true;
    flushFolderToDisk(folder);
    return true;
}

bool outputIsOneOfTheImages(const ConversionSettings& settings, std::string* imagePath) {
    struct stat output {};
    if (stat(settings.outputName.c_str(), &output) != 0) return false;
    // 64-bit, so a last index of INT32_MAX ends the walk instead of wrapping around.
    for (std::int64_t index = settings.firstIndex; index <= settings.lastIndex; ++index) {
        const std::string path = formatImagePath(settings, static_cast<std::int32_t>(index));
        struct stat image {};
        if (path.empty() || stat(path.c_str(), &image) != 0) return false;
        if (image.st_dev == output.st_dev && image.st_ino == output.st_ino) {
            *imagePath = path;
            return true;
        }
    }
    return false;
}
