#include "colour_pass.h"

extern "C" {
#include <libavcodec/avcodec.h>
#if __has_include(<libavcodec/bsf.h>)
#include <libavcodec/bsf.h>  // FFmpeg 4.4 and later; before, avcodec.h declares the filters
#endif
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// What OpenCV's writer makes of a BGR image: BT.601 YUV at limited range. Measured on each
// release with a colour chart decoded both ways, within 5 levels as BT.601 and 41 as BT.709.
// The images themselves are not converted, so the system is labelled as one: SMPTE 170M.
constexpr AVColorSpace kMatrix = AVCOL_SPC_SMPTE170M;
constexpr AVColorPrimaries kPrimaries = AVCOL_PRI_SMPTE170M;
constexpr AVColorTransferCharacteristic kTransfer = AVCOL_TRC_SMPTE170M;
constexpr AVColorRange kRange = AVCOL_RANGE_MPEG;

using MuxerOptions = std::vector<std::pair<const char*, const char*>>;

struct DescribedContainer {
    const char* extension;  // lower case
    const char* muxer;      // nullptr: chosen by the file name, as the writer chose it
    MuxerOptions options;
};

const MuxerOptions kIndexFirstAndColourBox = {{"movflags", "+faststart+write_colr"}};

// Only mp4's muxer writes a colour box, so .m4v gets it too, with the brand .m4v's own gives.
const DescribedContainer kDescribedContainers[] = {
    {".mp4", nullptr, kIndexFirstAndColourBox},
    {".m4v", "mp4", {{"movflags", "+faststart+write_colr"}, {"brand", "M4V "}}},
    {".mov", nullptr, kIndexFirstAndColourBox},
    {".mkv", nullptr, {}},
    {".webm", nullptr, {}},
};

// The same description in an H.264 stream's sequence header, extradata included.
const std::pair<const char*, int> kH264Description[] = {
    {"colour_primaries", kPrimaries},
    {"transfer_characteristics", kTransfer},
    {"matrix_coefficients", kMatrix},
    {"video_full_range_flag", 0},
};

const DescribedContainer* describedContainerFor(const std::string& extension) {
    std::string lower = extension;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const DescribedContainer& container : kDescribedContainers) {
        if (lower == container.extension) return &container;
    }
    return nullptr;
}

const char* nameOr(const char* name, const char* otherwise) {
    return name != nullptr ? name : otherwise;
}

std::string libraryError(const std::string& step, int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return step + ": " + text;
}

struct InputCloser {
    void operator()(AVFormatContext* input) const { avformat_close_input(&input); }
};
struct OutputCloser {
    void operator()(AVFormatContext* output) const {
        if (output->pb != nullptr) avio_closep(&output->pb);
        avformat_free_context(output);
    }
};
struct FilterFreer {
    void operator()(AVBSFContext* filter) const { av_bsf_free(&filter); }
};
struct PacketFreer {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct DictionaryFreer {
    void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
using Input = std::unique_ptr<AVFormatContext, InputCloser>;
using Output = std::unique_ptr<AVFormatContext, OutputCloser>;
using Filter = std::unique_ptr<AVBSFContext, FilterFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;

// For copying, the stream is looked into: Matroska stores no decoding times, which the library
// then works out from how far the frames are reordered.
bool openInput(const std::string& path, bool forCopying, Input* input, int* videoStream,
               std::string* whyNot) {
    AVFormatContext* opened = nullptr;
    int error = avformat_open_input(&opened, path.c_str(), nullptr, nullptr);
    input->reset(opened);
    if (error >= 0 && forCopying) error = avformat_find_stream_info(opened, nullptr);
    if (error < 0) {
        *whyNot = libraryError("the video cannot be read", error);
        return false;
    }
    *videoStream = av_find_best_stream(opened, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (*videoStream >= 0) return true;
    *whyNot = "the video has no video stream";
    return false;
}

// One copy: the finished video in, the described one out.
class Copy {
public:
    bool open(const std::string& from, const std::string& to,
              const DescribedContainer& container, std::string* whyNot);
    bool copyPackets(std::string* whyNot);
    bool finish(std::string* whyNot);

private:
    bool openFilter(const AVStream& stream, std::string* whyNot);
    bool addStream(const AVStream& stream, std::string* whyNot);
    bool writeHeader(const std::string& to, const DescribedContainer& container,
                     std::string* whyNot);
    bool writeFiltered(AVPacket* packet, bool lastOnes, std::string* whyNot);
    bool write(AVPacket* packet, std::string* whyNot);

    Input input_;
    Output output_;
    Filter filter_;  // only for a stream with a place for the description
    int videoStream_ = -1;
    AVRational inputTimeBase_{};
};

bool Copy::openFilter(const AVStream& stream, std::string* whyNot) {
    if (stream.codecpar->codec_id != AV_CODEC_ID_H264) return true;
    const AVBitStreamFilter* metadata = av_bsf_get_by_name("h264_metadata");
    AVBSFContext* filter = nullptr;
    int error = metadata == nullptr ? AVERROR_BSF_NOT_FOUND : av_bsf_alloc(metadata, &filter);
    filter_.reset(filter);
    if (error >= 0) error = avcodec_parameters_copy(filter->par_in, stream.codecpar);
    for (const auto& [option, value] : kH264Description) {
        if (error >= 0) error = av_opt_set_int(filter->priv_data, option, value, 0);
    }
    if (error >= 0) {
        filter->time_base_in = stream.time_base;
        error = av_bsf_init(filter);
    }
    if (error >= 0) return true;
    *whyNot = libraryError("the H.264 stream cannot be described", error);
    return false;
}

bool Copy::addStream(const AVStream& stream, std::string* whyNot) {
    AVStream* copy = avformat_new_stream(output_.get(), nullptr);
    const AVCodecParameters* parameters = filter_ ? filter_->par_out : stream.codecpar;
    const int error = copy == nullptr ? AVERROR(ENOMEM)
                                      : avcodec_parameters_copy(copy->codecpar, parameters);
    if (error < 0) {
        *whyNot = libraryError("the video stream cannot be copied", error);
        return false;
    }
    copy->codecpar->codec_tag = 0;  // the muxer's own tag for the codec
    copy->codecpar->color_space = kMatrix;
    copy->codecpar->color_primaries = kPrimaries;
    copy->codecpar->color_trc = kTransfer;
    copy->codecpar->color_range = kRange;
    inputTimeBase_ = filter_ ? filter_->time_base_out : stream.time_base;
    copy->time_base = inputTimeBase_;
    copy->avg_frame_rate = stream.avg_frame_rate;
    copy->r_frame_rate = stream.r_frame_rate;
    return true;
}

bool Copy::writeHeader(const std::string& to, const DescribedContainer& container,
                       std::string* whyNot) {
    AVDictionary* options = nullptr;
    for (const auto& [name, value] : container.options) av_dict_set(&options, name, value, 0);
    int error = avio_open(&output_->pb, to.c_str(), AVIO_FLAG_WRITE);
    if (error >= 0) error = avformat_write_header(output_.get(), &options);
    const std::unique_ptr<AVDictionary, DictionaryFreer> unused(options);
    if (error < 0) {
        *whyNot = libraryError("the copy cannot be started", error);
        return false;
    }
    if (unused == nullptr) return true;
    *whyNot = std::string("this muxer has no option ") + av_dict_get(options, "", nullptr,
                                                                     AV_DICT_IGNORE_SUFFIX)->key;
    return false;
}

bool Copy::open(const std::string& from, const std::string& to,
                const DescribedContainer& container, std::string* whyNot) {
    if (!openInput(from, true, &input_, &videoStream_, whyNot)) return false;
    const AVStream& stream = *input_->streams[videoStream_];
    AVFormatContext* output = nullptr;
    const int error = avformat_alloc_output_context2(&output, nullptr, container.muxer,
                                                     to.c_str());
    output_.reset(output);
    if (error < 0) {
        *whyNot = libraryError("no muxer for the copy", error);
        return false;
    }
    return openFilter(stream, whyNot) && addStream(stream, whyNot) &&
           writeHeader(to, container, whyNot);
}

bool Copy::write(AVPacket* packet, std::string* whyNot) {
    av_packet_rescale_ts(packet, inputTimeBase_, output_->streams[0]->time_base);
    packet->stream_index = 0;
    packet->pos = -1;
    const int error = av_interleaved_write_frame(output_.get(), packet);
    if (error >= 0) return true;
    *whyNot = libraryError("the copy cannot be written", error);
    return false;
}

// A packet in (none with lastOnes: the filter gives what it holds back), as many out as the
// filter gives, each written.
bool Copy::writeFiltered(AVPacket* packet, bool lastOnes, std::string* whyNot) {
    int error = av_bsf_send_packet(filter_.get(), lastOnes ? nullptr : packet);
    while (error >= 0) {
        error = av_bsf_receive_packet(filter_.get(), packet);
        if (error >= 0 && !write(packet, whyNot)) return false;
    }
    if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return true;
    *whyNot = libraryError("the H.264 stream cannot be described", error);
    return false;
}

bool Copy::copyPackets(std::string* whyNot) {
    const Packet packet(av_packet_alloc());
    if (!packet) {
        *whyNot = libraryError("the copy cannot be made", AVERROR(ENOMEM));
        return false;
    }
    for (;;) {
        const int error = av_read_frame(input_.get(), packet.get());
        if (error == AVERROR_EOF) break;
        if (error < 0) {
            *whyNot = libraryError("the video cannot be read", error);
            return false;
        }
        const bool copied = packet->stream_index != videoStream_ ||
                            (filter_ ? writeFiltered(packet.get(), false, whyNot)
                                     : write(packet.get(), whyNot));
        av_packet_unref(packet.get());
        if (!copied) return false;
    }
    return !filter_ || writeFiltered(packet.get(), true, whyNot);
}

// The index, moved first where it goes first, is written here: a full disk shows here too.
bool Copy::finish(std::string* whyNot) {
    int error = av_write_trailer(output_.get());
    const int writeError = output_->pb->error;
    const int closeError = avio_closep(&output_->pb);
    if (error >= 0) error = writeError < 0 ? writeError : closeError;
    if (error >= 0) return true;
    *whyNot = libraryError("the copy cannot be finished", error);
    return false;
}

// The copy's name: the video's, its six random letters drawn again.
std::string copyTemplateFor(const std::string& videoPath) {
    static const char kMarker[] = ".seqcat-";
    const std::size_t marker = videoPath.rfind(kMarker);
    const std::size_t letters = marker == std::string::npos ? marker : marker + sizeof kMarker - 1;
    if (letters == std::string::npos || letters + 6 > videoPath.size()) return "";
    return videoPath.substr(0, letters) + "XXXXXX" + videoPath.substr(letters + 6);
}

}  // namespace

bool containerTakesColourDescription(const std::string& extension) {
    return describedContainerFor(extension) != nullptr;
}

ColourDescribedCopy::ColourDescribedCopy(const std::string& videoPath) : videoPath_(videoPath) {}

ColourDescribedCopy::~ColourDescribedCopy() {
    if (!path_.empty()) unlink(path_.c_str());
}

bool ColourDescribedCopy::make(const std::string& extension, std::string* whyNot) {
    const DescribedContainer* container = describedContainerFor(extension);
    std::string name = copyTemplateFor(videoPath_);
    if (container == nullptr || name.empty()) {
        *whyNot = "no copy can be made of " + videoPath_;
        return false;
    }
    const int suffixLength = static_cast<int>(name.size() - name.rfind("XXXXXX") - 6);
    const int descriptor = mkstemps(&name[0], suffixLength);
    if (descriptor < 0) {
        *whyNot = libraryError("the copy cannot be created", AVERROR(errno));
        return false;
    }
    close(descriptor);
    path_ = name;
    Copy copy;
    return copy.open(videoPath_, path_, *container, whyNot) && copy.copyPackets(whyNot) &&
           copy.finish(whyNot) && colourDescriptionReadsBack(path_, whyNot);
}

bool colourDescriptionReadsBack(const std::string& path, std::string* whyNot) {
    Input input;
    int videoStream = -1;
    if (!openInput(path, false, &input, &videoStream, whyNot)) return false;
    const AVCodecParameters& read = *input->streams[videoStream]->codecpar;
    // QuickTime's colour box has no place for the range; limited is what a reader assumes.
    const bool rangeKept = read.color_range == kRange || read.color_range == AVCOL_RANGE_UNSPECIFIED;
    if (read.color_space == kMatrix && read.color_primaries == kPrimaries &&
        read.color_trc == kTransfer && rangeKept) {
        return true;
    }
    *whyNot = std::string("the copy reads back as ") +
              nameOr(av_color_space_name(read.color_space), "?") + " matrix, " +
              nameOr(av_color_primaries_name(read.color_primaries), "?") + " primaries, " +
              nameOr(av_color_transfer_name(read.color_trc), "?") + " transfer, " +
              nameOr(av_color_range_name(read.color_range), "?") + " range";
    return false;
}
