// Run-time binding of the codec libraries: libavutil, libavcodec,
// libswresample and libswscale, loaded from the install directory and bound
// to one process-wide table of entry points. Nothing else in the system
// calls the libraries except through this table.
//
// Windows: "avutil-56.dll", "avcodec-58.dll", "swresample-3.dll",
// "swscale-5.dll" from the install directory only; libavcodec's major
// version must be 58. Linux: the shared objects of the headers the build
// uses (Debian's "libavcodec.so.59" and its siblings), from the install
// directory (without one, the running program's own) first, then wherever
// the system loader finds them; the major version must be the headers' own.
//
// A binding is complete only when every entry point was found: a table with
// a null entry counts as not bound, so nobody can call through a null
// pointer. Callers check CodecLibrariesBound() before any call.
//
// LoadCodecLibraries and UnloadCodecLibraries run on the service worker's
// thread (engine construction and destruction) while no other thread uses
// the table; the table does not change in between.
#pragma once

#include "base/config_store.h"

// The table keeps the libraries' own prototypes, deprecated ones included.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/avutil.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace talvik {

// (library, entry point), in the order they are resolved.
#define TALVIK_CODEC_ENTRY_POINTS(X)                                                                               \
    X(kDecoderLibrary, avcodec_find_decoder)                                                                       \
    X(kDecoderLibrary, avcodec_alloc_context3)                                                                     \
    X(kDecoderLibrary, avcodec_open2)                                                                              \
    X(kDecoderLibrary, avcodec_close)                                                                              \
    X(kDecoderLibrary, avcodec_send_packet)                                                                        \
    X(kDecoderLibrary, avcodec_receive_frame)                                                                      \
    X(kDecoderLibrary, av_init_packet)                                                                             \
    X(kDecoderLibrary, avcodec_version)                                                                            \
    X(kUtilityLibrary, av_free)                                                                                    \
    X(kUtilityLibrary, av_malloc)                                                                                  \
    X(kUtilityLibrary, av_frame_alloc)                                                                             \
    X(kUtilityLibrary, av_frame_free)                                                                              \
    X(kResamplerLibrary, swr_alloc)                                                                                \
    X(kResamplerLibrary, swr_init)                                                                                 \
    X(kResamplerLibrary, swr_free)                                                                                 \
    X(kUtilityLibrary, av_opt_set_channel_layout)                                                                  \
    X(kUtilityLibrary, av_opt_set_int)                                                                             \
    X(kUtilityLibrary, av_opt_set_sample_fmt)                                                                      \
    X(kUtilityLibrary, av_samples_get_buffer_size)                                                                 \
    X(kUtilityLibrary, av_dict_set)                                                                                \
    X(kUtilityLibrary, av_dict_get)                                                                                \
    X(kUtilityLibrary, av_dict_free)                                                                               \
    X(kDecoderLibrary, av_packet_add_side_data)                                                                    \
    X(kDecoderLibrary, av_packet_pack_dictionary)                                                                  \
    X(kDecoderLibrary, av_packet_free_side_data)                                                                   \
    X(kUtilityLibrary, av_strerror)                                                                                \
    X(kUtilityLibrary, av_image_fill_arrays)                                                                       \
    X(kScalerLibrary, sws_getContext)                                                                              \
    X(kScalerLibrary, sws_scale)                                                                                   \
    X(kScalerLibrary, sws_freeContext)

// One pointer per entry point, named and typed as the library's function.
struct CodecEntryPoints {
#define TALVIK_CODEC_POINTER(library, name) decltype(&::name) name = nullptr;
    TALVIK_CODEC_ENTRY_POINTS(TALVIK_CODEC_POINTER)
#undef TALVIK_CODEC_POINTER
};

#pragma GCC diagnostic pop

// The libavcodec major version the binding requires.
inline constexpr int kCodecMajorVersion = LIBAVCODEC_VERSION_MAJOR;

// Binds everything; true when bound (also when it was bound already). The
// install directory comes from `config`.
bool LoadCodecLibraries(ConfigStore& config);
// Releases the libraries; the table is no longer bound.
void UnloadCodecLibraries();
bool CodecLibrariesBound();

// The table. Call through it only while CodecLibrariesBound().
const CodecEntryPoints& Codec();

} // namespace talvik
