#include "media/file_camera.h"

#include "media/camera_file.h"
#include "media/pixel_format.h"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

namespace talvik {

namespace {

// System error codes for the file camera's own failures.
#ifdef _WIN32
constexpr std::uint32_t kNotACamera = 11;       // ERROR_BAD_FORMAT
constexpr std::uint32_t kBusy = 170;            // ERROR_BUSY
constexpr std::uint32_t kTooSmall = 122;        // ERROR_INSUFFICIENT_BUFFER
constexpr std::uint32_t kNotOpen = 6;           // ERROR_INVALID_HANDLE
constexpr std::uint32_t kNotFound = 3;          // ERROR_PATH_NOT_FOUND
#else
constexpr std::uint32_t kNotACamera = ENOEXEC;
constexpr std::uint32_t kBusy = EBUSY;
constexpr std::uint32_t kTooSmall = ENOSPC;
constexpr std::uint32_t kNotOpen = EBADF;
constexpr std::uint32_t kNotFound = ENOENT;
#endif

std::uint64_t MonotonicMicroseconds()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

} // namespace

FileCamera::FileCamera(std::string path) : path_(std::move(path)) {}

FileCamera::~FileCamera() = default;

bool FileCamera::FindDevicePath()
{
    return !path_.empty();
}

std::uint32_t FileCamera::Open()
{
    if (path_.empty())
        return kNotFound;
    const std::uint64_t initialBytes =
        camera_file::kFrameOffset +
        FrameBytes(kPixelNv12, camera_file::kDefaultWidth, camera_file::kDefaultHeight);
    if (const std::uint32_t error = MappedFile::CreateIfMissing(path_, camera_file::NewHeader(), initialBytes))
        return error;
    std::uint32_t error = 0;
    file_ = MappedFile::Open(path_, error);
    if (!file_)
        return error;
    if (!camera_file::HasHeader(file_->data(), file_->size())) {
        spdlog::error("Camera file {0} has no camera header", path_);
        file_.reset();
        return kNotACamera;
    }
    signal_ = std::make_unique<CommitSignal>();
    spdlog::info("Camera file {0}", path_);
    return 0;
}

void FileCamera::Close()
{
    file_.reset();
    signal_.reset();
}

std::uint32_t FileCamera::Refresh()
{
    if (!file_)
        return kNotOpen;
    // A consumer that deleted the file would leave the service writing where
    // no consumer can look again: a new file with the default request takes
    // its place.
    std::error_code unknown;
    if (!std::filesystem::exists(path_, unknown) && !unknown) {
        spdlog::error("Camera file {0} was deleted: made anew", path_);
        Close();
        if (const std::uint32_t failed = Open())
            return failed;
    }
    if (const std::uint32_t error = file_->Refresh())
        return error;
    return camera_file::HasHeader(file_->data(), file_->size()) ? 0 : kNotACamera;
}

std::uint64_t FileCamera::FrameArea() const
{
    return file_->size() - camera_file::kFrameOffset;
}

std::uint32_t FileCamera::GetFrameBuffer(FrameBufferRecord& record)
{
    if (const std::uint32_t error = Refresh())
        return error;
    if (!camera_file::ReadRequest(file_->data(), record))
        return kBusy;
    if (record.ulBufferSize() > FrameArea()) {
        if (refusedRequest_ != record.ulBufferSize())
            spdlog::error("Camera file {0} asks for pictures of {1} bytes but holds {2}", path_,
                          record.ulBufferSize(), FrameArea());
        refusedRequest_ = record.ulBufferSize();
        return kTooSmall;
    }
    refusedRequest_ = 0;
    return 0;
}

std::uint32_t FileCamera::WriteBuffered(const std::uint8_t* picture, std::uint32_t bytes)
{
    if (const std::uint32_t error = Refresh())
        return error;
    if (bytes > FrameArea())
        return kTooSmall;
    std::uint8_t* base = file_->data();
    auto sequence = camera_file::Word(base, camera_file::kCommitSequenceOffset);
    const std::uint32_t current = sequence.load(std::memory_order_relaxed);
    if (current % 2 == 0) {
        sequence.store(current + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }
    // Through the file, not the mapping: a consumer that cuts the file
    // shorter while the picture is copied would otherwise fault the service
    // (SIGBUS); the write grows it back instead.
    if (const std::uint32_t error = file_->WriteAt(camera_file::kFrameOffset, picture, bytes))
        return error;
    pictureBytes_ = bytes;
    return 0;
}

std::uint32_t FileCamera::CommitFrameBuffer(FrameBufferRecord& record)
{
    if (const std::uint32_t error = Refresh())
        return error;
    std::uint8_t* base = file_->data();
    auto sequence = camera_file::Word(base, camera_file::kCommitSequenceOffset);
    const std::uint32_t current = sequence.load(std::memory_order_relaxed);
    if (current % 2 == 0)
        return kDeviceNotRunning; // nothing written since the last commit
    camera_file::StoreRecord(base, camera_file::kCommittedRecordOffset, record);
    const std::uint64_t now = MonotonicMicroseconds();
    camera_file::Word(base, camera_file::kCommitTimeOffset).store(static_cast<std::uint32_t>(now),
                                                                  std::memory_order_relaxed);
    camera_file::Word(base, camera_file::kCommitTimeOffset + 4)
        .store(static_cast<std::uint32_t>(now >> 32), std::memory_order_relaxed);
    camera_file::Word(base, camera_file::kCommittedBytesOffset).store(pictureBytes_, std::memory_order_relaxed);
    sequence.store(current + 1, std::memory_order_release);
    signal_->Wake(reinterpret_cast<std::uint32_t*>(base + camera_file::kCommitSequenceOffset));
    return 0;
}

std::string FileCamera::Describe() const
{
    return "the camera file " + path_ + " (look at it with: camview --file " + path_ + " --snapshot picture.png)";
}

} // namespace talvik
