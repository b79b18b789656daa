// PipeWireCamera: the camera published as a PipeWire video source, so that
// every program that takes cameras from PipeWire (browsers through the
// camera portal, OBS, GStreamer's pipewiresrc) sees "Vidrelo Camera".
//
// The node ("talvik-camera", media class "Video/Source", role "Camera",
// category "Capture") offers NV12, YUY2 and BGRx at 640 x 480, 960 x 540,
// 1280 x 720 and 1920 x 1080, 30 frames per second. What a consumer
// negotiates is handed to the camera client as the record a driver gives
// (width, height, bits per pixel, FOURCC, sizes): BGRx as ARGB32, whose
// bottom-up rows are turned top-down on the way out. Before any consumer
// came, the record is 1280 x 720 NV12; after one left, the last format stays.
//
// WRITE keeps the picture; COMMIT has the stream drive one cycle of the
// graph, in which the picture goes into a dequeued buffer. Without a
// consumer nothing is queued: the pictures are dropped, one at a time.
// PipeWire's loop runs on a thread of its own, started by FindDevicePath
// and joined by Close.
#pragma once

#include "media/device_channel.h"

#include <cstdint>
#include <memory>

namespace talvik {

class PipeWireCamera : public DeviceChannel {
public:
    PipeWireCamera();
    ~PipeWireCamera() override;

    // Connects to the PipeWire daemon; false when none answers.
    bool FindDevicePath() override;
    // Publishes the node.
    std::uint32_t Open() override;
    std::uint32_t GetFrameBuffer(FrameBufferRecord& record) override;
    std::uint32_t WriteBuffered(const std::uint8_t* picture, std::uint32_t bytes) override;
    std::uint32_t CommitFrameBuffer(FrameBufferRecord& record) override;
    void Close() override;
    std::string Describe() const override;

    struct State; // PipeWire's objects and the picture handed between threads

private:
    std::unique_ptr<State> state_;
};

} // namespace talvik
