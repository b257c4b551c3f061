// Fuzzes the JPEG copy check against the two decoders a copied frame meets: libjpeg, which
// seqcat's images are loaded with, and libavcodec's Motion JPEG decoder, which players show the
// video with. For every input the check accepts (both its parts, as a copy needs), both must
// read the headers without an error, agree on the size, the component count and the colour
// space, and FFmpeg must give the YUV format the sampling implies, with square pixels. Damage
// in the coded data, found only once decoding has begun, is no failure: a copied frame is shown
// as each decoder makes of it.
#include <csetjmp>
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
        std::vector<JSAMPLE> row(static_cast<std::size_t>(info.output_width) *
                                 info.output_components);
        JSAMPROW rows[] = {row.data()};
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

FfmpegReading readWithFfmpeg(const std::uint8_t* data, std::size_t size, int width, int height) {
    FfmpegReading result;
    if (static_cast<long long>(width) * height > kMostDecodedPixels) {
        result.sizeChecked = true;
        result.reading.headersRead = av_image_check_size(static_cast<unsigned>(width), static_cast<unsigned>(height), 0, nullptr) == 0;
        result.reading.width = width;
        result.reading.height = height;
        return result;
    }
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    // As the frame is read from an .avi (the decoder reads some comments only there).
    context->codec_tag = MKTAG('M', 'J', 'P', 'G');
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    std::vector<std::uint8_t> padded(size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    std::memcpy(padded.data(), data, size);
    packet->data = padded.data();
    packet->size = static_cast<int>(size);
    if (context && packet && frame && avcodec_open2(context, codec, nullptr) == 0 &&
        avcodec_send_packet(context, packet) == 0) {
        avcodec_send_packet(context, nullptr);
        if (avcodec_receive_frame(context, frame) == 0) {
            result.frameOut = true;
            result.format = static_cast<AVPixelFormat>(frame->format);
            result.reading.width = frame->width;
            result.reading.height = frame->height;
            result.pixelShape = frame->sample_aspect_ratio;
        }
    }
    if (!result.frameOut && context) {
        // No picture: what the frame header made of it, if the decoder came that far.
        result.format = context->pix_fmt;
        result.reading.width = context->width;
        result.reading.height = context->height;
        result.pixelShape = context->sample_aspect_ratio;
    }
    result.reading.headersRead = result.format != AV_PIX_FMT_NONE;
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
    av_log_set_level(std::getenv("JPEG_FRAME_FUZZER_LOG") ? AV_LOG_DEBUG : AV_LOG_QUIET);
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
    if (implied == AV_PIX_FMT_NONE) failCheck("libjpeg reads a sampling other than 4:2:0/4:2:2/4:4:4");

    const FfmpegReading ffmpeg = readWithFfmpeg(data, size, libjpeg.width, libjpeg.height);
    if (!ffmpeg.reading.headersRead) {
        failCheck(ffmpeg.sizeChecked ? "FFmpeg refuses the picture size " + sizeText(libjpeg)
                                     : "FFmpeg cannot read its headers");
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
