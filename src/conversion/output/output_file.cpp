#include "output_file.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kMostLinksFollowed = 40;  // as the kernel's own limit, so a loop ends
constexpr int kMostNameAttempts = 100;
constexpr char kAccessAclAttribute[] = "system.posix_acl_access";
constexpr std::size_t kCopyBufferBytes = 1 << 20;

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

std::string joined(const std::string& folder, const std::string& name) {
    return (folder == "/" ? "" : folder) + "/" + name;
}

// A name without a folder is read by FFmpeg as a protocol when it holds a colon ("pipe:1.avi",
// "udp:...", "2024-01-01T10:00.avi"); one that starts with "/" or "./" is always a local file.
std::string asLocalPath(const std::string& path) {
    if (path.rfind("/", 0) == 0 || path.rfind("./", 0) == 0) return path;
    return "./" + path;
}

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// The path the kernel reached for an open descriptor ("" when /proc cannot say).
std::string pathOfDescriptor(int descriptor) {
    std::string path(static_cast<std::size_t>(PATH_MAX), '\0');
    const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    const ssize_t length = readlink(link.c_str(), &path[0], path.size());
    if (length <= 0) return "";
    path.resize(static_cast<std::size_t>(length));
    return path;
}

std::string linkTarget(const std::string& link) {
    std::string target(static_cast<std::size_t>(PATH_MAX), '\0');
    const ssize_t length = readlink(link.c_str(), &target[0], target.size());
    if (length < 0) return "";
    target.resize(static_cast<std::size_t>(length));
    return target.rfind("/", 0) == 0 ? target : joined(folderOf(link), target);
}

// In a sticky world-writable folder (/tmp, a shared drop folder) anyone may leave a link, so
// the kernel follows one there only when it belongs to the user or to the folder's owner
// (fs.protected_symlinks). seqcat keeps that rule whatever the setting.
bool linkMayBeFollowed(const std::string& link, const struct stat& linkStatus,
                       std::string* whyNot) {
    const std::string folder = folderOf(link);
    struct stat folderStatus {};
    if (stat(folder.c_str(), &folderStatus) != 0) return true;  // the kernel's open will say
    const bool shared = (folderStatus.st_mode & S_ISVTX) && (folderStatus.st_mode & S_IWOTH);
    if (!shared || linkStatus.st_uid == geteuid() || linkStatus.st_uid == folderStatus.st_uid) {
        return true;
    }
    *whyNot = quoted(link) + " is a link that another user left in the shared folder " +
              quoted(folder) + ", and is not followed";
    return false;
}

// Where an output name leads, as the kernel resolves it.
struct ResolvedName {
    std::string path;
    bool exists = false;
    struct stat status {};  // of the file at path, when it exists
};

std::string whyUnreachable(const std::string& name, int error) {
    if (error == ELOOP) return quoted(name) + " leads through a loop of links";
    return quoted(name) + ": " + std::strerror(error);
}

// A chain of links that ends where nothing is yet: the video is made there, as the kernel
// would create it, when that place's folder exists.
bool resolveDanglingLink(const std::string& name, const std::string& end, ResolvedName* resolved,
                         std::string* whyNot) {
    const std::string folder = folderOf(end);
    const int folderDescriptor = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor < 0) {
        *whyNot = errno == ENOENT || errno == ENOTDIR
                      ? quoted(name) + " is a link into the folder " + quoted(folder) +
                            ", which does not exist"
                      : whyUnreachable(folder, errno);
        return false;
    }
    const std::string folderPath = pathOfDescriptor(folderDescriptor);
    close(folderDescriptor);
    resolved->path = folderPath.empty() ? end : joined(folderPath, lastPartOf(end));
    resolved->exists = false;
    return true;
}

// Links are checked one by one against the rule above; the kernel itself then follows them,
// so it also finds loops and applies its own protections.
bool resolveOutputName(const std::string& name, ResolvedName* resolved, std::string* whyNot) {
    struct stat status {};
    if (lstat(name.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
        resolved->path = name;
        resolved->exists = lstat(name.c_str(), &resolved->status) == 0;
        return true;
    }
    std::string end = name;
    for (int hop = 0; lstat(end.c_str(), &status) == 0 && S_ISLNK(status.st_mode); ++hop) {
        if (hop == kMostLinksFollowed) {
            *whyNot = whyUnreachable(name, ELOOP);
            return false;
        }
        if (!linkMayBeFollowed(end, status, whyNot)) return false;
        end = linkTarget(end);
    }
    const int descriptor = ::open(name.c_str(), O_PATH | O_CLOEXEC);
    if (descriptor < 0) {
        if (errno == ENOENT) return resolveDanglingLink(name, end, resolved, whyNot);
        *whyNot = whyUnreachable(name, errno);
        return false;
    }
    const std::string path = pathOfDescriptor(descriptor);
    resolved->exists = fstat(descriptor, &resolved->status) == 0;
    close(descriptor);
    resolved->path = path.empty() ? end : path;
    return true;
}

const char* kindOfFile(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISFIFO(mode)) return "a FIFO";
    return "a socket";  // the only kind left once links are followed
}

bool kindIsReplaceable(const std::string& path, const struct stat& status, std::string* whyNot) {
    if (S_ISREG(status.st_mode)) return true;
    *whyNot = quoted(path) + " is " + kindOfFile(status.st_mode) +
              ", and only a regular file is replaced";
    return false;
}

bool folderAccepts(const std::string& folder, std::string* whyNot) {
    struct stat status {};
    if (stat(folder.c_str(), &status) != 0) {
        *whyNot = errno == ENOENT ? "the folder " + quoted(folder) + " does not exist"
                                  : "the folder " + quoted(folder) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(status.st_mode)) {
        *whyNot = quoted(folder) + " is not a folder";
        return false;
    }
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        *whyNot = errno == EROFS ? "the folder " + quoted(folder) + " is on a read-only file system"
                                 : "the folder " + quoted(folder) + " cannot be written";
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

// "<name>.seqcat-XXXXXX<extension>": the extension chooses the container, and the name says
// whose partial file it is when a killed run leaves it behind.
std::string temporaryNameFor(const std::string& folder, const std::string& targetPath,
                             const std::string& extension) {
    const long longestName = pathconf(folder.c_str(), _PC_NAME_MAX);
    const std::string marker = ".seqcat-" + randomLetters(6) + extension;
    std::string name = lastPartOf(targetPath);
    if (longestName > 0 && name.size() + marker.size() > static_cast<std::size_t>(longestName)) {
        name.resize(static_cast<std::size_t>(longestName) - marker.size());
    }
    return asLocalPath(joined(folder, name + marker));
}

// "clip.partial.mp4", then "clip.partial-2.mp4" and so on.
std::string partialNameFor(const std::string& folder, const std::string& targetPath,
                           const std::string& extension, int attempt) {
    std::string stem = lastPartOf(targetPath);
    if (stem.size() > extension.size() &&
        stem.compare(stem.size() - extension.size(), extension.size(), extension) == 0) {
        stem.resize(stem.size() - extension.size());
    }
    const std::string number = attempt > 1 ? "-" + std::to_string(attempt) : "";
    return asLocalPath(joined(folder, stem + ".partial" + number + extension));
}

// So that a rename in it reaches the disk too. A file system that cannot flush a folder
// (EINVAL) keeps its names by other means.
bool flushFolderToDisk(const std::string& folder, std::string* whyNot) {
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0 && (fsync(descriptor) == 0 || errno == EINVAL)) {
        close(descriptor);
        return true;
    }
    *whyNot = "the video is in place, but the folder " + quoted(folder) +
              " cannot be flushed to disk: " + std::strerror(errno);
    if (descriptor >= 0) close(descriptor);
    return false;
}

// Only root can give a file back to another owner, and a rename would cut other hard links
// off the video.
bool renameCanKeepOwnerAndLinks(const struct stat& existing, const std::string& folder,
                                std::string* whyNot) {
    if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        *whyNot = "its folder cannot be written";
    } else if (existing.st_nlink != 1) {
        *whyNot = "it has other hard links";
    } else if (geteuid() != 0 && existing.st_uid != geteuid()) {
        *whyNot = "it belongs to another user";
    } else {
        return true;
    }
    return false;
}

// Copies every extended attribute (POSIX ACLs among them) of a file onto a descriptor.
bool copyExtendedAttributes(const std::string& from, int to, std::string* accessAcl,
                            bool* hadAccessAcl) {
    *hadAccessAcl = false;
    const ssize_t listSize = llistxattr(from.c_str(), nullptr, 0);
    if (listSize < 0) return errno == ENOTSUP;  // a file system without them
    std::vector<char> names(static_cast<std::size_t>(listSize) + 1, '\0');
    if (llistxattr(from.c_str(), names.data(), names.size()) < 0) return false;
    for (const char* name = names.data(); *name != '\0'; name += std::strlen(name) + 1) {
        const ssize_t size = lgetxattr(from.c_str(), name, nullptr, 0);
        if (size < 0) return false;
        std::string value(static_cast<std::size_t>(size), '\0');
        if (lgetxattr(from.c_str(), name, &value[0], value.size()) != size) return false;
        if (fsetxattr(to, name, value.data(), value.size(), 0) != 0) return false;
        if (std::strcmp(name, kAccessAclAttribute) == 0) {
            *accessAcl = value;
            *hadAccessAcl = true;
        }
    }
    return true;
}

// Writes all of `count` bytes, going on after an interruption.
bool writeAll(int descriptor, const char* bytes, std::size_t count, off_t offset) {
    while (count > 0) {
        const ssize_t written = pwrite(descriptor, bytes, count, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        count -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

bool copyBytes(int from, int to, off_t* size) {
    std::vector<char> buffer(kCopyBufferBytes);
    off_t offset = 0;
    for (;;) {
        const ssize_t count = pread(from, buffer.data(), buffer.size(), offset);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return false;
        if (count == 0) break;
        if (!writeAll(to, buffer.data(), static_cast<std::size_t>(count), offset)) return false;
        offset += count;
    }
    *size = offset;
    return true;
}

}  // namespace

OutputFile::~OutputFile() {
    discard();
}

bool OutputFile::create(const std::string& outputName, const std::string& extension,
                        std::string* whyNot) {
    discard();
    outputName_ = outputName;
    extension_ = extension;
    existingMode_ = 0;
    accessAcl_.clear();
    hadAccessAcl_ = false;
    giveOwnerInPlace_ = false;
    ResolvedName target;
    if (!resolveOutputName(outputName, &target, whyNot)) return false;
    targetPath_ = target.path;
    const std::string folder = folderOf(targetPath_);
    if (!target.exists) {
        placement_ = Placement::kNewName;
        return folderAccepts(folder, whyNot) && nameFitsTheFolder(targetPath_, folder, whyNot) &&
               createNewFile(folder, whyNot);
    }
    if (!kindIsReplaceable(targetPath_, target.status, whyNot)) return false;
    // Root may write any file; a file without write permission is still not replaced.
    if ((target.status.st_mode & 0222) == 0) {
        *whyNot = "the existing file " + quoted(targetPath_) + " is read-only";
        return false;
    }
    existingMode_ = target.status.st_mode & 07777;
    std::string whyNoRename;
    if (prepareRename(target.status, folder, &whyNoRename)) return true;
    return prepareCopyInPlace(target.status, folder, whyNoRename, whyNot);
}

bool OutputFile::prepareRename(const struct stat& existing, const std::string& folder,
                               std::string* whyNot) {
    if (!renameCanKeepOwnerAndLinks(existing, folder, whyNot) ||
        !createNewFile(folder, whyNot)) {
        return false;
    }
    if (giveWhatTheFileWas(existing)) {
        placement_ = Placement::kRename;
        return true;
    }
    *whyNot = "a new file cannot be given its owner, group or attributes";
    removeNewFile();
    return false;
}

// The new file is made beside the existing one where its folder takes new files, else in the
// temporary folder; the existing file is opened for writing now, so that a file which cannot
// be written is refused before the first frame.
bool OutputFile::prepareCopyInPlace(const struct stat& existing, const std::string& folder,
                                    const std::string& whyNoRename, std::string* whyNot) {
    targetDescriptor_ =
        ::open(targetPath_.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int openError = errno;
    struct stat opened {};
    if (targetDescriptor_ < 0 || fstat(targetDescriptor_, &opened) != 0 ||
        opened.st_ino != existing.st_ino || opened.st_dev != existing.st_dev) {
        *whyNot = "the existing file " + quoted(targetPath_) + " can be neither replaced (" +
                  whyNoRename + ") nor written";
        if (targetDescriptor_ < 0) *whyNot += std::string(" (") + std::strerror(openError) + ")";
        discard();
        return false;
    }
    placement_ = Placement::kCopyInPlace;
    const char* temporaryFolder = std::getenv("TMPDIR");
    const std::string candidates[] = {
        faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? folder : "",
        temporaryFolder != nullptr ? temporaryFolder : "", "/tmp"};
    for (const std::string& candidate : candidates) {
        if (!candidate.empty() && createNewFile(candidate, whyNot)) return true;
    }
    discard();
    return false;
}

bool OutputFile::createNewFile(const std::string& folder, std::string* whyNot) {
    for (int attempt = 0; attempt < kMostNameAttempts; ++attempt) {
        const std::string path = temporaryNameFor(folder, targetPath_, extension_);
        newFileDescriptor_ =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (newFileDescriptor_ < 0 && errno == EEXIST) continue;
        if (newFileDescriptor_ < 0) break;
        newFilePath_ = path;
        inPlace_ = false;
        // A new name gets what the umask gives; until then the file stays the user's alone,
        // and readable, so that it can be read back.
        struct stat status {};
        finalMode_ = fstat(newFileDescriptor_, &status) == 0 ? status.st_mode & 0777 : 0644;
        if (fchmod(newFileDescriptor_, 0600) == 0) return true;
        break;
    }
    *whyNot = "a new file cannot be made in " + quoted(folder) + ": " + std::strerror(errno);
    removeNewFile();
    return false;
}

// Group and extended attributes now, so that a file that cannot take them is known before
// the first frame; the mode only once the video is in place. So is the owner, which only root
// gives to another user: until then the file stays root's, as the kernel requires of a file
// the writer opens in a shared folder such as /tmp (fs.protected_regular).
bool OutputFile::giveWhatTheFileWas(const struct stat& existing) {
    struct stat mine {};
    if (fstat(newFileDescriptor_, &mine) != 0) return false;
    existingOwner_ = existing.st_uid;
    existingGroup_ = existing.st_gid;
    giveOwnerInPlace_ = mine.st_uid != existing.st_uid || mine.st_gid != existing.st_gid;
    if (giveOwnerInPlace_ && geteuid() != 0 &&
        fchown(newFileDescriptor_, static_cast<uid_t>(-1), existing.st_gid) != 0) {
        return false;
    }
    // An ACL the folder hands down to new files is not the replaced file's.
    if (fremovexattr(newFileDescriptor_, kAccessAclAttribute) != 0 && errno != ENODATA &&
        errno != ENOTSUP) {
        return false;
    }
    if (!copyExtendedAttributes(targetPath_, newFileDescriptor_, &accessAcl_, &hadAccessAcl_)) {
        return false;
    }
    finalMode_ = existingMode_ & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    return fchmod(newFileDescriptor_, 0600) == 0;
}

void OutputFile::removeNewFile() {
    if (!newFilePath_.empty() && (!inPlace_ || placement_ == Placement::kCopyInPlace)) {
        unlink(newFilePath_.c_str());
    }
    if (newFileDescriptor_ >= 0) close(newFileDescriptor_);
    newFileDescriptor_ = -1;
    newFilePath_.clear();
}

void OutputFile::discard() {
    removeNewFile();
    if (targetDescriptor_ >= 0) close(targetDescriptor_);
    targetDescriptor_ = -1;
}

bool OutputFile::hasRoomLeft(std::string* whyNot) const {
    struct stat status {};
    struct rlimit sizeLimit {};
    if (fstat(newFileDescriptor_, &status) == 0 && getrlimit(RLIMIT_FSIZE, &sizeLimit) == 0 &&
        sizeLimit.rlim_cur != RLIM_INFINITY &&
        static_cast<rlim_t>(status.st_size) >= sizeLimit.rlim_cur) {
        *whyNot = "the file has reached the size limit of " + std::to_string(sizeLimit.rlim_cur) +
                  " bytes";
        return false;
    }
    struct statvfs space {};
    if (fstatvfs(newFileDescriptor_, &space) != 0) return true;
    // Root may write into the blocks reserved for it; anyone else stops before them.
    const auto freeBlocks = geteuid() == 0 ? space.f_bfree : space.f_bavail;
    if (freeBlocks > 0) return true;
    *whyNot = "the file system has no room left";
    return false;
}

bool OutputFile::flushToDisk(std::string* whyNot) {
    if (fsync(newFileDescriptor_) == 0) return true;
    *whyNot = std::string("the video cannot be flushed to disk: ") + std::strerror(errno);
    return false;
}

bool OutputFile::takeContentsOf(const std::string& path, std::string* whyNot) {
    const int source = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat copy {};
    int error = source < 0 || fstat(source, &copy) != 0 ? errno : 0;
    if (error == 0 && copy.st_size > 0) {
        do {
            error = posix_fallocate(newFileDescriptor_, 0, copy.st_size);
        } while (error == EINTR);  // a stop signal's wake-up: the video is still finished
    }
    if (error != 0) {
        if (source >= 0) close(source);
        *whyNot = std::string("there is no room for a copy of the video: ") + std::strerror(error);
        return false;
    }
    off_t size = 0;
    const bool taken = copyBytes(source, newFileDescriptor_, &size) &&
                       ftruncate(newFileDescriptor_, size) == 0;
    error = errno;
    close(source);
    if (taken) return true;
    *whyNot = std::string("the copy cannot be taken into the video: ") + std::strerror(error);
    return false;
}

bool OutputFile::wouldReplaceAFile() const {
    struct stat status {};
    return placement_ != Placement::kNewName || stat(targetPath_.c_str(), &status) == 0;
}

bool OutputFile::putInPlace(std::string* whyNot) {
    if (inPlace_) return true;
    ResolvedName now;
    if (!resolveOutputName(outputName_, &now, whyNot)) return false;
    if (now.path != targetPath_) {
        *whyNot = "the output name leads to " + quoted(now.path) + " now, not to " +
                  quoted(targetPath_) + " as when the run began";
        return false;
    }
    if (now.exists && !kindIsReplaceable(targetPath_, now.status, whyNot)) return false;
    return placement_ == Placement::kCopyInPlace ? copyIntoTheFile(whyNot)
                                                 : renameIntoPlace(whyNot);
}

bool OutputFile::renameIntoPlace(std::string* whyNot) {
    const bool modeGiven =
        (!giveOwnerInPlace_ || fchown(newFileDescriptor_, existingOwner_, existingGroup_) == 0) &&
        fchmod(newFileDescriptor_, finalMode_) == 0 &&
        (!hadAccessAcl_ || fsetxattr(newFileDescriptor_, kAccessAclAttribute, accessAcl_.data(),
                                     accessAcl_.size(), 0) == 0);
    if (!modeGiven) {
        *whyNot = "the video cannot be given the owner and permissions of " +
                  quoted(targetPath_) + ": " + std::strerror(errno);
        return false;
    }
    const std::string folder = folderOf(targetPath_);
    if (rename(newFilePath_.c_str(), targetPath_.c_str()) != 0) {
        const int renameError = errno;
        struct stat status {};
        if (renameError == ENOENT && stat(folder.c_str(), &status) != 0) {
            *whyNot = "the folder " + quoted(folder) + " was removed during the run";
        } else {
            *whyNot = quoted(newFilePath_) + " cannot be renamed to " + quoted(targetPath_) +
                      ": " + std::strerror(renameError);
        }
        return false;
    }
    inPlace_ = true;
    return flushFolderToDisk(folder, whyNot);
}

bool OutputFile::keepBeside(std::string* keptPath, std::string* whyNot) {
    if (fchmod(newFileDescriptor_, finalMode_) != 0) {
        *whyNot = "the video cannot be given its permissions: " + std::string(std::strerror(errno));
        return false;
    }
    const std::string folder = folderOf(newFilePath_);
    *keptPath = newFilePath_;
    // A link, unlike a rename, never takes the place of a file that stands at the name.
    for (int attempt = 1; attempt <= kMostNameAttempts; ++attempt) {
        const std::string path = partialNameFor(folder, targetPath_, extension_, attempt);
        if (link(newFilePath_.c_str(), path.c_str()) == 0) {
            unlink(newFilePath_.c_str());
            *keptPath = path;
            break;
        }
        if (errno != EEXIST) break;
    }
    close(newFileDescriptor_);
    newFileDescriptor_ = -1;
    newFilePath_.clear();
    return flushFolderToDisk(folder, whyNot);
}

// The one step in which the old bytes are lost: the file keeps its inode, and with it every
// name, owner, mode and attribute it had.
bool OutputFile::copyIntoTheFile(std::string* whyNot) {
    // Room for the whole video first, where the file system can promise it: a full disk then
    // costs no old byte.
    struct stat video {};
    if (fstat(newFileDescriptor_, &video) != 0 ||
        (video.st_size > 0 && fallocate(targetDescriptor_, 0, 0, video.st_size) != 0 &&
         errno != EOPNOTSUPP)) {
        *whyNot = "the video cannot be copied into the existing file " + quoted(targetPath_) +
                  ", which is kept as it was: " + std::strerror(errno);
        return false;
    }
    off_t size = 0;
    const bool copied = copyBytes(newFileDescriptor_, targetDescriptor_, &size) &&
                        ftruncate(targetDescriptor_, size) == 0 &&
                        ((existingMode_ & (S_ISUID | S_ISGID)) == 0 ||
                         fchmod(targetDescriptor_, existingMode_ & 01777) == 0) &&
                        fsync(targetDescriptor_) == 0;
    if (!copied) {
        *whyNot = "the video cannot be copied into the existing file " + quoted(targetPath_) +
                  ", which may now be damaged: " + std::strerror(errno);
        return false;
    }
    inPlace_ = true;
    removeNewFile();
    return true;
}

bool outputIsOneOfTheImages(const ConversionSettings& settings, std::string* imagePath) {
    struct stat output {};
    if (stat(settings.outputName.c_str(), &output) != 0) return false;
    for (std::int64_t position = 0; position < imagesInRange(settings); ++position) {
        const std::string path =
            formatImagePath(settings, static_cast<std::int32_t>(settings.firstIndex + position));
        struct stat image {};
        if (path.empty() || stat(path.c_str(), &image) != 0) return false;
        if (image.st_dev == output.st_dev && image.st_ino == output.st_ino) {
            *imagePath = path;
            return true;
        }
    }
    return false;
}
