#include "decoder_complaints.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <png.h>

namespace {

thread_local DecoderComplaints* currentRecorder = nullptr;

void recordMessage(j_common_ptr decoder) {
    if (currentRecorder == nullptr) return;
    char text[JMSG_LENGTH_MAX];
    decoder->err->format_message(decoder, text);
    currentRecorder->record(text);
}

// libjpeg's own output_message prints to stderr.
void recordInsteadOfPrinting(j_common_ptr decoder) {
    recordMessage(decoder);
}

// Level -1 is a warning, the kind a damaged file raises while the decoding goes on; higher
// levels are trace messages, which libjpeg prints only when asked to trace.
void recordWarnings(j_common_ptr decoder, int level) {
    if (level >= 0) return;
    if (decoder->err->num_warnings == 0) recordMessage(decoder);
    ++decoder->err->num_warnings;
}

// The functions of the libraries behind these names, found past seqcat's own definitions.
template <typename Function>
Function realFunction(const char* name) {
    const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    if (real == nullptr) std::abort();  // only a caller linked with the library can get here
    return real;
}

// libpng's own error function prints "libpng error: ..." before it gives up on the image.
[[noreturn]] void recordPngError(png_structp decoder, png_const_charp message) {
    if (currentRecorder != nullptr) currentRecorder->record(message);
    static const auto giveUp = realFunction<void (*)(png_const_structrp, int)>("png_longjmp");
    giveUp(decoder, 1);
    std::abort();  // png_longjmp does not return
}

// libpng's warnings (an odd colour profile, extra data after the picture) leave the image
// whole: they are nothing the user must hear of.
void ignorePngWarning(png_structp, png_const_charp) {}

}  // namespace

DecoderComplaints::DecoderComplaints() : outer_(currentRecorder) {
    currentRecorder = this;
}

DecoderComplaints::~DecoderComplaints() {
    currentRecorder = outer_;
}

void DecoderComplaints::record(const char* complaint) {
    if (first_.empty()) first_ = complaint;
}

// Every user of libjpeg in the process (OpenCV's image decoder among them) fills its error
// manager here: libjpeg's own, with its two printing functions replaced by ones that record.
// What a caller sets afterwards (OpenCV its error_exit) stays the caller's.
extern "C" __attribute__((visibility("default"))) jpeg_error_mgr* jpeg_std_error(
    jpeg_error_mgr* errorManager) {
    static const auto real = realFunction<jpeg_error_mgr* (*)(jpeg_error_mgr*)>("jpeg_std_error");
    real(errorManager);
    errorManager->output_message = recordInsteadOfPrinting;
    errorManager->emit_message = recordWarnings;
    return errorManager;
}

// The same for libpng, for callers (OpenCV among them) that leave its messages to libpng.
extern "C" __attribute__((visibility("default"))) png_structp png_create_read_struct(
    png_const_charp version, png_voidp errorContext, png_error_ptr onError,
    png_error_ptr onWarning) {
    static const auto real =
        realFunction<png_structp (*)(png_const_charp, png_voidp, png_error_ptr, png_error_ptr)>(
            "png_create_read_struct");
    return real(version, errorContext, onError != nullptr ? onError : recordPngError,
                onWarning != nullptr ? onWarning : ignorePngWarning);
}
