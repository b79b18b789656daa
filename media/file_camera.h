// The file camera: a camera file (media/camera_file.h) playing the camera
// device for the camera client. GetFrameBuffer reads the consumer's
// request, WriteBuffered copies a picture into the frame area, and
// CommitFrameBuffer publishes it with its record, byte count and time, and
// wakes the waiting readers.
//
// The file is a consumer's to change: every size it states is checked
// against the mapping, which follows the file's size at every request and
// write, so a corrupt or hostile file leads to failed requests (logged once
// per size), never to access outside the mapping. Pictures go into the
// frame area through the file, not the mapping, so that a consumer cutting
// the file shorter while one is copied cannot fault the service: the write
// grows the file back. The header is written through the mapping right
// after its size was checked. A file that a consumer deleted is made anew,
// with the default request:
//   error "Camera file {0} was deleted: made anew"
#pragma once

#include "media/commit_signal.h"
#include "media/device_channel.h"
#include "media/mapped_file.h"

#include <cstdint>
#include <memory>
#include <string>

namespace talvik {

class FileCamera : public DeviceChannel {
public:
    // An empty path means that no camera file was found.
    explicit FileCamera(std::string path);
    ~FileCamera() override;

    bool FindDevicePath() override;
    // Creates the file with the default request when it is missing, then
    // maps it; a file without a camera header is refused.
    std::uint32_t Open() override;
    std::uint32_t GetFrameBuffer(FrameBufferRecord& record) override;
    std::uint32_t WriteBuffered(const std::uint8_t* picture, std::uint32_t bytes) override;
    std::uint32_t CommitFrameBuffer(FrameBufferRecord& record) override;
    void Close() override;
    std::string Describe() const override;

private:
    // Follows the file's size; 0, or the error when it cannot be mapped or
    // no longer holds a header.
    std::uint32_t Refresh();
    std::uint64_t FrameArea() const;

    std::string path_;
    std::unique_ptr<MappedFile> file_;
    std::unique_ptr<CommitSignal> signal_;
    std::uint32_t pictureBytes_ = 0; // written, not yet committed
    std::uint64_t refusedRequest_ = 0; // last request size logged as too big
};

} // namespace talvik
