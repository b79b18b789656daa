#include "media/video_driver.h"

#include "base/console_status.h"

#include "media/frame_layout.h"
#include "media/pixel_format.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

namespace talvik {

namespace {

std::uint32_t RoundUpToEven(std::uint32_t value)
{
    return value + (value & 1);
}

void LogWriteFailure(std::uint32_t error)
{
    if (error == kDeviceNotRunning)
        spdlog::error("CommitOutputBuffer DeviceIoControl() IOCTL_WRITE_BUFFERED FAILED; DEVICE_NOT_RUNNING");
    else
        spdlog::error("CommitOutputBuffer DeviceIoControl() IOCTL_WRITE_BUFFERED FAILED; GetLastError = {0}", error);
}

void LogCommitFailure(std::uint32_t error)
{
    if (error == kDeviceNotRunning)
        spdlog::error("CommitOutputBuffer CommitFrameBuffer FAILED; DEVICE_NOT_RUNNING");
    else
        spdlog::error("DeviceIoControl() IOCTL_COMMIT_FRAME_BUFFER FAILED; GetLastError = {0}", error);
}

} // namespace

VideoDriver::VideoDriver(std::unique_ptr<DeviceChannel> channel) : device_(std::move(channel)) {}

VideoDriver::~VideoDriver()
{
    Close();
}

bool VideoDriver::FindDevicePath()
{
    return device_->FindDevicePath();
}

void VideoDriver::Open()
{
    if (!FindDevicePath())
        spdlog::error("VideoDriver device path not found");
    const std::uint32_t error = device_->Open();
    if (error != 0) {
        spdlog::error("VideoDriver CreateFile failed: {0}", error);
        ConsoleFact("camera", fmt::format("camera: none could be opened (error {0})", error));
        state_ = 1;
    } else {
        spdlog::info("VideoDriver loaded");
        ConsoleFact("camera", "camera: " + device_->Describe());
        state_ = 0;
    }
    frameBuffer_.reset();
    frameBufferBytes_ = 0;
    frameBufferCapacity_ = 0;
    referenceCount_ = 0;
    SetDepthMode(false);
}

void VideoDriver::Close()
{
    if (lent_ != nullptr)
        device_->ReturnLentBuffer();
    lent_ = nullptr;
    device_->Close();
    frameBuffer_.reset();
    frameBufferBytes_ = 0;
    frameBufferCapacity_ = 0;
}

std::uint8_t* VideoDriver::GetOutputBuffer(std::uint32_t& width, std::uint32_t& height, DriverPixelFormat& format)
{
    if (!depthMode())
        return DriverBuffer(width, height, format);
    std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kDepthBufferBytes]);
    if (!block)
        return nullptr;
    width = kDepthWidth;
    height = kDepthHeight;
    format = kPixelArgb32;
    depthBlocks_.push_back(std::move(block));
    return depthBlocks_.back().get();
}

std::uint8_t* VideoDriver::DriverBuffer(std::uint32_t& width, std::uint32_t& height, DriverPixelFormat& format)
{
    record_ = FrameBufferRecord{};
    if (state_ != 0)
        return nullptr;
    if (const std::uint32_t error = device_->GetFrameBuffer(record_); error != 0) {
        spdlog::trace("DeviceIoControl IOCTL_GET_FRAME_BUFFER failed: {0}", error);
        return nullptr;
    }
    const std::uint32_t w = record_.biWidth();
    const std::uint32_t h = record_.biHeight();
    if (w == 0 || h == 0)
        return nullptr;

    // Sizes in 64 bits: a description whose product wraps in 32 bits would
    // otherwise agree with a tiny ulBufferSize and get a tiny buffer for a
    // huge picture.
    const DriverPixelFormat index = PixelFormatOf(record_);
    const std::uint64_t picture =
        record_.biSizeImage() != 0 ? record_.biSizeImage() : std::uint64_t{record_.biBitCount() / 8u} * h * w;
    const std::uint64_t frame = std::uint64_t{BitsPerPixel(index)} * w * h / 8;
    if (picture != record_.ulBufferSize() || frame > std::numeric_limits<std::uint32_t>::max()) {
        spdlog::error("Warning: kernel buffer size mismatches picture size calculated by demensions! "
                      "frame.ulBufferSize = {0} , calculated size ulPicSz = {1}",
                      record_.ulBufferSize(), picture != record_.ulBufferSize() ? picture : frame);
        state_ = 1;
        return nullptr;
    }
    pictureSize_ = static_cast<std::uint32_t>(picture);

    // Room for even dimensions, since the scaler writes whole chroma pairs
    // (an odd NV12 or YUY2 size would otherwise overrun by part of a row),
    // and for the scaler's slack.
    const std::uint64_t capacity = std::uint64_t{BitsPerPixel(index)} * RoundUpToEven(w) * RoundUpToEven(h) / 8;
    // One lent at a time: a buffer still out (overlapping use, which the
    // reference count reports) keeps the next picture to the frame buffer.
    std::uint8_t* buffer = nullptr;
    if (lent_ == nullptr)
        buffer = lent_ = device_->LendFrameBuffer(capacity + kScalerSlackBytes);
    if (buffer == nullptr && (buffer = FrameBuffer(static_cast<std::uint32_t>(frame), capacity)) == nullptr)
        return nullptr;

    if (referenceCount_ != 0)
        spdlog::error("Videodriver GetOutputBuffer reference count");
    ++referenceCount_;
    width = w;
    height = h;
    format = index == kPixelArgb32 && device_->TopDownRows() ? kPixelBgrx : index;
    return buffer;
}

std::uint8_t* VideoDriver::FrameBuffer(std::uint32_t bufferBytes, std::uint64_t capacity)
{
    if (bufferBytes == frameBufferBytes_ && frameBuffer_)
        return frameBuffer_.get();
    frameBuffer_.reset();
    frameBufferBytes_ = 0;
    frameBufferCapacity_ = 0;
    frameBuffer_.reset(new (std::nothrow) std::uint8_t[capacity + kScalerSlackBytes]);
    if (!frameBuffer_) {
        spdlog::error("VideoDriver could not allocate a frame buffer of {0} bytes", capacity);
        return nullptr;
    }
    frameBufferBytes_ = bufferBytes;
    frameBufferCapacity_ = capacity;
    return frameBuffer_.get();
}

std::vector<std::unique_ptr<std::uint8_t[]>>::iterator VideoDriver::DepthBlock(const std::uint8_t* buffer)
{
    return std::find_if(depthBlocks_.begin(), depthBlocks_.end(),
                        [buffer](const auto& candidate) { return candidate.get() == buffer; });
}

void VideoDriver::CommitOutputBuffer(std::uint8_t* buffer, std::uint32_t byteCount)
{
    auto block = DepthBlock(buffer);
    if (block != depthBlocks_.end())
        CommitDepth(block);
    else if (buffer && buffer == lent_)
        CommitLent(byteCount);
    else if (buffer && buffer == frameBuffer_.get())
        CommitToDevice(buffer, byteCount);
}

void VideoDriver::ReturnOutputBuffer(std::uint8_t* buffer)
{
    auto block = DepthBlock(buffer);
    if (block != depthBlocks_.end()) {
        depthBlocks_.erase(block);
    } else if (buffer && buffer == lent_) {
        device_->ReturnLentBuffer();
        lent_ = nullptr;
        --referenceCount_;
    } else if (buffer && buffer == frameBuffer_.get() && referenceCount_ > 0) {
        --referenceCount_;
    }
}

void VideoDriver::CommitDepth(std::vector<std::unique_ptr<std::uint8_t[]>>::iterator block)
{
    if (!depthObjects_)
        depthObjects_ = std::make_unique<DepthObjects>();
    depthBlocks_.erase(block);
}

void VideoDriver::CommitLent(std::uint32_t byteCount)
{
    lent_ = nullptr;
    if (byteCount != pictureSize_) {
        spdlog::error("CommitOutputBuffer wrong buffer size {0}, expected {1}", byteCount, pictureSize_);
        device_->ReturnLentBuffer();
    } else if (const std::uint32_t error = device_->CommitLentBuffer(pictureSize_, record_); error != 0) {
        LogCommitFailure(error);
    }
    if (referenceCount_ != 1)
        spdlog::error("Videodriver GetOutputBuffer reference count");
    --referenceCount_;
}

void VideoDriver::CommitToDevice(std::uint8_t* buffer, std::uint32_t byteCount)
{
    // The second test keeps the write inside the block even when the device
    // declared a picture larger than its own dimensions.
    if (byteCount != pictureSize_ || pictureSize_ > frameBufferCapacity_) {
        spdlog::error("CommitOutputBuffer wrong buffer size {0}, expected {1}", byteCount, pictureSize_);
        return;
    }
    if (const std::uint32_t error = device_->WriteBuffered(buffer, pictureSize_); error != 0) {
        LogWriteFailure(error);
        --referenceCount_;
        return;
    }
    if (const std::uint32_t error = device_->CommitFrameBuffer(record_); error != 0)
        LogCommitFailure(error);
    if (referenceCount_ != 1)
        spdlog::error("Videodriver GetOutputBuffer reference count");
    --referenceCount_;
}

} // namespace talvik
