// Fuzzes the JPEG copy check against the two decoders a copied frame meets: libjpeg, which
// seqcat's images are loaded with, and libavcodec's Motion JPEG decoder, which players show the
// video with. For every input the check accepts (both its parts, as a copy needs), both must
// read the headers without an error, agree on the size, the component count and the colour
// space, and FFmpeg must give the YUV format the sampling implies, with square pixels. Damage
// in the coded data, found only once decoding has begun, is no failure: a copied frame is shown
// as each decoder makes of it.
#include <csetjmp>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

#include "jpeg_frame.h"

namespace {

// Pictures larger than this are not decoded by FFmpeg in full (a run would take seconds and
// gigabytes); the size check its decoder makes first is called instead.
constexpr long long kMostDecodedPixels = 4096LL * 4096;

[[noreturn]] void failCheck(const std::string& what) {
    std::fprintf(stderr, "jpeg_frame_fuzzer: the check accepted a file it must refuse: %s\n",
                 what.c_str());
    std::abort();
}

// What a decoder read from the headers.
struct Reading {
    bool headersRead = false;
    int width = 0;
    int height = 0;
    int components = 0;
    bool yCbCr = false;
    // The chroma's subsampling, luma factor over chroma factor in each direction; 0 when the
    // two chroma components are sampled differently.
    int horizontalRatio = 0;
    int verticalRatio = 0;
};

struct JumpingErrorManager {
    jpeg_error_mgr standard;
    std::jmp_buf jump;
};

void jumpOut(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JumpingErrorManager*>(info->err)->jump, 1);
}

void keepQuiet(j_common_ptr, int) {}

// Only plain data lives here, as longjmp leaves it.
void readWithLibjpeg(const std::uint8_t* data, std::size_t size, Reading* reading) {
    jpeg_decompress_struct info;
    JumpingErrorManager errors;
    info.err = jpeg_std_error(&errors.standard);
    errors.standard.error_exit = jumpOut;
    errors.standard.emit_message = keepQuiet;
    jpeg_create_decompress(&info);
    if (setjmp(errors.jump) == 0) {
        jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_RGB;  // as OpenCV asks for colour images
        jpeg_start_decompress(&info);
        reading->headersRead = true;
        reading->width = static_cast<int>(info.image_width);
        reading->height = static_cast<int>(info.image_height);
        reading->components = info.num_components;
        reading->yCbCr = info.jpeg_color_space == JCS_YCbCr;
        if (info.num_components == 3 &&
            info.comp_info[1].h_samp_factor == info.comp_info[2].h_samp_factor &&
            info.comp_info[1].v_samp_factor == info.comp_info[2].v_samp_factor) {
            reading->horizontalRatio = info.max_h_samp_factor / info.comp_info[1].h_samp_factor;
            reading->verticalRatio = info.max_v_samp_factor / info.comp_info[1].v_samp_factor;
        }
        // The first scanline shows the entropy decoder at work; errors after it are damage.
        // The row is libjpeg's, so that no allocation of ours is left behind by a jump.
        JSAMPARRAY rows = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info),
                                                    JPOOL_IMAGE,
                                                    info.output_width * info.output_components, 1);
        jpeg_read_scanlines(&info, rows, 1);
    }
    jpeg_destroy_decompress(&info);
}

struct FfmpegReading {
    Reading reading;
    AVPixelFormat format = AV_PIX_FMT_NONE;
    AVRational pixelShape{0, 1};  // width over height of a pixel; 0 when unknown
    bool frameOut = false;
    bool sizeChecked = false;  // too large to decode here: only the decoder's size check ran
};

int ffmpegErrors = 0;  // messages of error level, since the last decoding began
bool ffmpegVerbose = false;

// Errors in the EXIF data FFmpeg keeps as metadata, which leave the picture as it is.
constexpr const char* kMetadataErrors[] = {"mjpeg: invalid TIFF header in EXIF data",
                                           "mjpeg: error decoding EXIF data"};

bool isMetadataError(const char* format) {
    for (const char* error : kMetadataErrors) {
        if (std::strncmp(format, error, std::strlen(error)) == 0) return true;
    }
    return false;
}

void countFfmpegErrors(void* context, int level, const char* format, va_list arguments) {
    if (level <= AV_LOG_ERROR && !isMetadataError(format)) ++ffmpegErrors;
    if (ffmpegVerbose) av_log_default_callback(context, level, format, arguments);
}

// FFmpeg's reading of the headers before the scan, and of nothing else: an end-of-image marker
// follows them at once, so whatever it reports is about the headers. The packet keeps the
// file's size, as the decoder weighs the picture's size against it.
FfmpegReading readWithFfmpeg(const std::vector<std::uint8_t>& file, const CopyableJpeg& jpeg,
                             int width, int height) {
    FfmpegReading result;
    if (static_cast<long long>(width) * height > kMostDecodedPixels) {
        result.sizeChecked = true;
        result.reading.headersRead = av_image_check_size(static_cast<unsigned>(width),
                                                         static_cast<unsigned>(height), 0,
                                                         nullptr) == 0;
        result.reading.width = width;
        result.reading.height = height;
        return result;
    }
    constexpr std::size_t kScanHeaderSize = 2 + 12;  // marker, then three components' worth
    std::vector<std::uint8_t> packetBytes(file.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    const std::size_t headersEnd = jpeg.scanStart - kScanHeaderSize;
    std::memcpy(packetBytes.data(), file.data(), headersEnd);
    packetBytes[headersEnd] = 0xFF;
    packetBytes[headersEnd + 1] = 0xD9;

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    ffmpegErrors = 0;
    if (context && packet && frame) {
        // As the frame is read from an .avi (the decoder reads some comments only there).
        context->codec_tag = MKTAG('M', 'J', 'P', 'G');
        packet->data = packetBytes.data();
        packet->size = static_cast<int>(file.size());
        if (avcodec_open2(context, codec, nullptr) == 0 &&
            avcodec_send_packet(context, packet) == 0) {
            avcodec_send_packet(context, nullptr);
            result.frameOut = avcodec_receive_frame(context, frame) == 0;
        }
        result.format = result.frameOut ? static_cast<AVPixelFormat>(frame->format)
                                        : context->pix_fmt;
        result.reading.width = result.frameOut ? frame->width : context->width;
        result.reading.height = result.frameOut ? frame->height : context->height;
        result.pixelShape =
            result.frameOut ? frame->sample_aspect_ratio : context->sample_aspect_ratio;
    }
    result.reading.headersRead = result.format != AV_PIX_FMT_NONE && ffmpegErrors == 0;
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return result;
}

AVPixelFormat impliedFormat(const Reading& reading) {
    if (reading.horizontalRatio == 2 && reading.verticalRatio == 2) return AV_PIX_FMT_YUVJ420P;
    if (reading.horizontalRatio == 2 && reading.verticalRatio == 1) return AV_PIX_FMT_YUVJ422P;
    if (reading.horizontalRatio == 1 && reading.verticalRatio == 1) return AV_PIX_FMT_YUVJ444P;
    return AV_PIX_FMT_NONE;
}

std::string sizeText(const Reading& reading) {
    return std::to_string(reading.width) + "x" + std::to_string(reading.height);
}

std::string formatName(AVPixelFormat format) {
    const char* name = av_get_pix_fmt_name(format);
    return name ? name : "none";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // FFmpeg's own account of a failing input: JPEG_FRAME_FUZZER_LOG=1 jpeg_frame_fuzzer FILE
    ffmpegVerbose = std::getenv("JPEG_FRAME_FUZZER_LOG") != nullptr;
    av_log_set_level(ffmpegVerbose ? AV_LOG_DEBUG : AV_LOG_ERROR);
    av_log_set_callback(countFfmpegErrors);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> file(data, data + size);
    CopyableJpeg jpeg;
    if (!isCopyableJpeg(file, &jpeg) || !codedDataIsWhole(file, jpeg)) return 0;

    Reading libjpeg;
    readWithLibjpeg(data, size, &libjpeg);
    if (!libjpeg.headersRead) failCheck("libjpeg cannot read its headers");
    if (libjpeg.width != jpeg.width || libjpeg.height != jpeg.height) {
        failCheck("libjpeg reads " + sizeText(libjpeg) + ", the check " +
                  std::to_string(jpeg.width) + "x" + std::to_string(jpeg.height));
    }
    if (libjpeg.components != 3 || !libjpeg.yCbCr) {
        failCheck("libjpeg reads " + std::to_string(libjpeg.components) +
                  " components, not YCbCr");
    }
    const AVPixelFormat implied = impliedFormat(libjpeg);
    if (implied == AV_PIX_FMT_NONE) {
        failCheck("libjpeg reads a sampling other than 4:2:0, 4:2:2 or 4:4:4");
    }

    const FfmpegReading ffmpeg = readWithFfmpeg(file, jpeg, libjpeg.width, libjpeg.height);
    if (!ffmpeg.reading.headersRead) {
        failCheck(ffmpeg.sizeChecked ? "FFmpeg refuses the picture size " + sizeText(libjpeg)
                                     : "FFmpeg reports an error in its headers");
    }
    if (ffmpeg.reading.width != libjpeg.width || ffmpeg.reading.height != libjpeg.height) {
        failCheck("FFmpeg reads " + sizeText(ffmpeg.reading) + ", libjpeg " + sizeText(libjpeg));
    }
    if (ffmpeg.pixelShape.num != 0 && ffmpeg.pixelShape.num != ffmpeg.pixelShape.den) {
        failCheck("FFmpeg shows pixels " + std::to_string(ffmpeg.pixelShape.num) + ":" +
                  std::to_string(ffmpeg.pixelShape.den) + ", libjpeg square ones");
    }
    if (!ffmpeg.sizeChecked && ffmpeg.format != implied) {
        failCheck("FFmpeg decodes " + formatName(ffmpeg.format) + ", the header says " +
                  formatName(implied));
    }
    return 0;
}
