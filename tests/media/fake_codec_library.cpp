// Stand-in for the codec libraries in binding tests: one module, copied under
// each of the four library file names, that exports every entry point of the
// codec table. avcodec_version() reports major.11.100, where major is the
// headers' own plus FAKE_CODEC_MAJOR_OFFSET; with FAKE_CODEC_INCOMPLETE the
// module lacks sws_scale. Nothing but avcodec_version is ever called, so the
// others are empty.
#include <libavcodec/version.h>

#ifdef _WIN32
#define FAKE_EXPORT extern "C" __declspec(dllexport)
#else
#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#endif

FAKE_EXPORT unsigned avcodec_version()
{
    return ((LIBAVCODEC_VERSION_MAJOR + FAKE_CODEC_MAJOR_OFFSET) << 16) + (11 << 8) + 100;
}

#define FAKE_ENTRY(name)                                                                                           \
    FAKE_EXPORT void name() {}

FAKE_ENTRY(avcodec_find_decoder)
FAKE_ENTRY(avcodec_alloc_context3)
FAKE_ENTRY(avcodec_open2)
FAKE_ENTRY(avcodec_close)
FAKE_ENTRY(avcodec_send_packet)
FAKE_ENTRY(avcodec_receive_frame)
FAKE_ENTRY(av_init_packet)
FAKE_ENTRY(av_free)
FAKE_ENTRY(av_malloc)
FAKE_ENTRY(av_frame_alloc)
FAKE_ENTRY(av_frame_free)
FAKE_ENTRY(swr_alloc)
FAKE_ENTRY(swr_init)
FAKE_ENTRY(swr_free)
FAKE_ENTRY(av_opt_set_channel_layout)
FAKE_ENTRY(av_opt_set_int)
FAKE_ENTRY(av_opt_set_sample_fmt)
FAKE_ENTRY(av_samples_get_buffer_size)
FAKE_ENTRY(av_dict_set)
FAKE_ENTRY(av_dict_get)
FAKE_ENTRY(av_dict_free)
FAKE_ENTRY(av_packet_add_side_data)
FAKE_ENTRY(av_packet_pack_dictionary)
FAKE_ENTRY(av_packet_free_side_data)
FAKE_ENTRY(av_strerror)
FAKE_ENTRY(av_image_fill_arrays)
FAKE_ENTRY(sws_getContext)
#ifndef FAKE_CODEC_INCOMPLETE
FAKE_ENTRY(sws_scale)
#endif
FAKE_ENTRY(sws_freeContext)
