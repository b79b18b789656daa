#include "tools/camview/camera_reader.h"

#include "media/camera_file.h"

#include <cstring>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace talvik::camview {

namespace {

// Readers poll at least this often: a writer in another system (the
// Windows service under Wine) cannot wake a futex.
constexpr std::chrono::milliseconds kPollInterval(10);

void WaitForChange(std::uint32_t* word, std::uint32_t seen, std::chrono::milliseconds timeout)
{
    timespec wait{0, static_cast<long>(std::chrono::nanoseconds(timeout).count())};
    // Shared futex: the waker is another process. Any answer (woken, timed
    // out, value already changed, interrupted) means: look again.
    (void)syscall(SYS_futex, word, FUTEX_WAIT, seen, &wait, nullptr, 0);
}

} // namespace

std::uint64_t MonotonicUs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000 + static_cast<std::uint64_t>(now.tv_nsec) / 1000;
}

CameraReader::CameraReader(std::string path, std::unique_ptr<MappedFile> file)
    : path_(std::move(path)), file_(std::move(file))
{
}

std::unique_ptr<CameraReader> CameraReader::Open(const std::string& path, std::string& error)
{
    std::uint32_t code = 0;
    std::unique_ptr<MappedFile> file = MappedFile::Open(path, code);
    if (!file) {
        error = path + ": " + std::strerror(static_cast<int>(code));
        return nullptr;
    }
    if (!camera_file::HasHeader(file->data(), file->size())) {
        error = path + ": not a camera file";
        return nullptr;
    }
    return std::unique_ptr<CameraReader>(new CameraReader(path, std::move(file)));
}

FrameBufferRecord CameraReader::Request()
{
    FrameBufferRecord request;
    camera_file::ReadRequest(file_->data(), request);
    return request;
}

bool CameraReader::SetRequest(const FrameBufferRecord& request, std::string& error)
{
    const std::uint64_t needed = camera_file::kFrameOffset + std::uint64_t{request.ulBufferSize()};
    if (file_->size() < needed && truncate(path_.c_str(), static_cast<off_t>(needed)) != 0) {
        error = path_ + ": cannot grow: " + std::strerror(errno);
        return false;
    }
    if (const std::uint32_t code = file_->Refresh()) {
        error = path_ + ": " + std::strerror(static_cast<int>(code));
        return false;
    }
    camera_file::WriteRequest(file_->data(), request);
    return true;
}

std::uint32_t CameraReader::Sequence()
{
    return camera_file::Word(file_->data(), camera_file::kCommitSequenceOffset).load(std::memory_order_acquire);
}

bool CameraReader::NextPicture(std::uint32_t sequence, Picture& picture, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (file_->Refresh() != 0 || !camera_file::HasHeader(file_->data(), file_->size()))
            return false;
        const std::uint32_t now = Sequence();
        if (now % 2 == 0 && now != sequence && CopyCommitted(now, picture))
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        WaitForChange(reinterpret_cast<std::uint32_t*>(file_->data() + camera_file::kCommitSequenceOffset), now,
                      std::min(left, kPollInterval));
    }
}

bool CameraReader::CopyCommitted(std::uint32_t sequence, Picture& picture)
{
    std::uint8_t* base = file_->data();
    const std::uint32_t bytes =
        camera_file::Word(base, camera_file::kCommittedBytesOffset).load(std::memory_order_relaxed);
    if (bytes > file_->size() - camera_file::kFrameOffset)
        return false;
    picture.sequence = sequence;
    picture.record = camera_file::LoadRecord(base, camera_file::kCommittedRecordOffset);
    picture.commitTimeUs =
        camera_file::Word(base, camera_file::kCommitTimeOffset).load(std::memory_order_relaxed) |
        std::uint64_t{camera_file::Word(base, camera_file::kCommitTimeOffset + 4).load(std::memory_order_relaxed)}
            << 32;
    picture.bytes.assign(base + camera_file::kFrameOffset, base + camera_file::kFrameOffset + bytes);
    std::atomic_thread_fence(std::memory_order_acquire);
    return camera_file::Word(base, camera_file::kCommitSequenceOffset).load(std::memory_order_relaxed) == sequence;
}

} // namespace talvik::camview
