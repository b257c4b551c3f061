// The file a video is written to. The writer fills a new file beside the output name; only a
// finished, flushed video is renamed over that name, so whatever stood there before is left
// untouched by a run that fails, and a reader of that name never sees half a video.
#pragma once

#include "settings.h"

#include <string>

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();  // removes the new file unless it has been put in place
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Creates the new file beside the output name (beside the file a symlink points to). The
    // output must be a regular file that may be replaced, or not exist yet.
    bool create(const std::string& outputName, std::string* whyNot);

    // Removes the new file, leaving the output name as it was.
    void discard();

    // The new file's path, as the writer must be given it: never read as a protocol
    // ("pipe:", "udp:") or a stream, always a local file.
    const std::string& writerPath() const { return temporaryPath_; }

    // False, with the reason, once the file system has no room left or the file has reached
    // the size limit of the process: writes beyond that point are lost.
    bool hasRoomLeft(std::string* whyNot) const;

    bool flushToDisk(std::string* whyNot);

    // Renames the new file over the output name.
    bool putInPlace(std::string* whyNot);

private:
    std::string targetPath_;     // the output name with its symlinks followed
    std::string temporaryPath_;
    int descriptor_ = -1;        // the new file, open for flushing and size checks
    bool inPlace_ = false;
};

// True when the output name is (or leads through a link to) one of the sequence's images.
// Only the images up to the first missing one are looked at, as the run reads no further.
bool outputIsOneOfTheImages(const ConversionSettings& settings, std::string* imagePath);
