// PipeWireCamera: the camera published as a PipeWire video source, so that
// every program that takes cameras from PipeWire (browsers through the
// camera portal, OBS, GStreamer's pipewiresrc) sees "Vidrelo Camera".
//
// The node ("talvik-camera", media class "Video/Source", role "Camera",
// category "Capture") offers NV12, YUY2 and BGRx at 640 x 480, 960 x 540,
// 1280 x 720 and 1920 x 1080, 30 frames per second, each pair as a format of
// its own, so that V4L2 programs run under pw-v4l2 list and choose them too.
// What a consumer negotiates is handed to the camera client as the record a
// driver gives (width, height, bits per pixel, FOURCC, sizes): BGRx as
// ARGB32, whose rows this camera takes top-down (TopDownRows). Before
// any consumer came, the record is 1280 x 720 NV12; after one left, the last
// format stays. When the last consumer's link goes, the node is published
// anew, without a format or buffers: the next consumer negotiates its own.
//
// A picture is made straight in a buffer of the consumer's: the camera
// lends a dequeued buffer, holding the loop's lock until the picture is
// committed (queued, and one cycle of the graph driven) or given back (kept
// for the next loan). When the consumer holds every buffer, WRITE keeps a
// copy and COMMIT drives a cycle in which it goes into a buffer dequeued
// then, if one is free by then. Without a consumer nothing is queued: the
// pictures are dropped, one at a time.
// When the daemon goes away, the pictures are dropped until it is back and
// the node is published again by itself (media/pipewire_link_linux.h).
// PipeWire's loop runs on a thread of its own, started by FindDevicePath
// and joined by Close; each cycle's work runs on PipeWire's data thread
// itself, which halves the wake-ups of the loop's thread (PipeWire still
// wakes it once a cycle).
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
    std::uint8_t* LendFrameBuffer(std::uint64_t bytes) override;
    std::uint32_t CommitLentBuffer(std::uint32_t bytes, FrameBufferRecord& record) override;
    void ReturnLentBuffer() override;
    bool TopDownRows() const override;
    void Close() override;
    std::string Describe() const override;

    struct State; // PipeWire's objects and the picture handed between threads

private:
    std::unique_ptr<State> state_;
};

} // namespace talvik
