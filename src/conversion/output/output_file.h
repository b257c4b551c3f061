// The file a video is written to. The writer fills a new file; only a finished video that has
// been read back takes the output name's place, so whatever stood there before is left
// untouched by a run that fails, and a reader of that name never sees half a video.
//
// A file that is replaced keeps what it was: its owner and group, its mode (without setuid and
// setgid), its extended attributes and ACLs, its hard links. Where the new file can be given
// all of that, it is made beside the file and renamed over it. Where it cannot, but the file
// may be written, the finished video is copied into the file in place. Otherwise the output is
// refused before the first frame.
#pragma once

#include "settings.h"

#include <string>
#include <sys/types.h>

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // removes the new file
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Decides how the video will take the output name's place (following links only where the
    // kernel's protection of shared folders would), and creates the new file for it. Its name
    // ends with `extension`, which the writer chooses the container by.
    bool create(const std::string& outputName, const std::string& extension,
                std::string* whyNot);

    // Removes the new file, leaving the output name as it was.
    void discard();

    // The new file's path, as the writer must be given it: never read as a protocol
    // ("pipe:", "udp:") or a stream, always a local file.
    const std::string& writerPath() const { return newFilePath_; }

    // False, with the reason, once the file system has no room left or the file has reached
    // the size limit of the process: writes beyond that point are lost.
    bool hasRoomLeft(std::string* whyNot) const;

    bool flushToDisk(std::string* whyNot);

    // Makes the new file hold what the file at path holds. Room for all of it is claimed
    // first, so that a full disk or the size limit leaves the new file as it was.
    bool takeContentsOf(const std::string& path, std::string* whyNot);

    // True when a file stands where the video would go.
    bool wouldReplaceAFile() const;

    // Puts the finished video where the output name leads (followed again, by the same rules,
    // as it may have changed during the run), and flushes that to disk.
    bool putInPlace(std::string* whyNot);

    // Leaves the output name as it is and keeps the video under a name of its own beside the
    // file there ("clip.partial.mp4"), or under the new file's name where no such name can be
    // made; keptPath says which.
    bool keepBeside(std::string* keptPath, std::string* whyNot);

private:
    enum class Placement { kNewName, kRename, kCopyInPlace };

    bool prepareRename(const struct stat& existing, const std::string& folder,
                       std::string* whyNot);
    bool prepareCopyInPlace(const struct stat& existing, const std::string& folder,
                            const std::string& whyNoRename, std::string* whyNot);
    bool createNewFile(const std::string& folder, std::string* whyNot);
    bool giveWhatTheFileWas(const struct stat& existing);
    bool renameIntoPlace(std::string* whyNot);
    bool copyIntoTheFile(std::string* whyNot);
    void removeNewFile();

    std::string outputName_;
    std::string extension_;
    std::string targetPath_;     // where the output name leads, its links followed
    std::string newFilePath_;    // the writer's file, beside the target or in a temporary folder
    int newFileDescriptor_ = -1;  // open for flushing, size checks and copying
    int targetDescriptor_ = -1;  // the existing file, open for writing, when copied into
    Placement placement_ = Placement::kNewName;
    mode_t finalMode_ = 0;       // the mode the video gets once in place
    mode_t existingMode_ = 0;    // the replaced file's own, setuid and setgid bits included
    std::string accessAcl_;      // the replaced file's POSIX ACL, given again after the mode
    bool hadAccessAcl_ = false;
    uid_t existingOwner_ = 0;
    gid_t existingGroup_ = 0;
    bool giveOwnerInPlace_ = false;
    bool inPlace_ = false;
};

// True when the output name is (or leads through a link to) one of the sequence's images.
// Only the images up to the first missing one are looked at, as the run reads no further.
bool outputIsOneOfTheImages(const ConversionSettings& settings, std::string* imagePath);
