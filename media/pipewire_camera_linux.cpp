#include "media/pipewire_camera_linux.h"

#include "media/frame_buffer_record.h"
#include "media/frame_layout.h"
#include "media/pipewire_link_linux.h"
#include "media/pixel_format.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

namespace talvik {
namespace {

constexpr const char* kNodeName = "talvik-camera";
constexpr const char* kDescription =
    "the PipeWire video source \"Vidrelo Camera\" (node talvik-camera), for every PipeWire camera consumer; "
    "try: gst-launch-1.0 pipewiresrc target-object=talvik-camera ! videoconvert ! autovideosink, "
    "or a V4L2 program as pw-v4l2 PROGRAM";

DriverPixelFormat PixelFormatOfVideo(std::uint32_t video)
{
    switch (video) {
    case SPA_VIDEO_FORMAT_NV12: return kPixelNv12;
    case SPA_VIDEO_FORMAT_YUY2: return kPixelYuy2;
    case SPA_VIDEO_FORMAT_BGRx: return kPixelArgb32;
    default: return kPixelUnsupported;
    }
}

constexpr std::size_t kFormatsBytes = 4096;

// One fixed format per pixel format and size, as V4L2 programs (through
// pw-v4l2) read them; 1280 x 720 NV12 first: what the camera offers before
// anyone asks. Empty when `builder` is too small.
std::vector<const spa_pod*> OfferedFormats(spa_pod_builder& builder)
{
    static const spa_rectangle kSizes[] = {{1280, 720}, {640, 480}, {960, 540}, {1920, 1080}};
    static const spa_video_format kFormats[] = {SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_BGRx};
    static const spa_fraction k30{30, 1};
    std::vector<const spa_pod*> formats;
    for (const spa_video_format format : kFormats)
        for (const spa_rectangle& size : kSizes)
            formats.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                SPA_FORMAT_VIDEO_format, SPA_POD_Id(format), SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size),
                SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&k30))));
    if (std::find(formats.begin(), formats.end(), nullptr) != formats.end())
        formats.clear();
    return formats;
}

// The bytes from one row of a picture to the next; for NV12 those of its
// luma plane, as consumers take the chroma plane to follow it.
std::int32_t RowStride(const FrameBufferRecord& record)
{
    const std::uint32_t pixelBytes = PixelFormatOf(record) == kPixelNv12 ? 1 : record.biBitCount() / 8u;
    return static_cast<std::int32_t>(record.biWidth() * pixelBytes);
}

std::uint64_t MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

} // namespace

struct PipeWireCamera::State : PipeWireLink::Node {
    // The node's stream and registry, made again each time the daemon comes
    // back (on the loop thread, or under its lock).
    pw_stream* stream = nullptr;
    spa_hook listener{};
    bool streaming = false; // on the loop thread, or under its lock

    // The links from the node to its consumers, followed in the registry
    // (on the loop thread).
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    std::set<std::uint32_t> links;

    // The negotiated format, and the picture waiting for the next cycle;
    // written by the camera client's thread and read on the loop thread.
    std::mutex mutex;
    FrameBufferRecord record = DescribeFormat(1280, 720, kPixelNv12);
    std::vector<std::uint8_t> picture;
    bool pictureReady = false;
    std::uint64_t sequence = 0;

    // The consumer's buffer lent to the camera client, held with the loop's
    // lock until it is committed or given back (on the loop thread, or under
    // its lock); and one given back unused, kept for the next loan (under
    // `mutex`, as are dequeuing and queueing, which the data thread does too).
    pw_buffer* lent = nullptr;
    pw_buffer* spare = nullptr;

    void OnFormat(const spa_pod* param);
    void OnProcess();
    // Describes a picture of `bytes` bytes in `buffer` and queues it; under
    // `mutex`.
    void QueuePicture(pw_buffer* buffer, std::uint32_t bytes);
    void OnLink(std::uint32_t id, const spa_dict* props);
    void OnGlobalRemoved(std::uint32_t id);
    // Publishes the node with its formats: 0 or a negative errno.
    int Connect();
    int Publish(pw_core* core) override;
    void Unpublish() override;

    PipeWireLink link{{"PipeWire camera", kNodeName, "Vidrelo Camera", "camera", std::string("camera: ") + kDescription},
                      *this};
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

void OnRemoveBuffer(void* data, pw_buffer* buffer)
{
    auto* self = static_cast<PipeWireCamera::State*>(data);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (self->spare == buffer)
        self->spare = nullptr;
}

void OnGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t, const spa_dict* props)
{
    if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0)
        static_cast<PipeWireCamera::State*>(data)->OnLink(id, props);
}

void OnGlobalRemove(void* data, std::uint32_t id)
{
    static_cast<PipeWireCamera::State*>(data)->OnGlobalRemoved(id);
}

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = OnGlobal;
    events.global_remove = OnGlobalRemove;
    return events;
}();

const pw_stream_events kStreamEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = OnStateChanged;
    events.param_changed = OnParamChanged;
    events.process = OnProcess;
    events.remove_buffer = OnRemoveBuffer;
    return events;
}();

} // namespace

void PipeWireCamera::State::OnFormat(const spa_pod* param)
{
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0)
        return;
    const DriverPixelFormat format = PixelFormatOfVideo(info.format);
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
    // luma plane), shared as memfd, with a header for sequence and time;
    // lent to the scaler, so with room for what its wide stores write past
    // the end.
    std::uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const std::int32_t stride = RowStride(negotiated);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(static_cast<std::int32_t>(negotiated.ulBufferSize() + kScalerSlackBytes)), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType, SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
        SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    if (pw_stream_update_params(stream, params, 2) < 0)
        spdlog::error("PipeWire camera: the buffer parameters were refused");
}

// A picture written through WriteBuffered, for a consumer whose buffers
// were all taken when the picture was begun; on PipeWire's data thread.
void PipeWireCamera::State::OnProcess()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!pictureReady)
        return;
    pictureReady = false;
    pw_buffer* buffer = std::exchange(spare, nullptr);
    if (buffer == nullptr && (buffer = pw_stream_dequeue_buffer(stream)) == nullptr)
        return; // the consumer holds every buffer: this picture is dropped
    const spa_data& data = buffer->buffer->datas[0];
    const std::uint32_t bytes = record.ulBufferSize();
    if (data.data == nullptr || picture.size() != bytes || data.maxsize < bytes) {
        spare = buffer;
        return;
    }
    std::memcpy(data.data, picture.data(), bytes);
    QueuePicture(buffer, bytes);
}

void PipeWireCamera::State::QueuePicture(pw_buffer* buffer, std::uint32_t bytes)
{
    spa_data& data = buffer->buffer->datas[0];
    data.chunk->offset = 0;
    data.chunk->size = bytes;
    data.chunk->stride = RowStride(record);
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
        header->flags = 0;
        header->offset = 0;
        header->pts = static_cast<std::int64_t>(MonotonicNs());
        header->dts_offset = 0;
        header->seq = sequence++;
    }
    pw_stream_queue_buffer(stream, buffer);
}

void PipeWireCamera::State::OnLink(std::uint32_t id, const spa_dict* props)
{
    const char* output = props != nullptr ? spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE) : nullptr;
    if (stream != nullptr && output != nullptr && std::strtoul(output, nullptr, 10) == pw_stream_get_node_id(stream))
        links.insert(id);
}

// A consumer that leaves keeps the buffers it held, and PipeWire keeps an
// idle node's format and buffers for the next link until the session
// manager suspends the node, seconds later: a consumer coming in between
// gets the old format whatever it asks, and no picture, as every buffer is
// gone. Even suspended, the node goes on showing its old format, as this
// PipeWire's stream does not tell the daemon that it has none, and V4L2
// programs take that format as the only one. So when the last consumer has
// left, the node is published anew, without a format: each consumer
// negotiates its own, with buffers of its own.
void PipeWireCamera::State::OnGlobalRemoved(std::uint32_t id)
{
    if (links.erase(id) == 0 || !links.empty())
        return;
    spdlog::info("PipeWire camera: the last consumer left");
    pw_stream_disconnect(stream);
    if (const int result = Connect(); result < 0)
        spdlog::error("PipeWire camera: the node could not be published: {0}", std::strerror(-result));
}

int PipeWireCamera::State::Connect()
{
    std::uint8_t storage[kFormatsBytes];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    std::vector<const spa_pod*> formats = OfferedFormats(builder);
    if (formats.empty())
        return -ENOMEM;
    return pw_stream_connect(stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                             static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS |
                                                          PW_STREAM_FLAG_RT_PROCESS),
                             formats.data(), static_cast<std::uint32_t>(formats.size()));
}

int PipeWireCamera::State::Publish(pw_core* core)
{
    stream = pw_stream_new(core, kNodeName,
                           pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_MEDIA_ROLE, "Camera",
                                             PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, kNodeName,
                                             PW_KEY_NODE_DESCRIPTION, "Vidrelo Camera", nullptr));
    if (stream == nullptr)
        return -ENOMEM;
    pw_stream_add_listener(stream, &listener, &kStreamEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (registry == nullptr)
        return -ENOMEM;
    pw_registry_add_listener(registry, &registryListener, &kRegistryEvents, this);
    return Connect();
}

void PipeWireCamera::State::Unpublish()
{
    if (registry != nullptr) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    links.clear();
    {
        std::lock_guard<std::mutex> lock(mutex);
        spare = nullptr;
    }
    if (stream != nullptr) {
        spa_hook_remove(&listener);
        pw_stream_destroy(stream);
        stream = nullptr;
    }
    streaming = false;
}

PipeWireCamera::PipeWireCamera() : state_(std::make_unique<State>()) {}

PipeWireCamera::~PipeWireCamera()
{
    Close();
}

bool PipeWireCamera::FindDevicePath()
{
    return state_->link.Connect() == 0;
}

std::uint32_t PipeWireCamera::Open()
{
    return static_cast<std::uint32_t>(state_->link.Publish());
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
    s.picture.assign(picture, picture + bytes);
    s.pictureReady = true;
    return 0;
}

std::uint32_t PipeWireCamera::CommitFrameBuffer(FrameBufferRecord&)
{
    State& s = *state_;
    pw_thread_loop* loop = s.link.loop();
    if (loop == nullptr)
        return kDeviceNotRunning;
    // While the daemon is away there is no stream: the picture is dropped,
    // as it is without a consumer.
    pw_thread_loop_lock(loop);
    if (s.stream != nullptr && s.streaming)
        pw_stream_trigger_process(s.stream);
    pw_thread_loop_unlock(loop);
    return 0;
}

std::uint8_t* PipeWireCamera::LendFrameBuffer(std::uint64_t bytes)
{
    State& s = *state_;
    pw_thread_loop* loop = s.link.loop();
    if (loop == nullptr)
        return nullptr;
    // The lock is held until the picture is committed or given back, so
    // that the stream and its buffers stay as they are while it is made.
    pw_thread_loop_lock(loop);
    pw_buffer* buffer = nullptr;
    if (s.stream != nullptr && s.streaming) {
        std::lock_guard<std::mutex> lock(s.mutex);
        buffer = std::exchange(s.spare, nullptr);
        if (buffer == nullptr)
            buffer = pw_stream_dequeue_buffer(s.stream);
        if (buffer != nullptr &&
            (buffer->buffer->datas[0].data == nullptr || buffer->buffer->datas[0].maxsize < bytes)) {
            // One of the buffers not yet made again for a new format.
            s.spare = std::exchange(buffer, nullptr);
        }
    }
    if (buffer == nullptr) {
        pw_thread_loop_unlock(loop);
        return nullptr;
    }
    s.lent = buffer;
    return static_cast<std::uint8_t*>(buffer->buffer->datas[0].data);
}

std::uint32_t PipeWireCamera::CommitLentBuffer(std::uint32_t bytes, FrameBufferRecord& record)
{
    State& s = *state_;
    pw_buffer* buffer = std::exchange(s.lent, nullptr);
    if (buffer == nullptr)
        return EINVAL;
    std::uint32_t result = 0;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (record != s.record || bytes != s.record.ulBufferSize()) {
            s.spare = buffer; // made for a format that has changed since
            result = EINVAL;
        } else {
            s.QueuePicture(buffer, bytes);
        }
    }
    if (result == 0)
        pw_stream_trigger_process(s.stream);
    pw_thread_loop_unlock(s.link.loop());
    return result;
}

void PipeWireCamera::ReturnLentBuffer()
{
    State& s = *state_;
    if (s.lent == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.spare = std::exchange(s.lent, nullptr);
    }
    pw_thread_loop_unlock(s.link.loop());
}

bool PipeWireCamera::TopDownRows() const
{
    return true;
}

void PipeWireCamera::Close()
{
    state_->link.Close();
}

std::string PipeWireCamera::Describe() const
{
    return kDescription;
}

} // namespace talvik
