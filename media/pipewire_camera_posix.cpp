#include "media/pipewire_camera_posix.h"

#include "media/frame_buffer_record.h"
#include "media/pixel_format.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace talvik {
namespace {

constexpr const char* kNodeName = "talvik-camera";

std::int32_t PixelFormatOfVideo(std::uint32_t video)
{
    switch (video) {
    case SPA_VIDEO_FORMAT_NV12: return kPixelNv12;
    case SPA_VIDEO_FORMAT_YUY2: return kPixelYuy2;
    case SPA_VIDEO_FORMAT_BGRx: return kPixelArgb32;
    default: return kPixelUnsupported;
    }
}

std::uint64_t MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

} // namespace

struct PipeWireCamera::State {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool streaming = false; // on the loop thread, or under its lock

    // The negotiated format, and the picture waiting for the next cycle;
    // written by the camera client's thread and read on the loop thread.
    std::mutex mutex;
    FrameBufferRecord record = DescribeFormat(1280, 720, kPixelNv12);
    std::vector<std::uint8_t> picture;
    bool pictureReady = false;
    std::uint64_t sequence = 0;

    void OnFormat(const spa_pod* param);
    void OnProcess();
};

namespace {

void OnStateChanged(void* data, pw_stream_state, pw_stream_state state, const char* error)
{
    auto* self = static_cast<PipeWireCamera::State*>(data);
    self->streaming = state == PW_STREAM_STATE_STREAMING;
    if (state == PW_STREAM_STATE_ERROR)
        spdlog::error("PipeWire camera: stream error: {0}", error ? error : "unknown");
}

void OnParamChanged(void* data, std::uint32_t id, const spa_pod* param)
{
    if (id == SPA_PARAM_Format && param != nullptr)
        static_cast<PipeWireCamera::State*>(data)->OnFormat(param);
}

void OnProcess(void* data)
{
    static_cast<PipeWireCamera::State*>(data)->OnProcess();
}

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = OnStateChanged;
    events.param_changed = OnParamChanged;
    events.process = OnProcess;
    return events;
}();

} // namespace

void PipeWireCamera::State::OnFormat(const spa_pod* param)
{
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0)
        return;
    const std::int32_t format = PixelFormatOfVideo(info.format);
    if (format == kPixelUnsupported) {
        spdlog::error("PipeWire camera: a consumer negotiated an unknown format {0}", info.format);
        return;
    }
    const FrameBufferRecord negotiated = DescribeFormat(info.size.width, info.size.height, format);
    {
        std::lock_guard<std::mutex> lock(mutex);
        record = negotiated;
        pictureReady = false;
    }
    spdlog::info("PipeWire camera: a consumer takes {0} x {1} {2}", info.size.width, info.size.height,
                 PixelFormatName(format));

    // Buffers of one whole picture each (NV12's chroma plane follows its
    // luma plane), shared as memfd, with a header for sequence and time.
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const auto stride = static_cast<std::int32_t>(format == kPixelNv12 ? info.size.width
                                                  : format == kPixelYuy2 ? 2 * info.size.width
                                                                         : 4 * info.size.width);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(static_cast<std::int32_t>(negotiated.ulBufferSize())), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    if (pw_stream_update_params(stream, params, 2) < 0)
        spdlog::error("PipeWire camera: the buffer parameters were refused");
}

void PipeWireCamera::State::OnProcess()
{
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (buffer == nullptr)
        return; // the consumer holds every buffer: this picture is dropped
    spa_data& data = buffer->buffer->datas[0];
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::uint32_t bytes = record.ulBufferSize();
        if (!pictureReady || data.data == nullptr || picture.size() != bytes || data.maxsize < bytes) {
            data.chunk->size = 0;
        } else {
            std::memcpy(data.data, picture.data(), bytes);
            data.chunk->offset = 0;
            data.chunk->size = bytes;
            data.chunk->stride = static_cast<std::int32_t>(bytes / record.biHeight());
            if (auto* header = static_cast<spa_meta_header*>(
                    spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
                header->flags = 0;
                header->offset = 0;
                header->pts = static_cast<std::int64_t>(MonotonicNs());
                header->dts_offset = 0;
                header->seq = sequence++;
            }
        }
        pictureReady = false;
    }
    pw_stream_queue_buffer(stream, buffer);
}

PipeWireCamera::PipeWireCamera() : state_(std::make_unique<State>())
{
    pw_init(nullptr, nullptr);
}

PipeWireCamera::~PipeWireCamera()
{
    Close();
    pw_deinit();
}

bool PipeWireCamera::FindDevicePath()
{
    State& s = *state_;
    if (s.core != nullptr)
        return true;
    if (s.loop == nullptr) {
        s.loop = pw_thread_loop_new("talvik-camera", nullptr);
        if (s.loop == nullptr) {
            spdlog::error("PipeWire camera: no loop: {0}", errno);
            return false;
        }
        s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
        if (s.context == nullptr || pw_thread_loop_start(s.loop) != 0) {
            spdlog::error("PipeWire camera: no context: {0}", errno);
            Close();
            return false;
        }
    }
    pw_thread_loop_lock(s.loop);
    s.core = pw_context_connect(s.context, nullptr, 0);
    const int error = errno;
    pw_thread_loop_unlock(s.loop);
    if (s.core == nullptr) {
        spdlog::info("PipeWire camera: no PipeWire daemon answers: {0}", std::strerror(error));
        return false;
    }
    return true;
}

std::uint32_t PipeWireCamera::Open()
{
    State& s = *state_;
    if (s.core == nullptr)
        return ENOTCONN;
    if (s.stream != nullptr)
        return 0;
    pw_thread_loop_lock(s.loop);
    s.stream = pw_stream_new(s.core, kNodeName,
                             pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                                               PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, kNodeName,
                                               PW_KEY_NODE_DESCRIPTION, "Vidrelo Camera", nullptr));
    int result = -ENOMEM;
    if (s.stream != nullptr) {
        pw_stream_add_listener(s.stream, &s.listener, &kStreamEvents, &s);
        // 1280 x 720 NV12 first: what the camera offers before anyone asks.
        static const spa_rectangle k1280x720{1280, 720}, k640x480{640, 480}, k960x540{960, 540},
            k1920x1080{1920, 1080};
        static const spa_fraction k30{30, 1};
        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
        const spa_pod* formats = static_cast<const spa_pod*>(spa_pod_builder_add_object(
            &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
            SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
            SPA_FORMAT_VIDEO_format,
            SPA_POD_CHOICE_ENUM_Id(4, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_YUY2,
                                   SPA_VIDEO_FORMAT_BGRx),
            SPA_FORMAT_VIDEO_size,
            SPA_POD_CHOICE_ENUM_Rectangle(5, &k1280x720, &k640x480, &k960x540, &k1280x720, &k1920x1080),
            SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&k30)));
        result = pw_stream_connect(s.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                   static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                                   &formats, 1);
    }
    pw_thread_loop_unlock(s.loop);
    if (result < 0) {
        spdlog::error("PipeWire camera: the node could not be published: {0}", std::strerror(-result));
        return static_cast<std::uint32_t>(-result);
    }
    spdlog::info("PipeWire camera: published as \"Vidrelo Camera\" ({0})", kNodeName);
    return 0;
}

std::uint32_t PipeWireCamera::GetFrameBuffer(FrameBufferRecord& record)
{
    std::lock_guard<std::mutex> lock(state_->mutex);
    record = state_->record;
    return 0;
}

std::uint32_t PipeWireCamera::WriteBuffered(const std::uint8_t* picture, std::uint32_t bytes)
{
    State& s = *state_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (bytes != s.record.ulBufferSize())
        return EINVAL; // made for a format that has changed since
    s.picture.resize(bytes);
    if (PixelFormatOf(s.record) == kPixelArgb32) {
        // Bottom-up rows to PipeWire's top-down ones.
        const std::size_t row = std::size_t{4} * s.record.biWidth();
        const std::size_t rows = bytes / row;
        for (std::size_t r = 0; r < rows; ++r)
            std::memcpy(s.picture.data() + r * row, picture + (rows - 1 - r) * row, row);
    } else {
        std::memcpy(s.picture.data(), picture, bytes);
    }
    s.pictureReady = true;
    return 0;
}

std::uint32_t PipeWireCamera::CommitFrameBuffer(FrameBufferRecord&)
{
    State& s = *state_;
    if (s.stream == nullptr)
        return kDeviceNotRunning;
    pw_thread_loop_lock(s.loop);
    const bool streaming = s.streaming;
    if (streaming)
        pw_stream_trigger_process(s.stream);
    pw_thread_loop_unlock(s.loop);
    return 0;
}

void PipeWireCamera::Close()
{
    State& s = *state_;
    if (s.loop == nullptr)
        return;
    pw_thread_loop_lock(s.loop);
    if (s.stream != nullptr) {
        spa_hook_remove(&s.listener);
        pw_stream_destroy(s.stream);
        s.stream = nullptr;
    }
    if (s.core != nullptr) {
        pw_core_disconnect(s.core);
        s.core = nullptr;
    }
    pw_thread_loop_unlock(s.loop);
    pw_thread_loop_stop(s.loop); // joins the loop's thread
    if (s.context != nullptr) {
        pw_context_destroy(s.context);
        s.context = nullptr;
    }
    pw_thread_loop_destroy(s.loop);
    s.loop = nullptr;
}

std::string PipeWireCamera::Describe() const
{
    return "the PipeWire video source \"Vidrelo Camera\" (node talvik-camera), for every PipeWire camera consumer; "
           "try: gst-launch-1.0 pipewiresrc target-object=talvik-camera ! videoconvert ! autovideosink";
}

} // namespace talvik
