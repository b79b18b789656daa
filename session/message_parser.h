// Receiving side of the wire protocol (layout in session/messages.h): turns
// the phone's byte stream into ConnectionManagerObserver calls.
//
// The stream arrives in pieces cut anyhow (a TCP read, the body of a USB
// packet): a piece may hold part of a message, exactly one, or several, and
// the calls are the same however it is cut. No I/O and no threads: the
// connection manager owns the parser, feeds it on its loop thread, and lends
// it its state through MessageParser::Connection.
//
// Each message is gathered whole in the receive buffer, header at offset 0,
// and its payload is handed to the observer in place: pointers are valid
// only during the call. The buffer starts at 2,560,000 bytes, grows to
// exactly what a larger message needs and never shrinks, so steady streaming
// allocates nothing.
//
// Accepted from the phone:
//   MESSAGE_VIDEODATA             0 u32 flags: bit 0 upside down, bit 4
//                                   mirrored, bit 5 raw NV12 picture
//                                 4 8 bytes not looked at
//                                12 video data                  -> OnVideoData / OnRawVideoFrame
//   MESSAGE_AUDIODATA             0 8 bytes not looked at
//                                 8 u32 sample bytes
//                                12 samples                     -> OnAudioData
//   MESSAGE_KEEPALIVE             336 bytes: the announcement (session/announcement.h)
//                                   -> OnConnectionReceived / OnBarcodeClientConnected;
//                                 any other size: liveness only
//   MESSAGE_HELPERTEXT            0 u32 text length
//                                 4 text                        -> OnStartHelperProgram
//   MESSAGE_VIDEODATA_WITH_DEPTH  0 u32 flags (as above, bit 5 not looked at)
//                                 4 4 bytes not looked at
//                                 8 u16 depth width, 10 u16 depth height
//                                12 u32 video bytes, 16 u32 depth bytes
//                                20 video data, then depth data -> OnVideoDataWithDepth
// Anything else, or a payloadSize above 16 MiB, is invalid data. A message
// whose length fields reach past its payload is dropped with an error line;
// the stream goes on.
#pragma once

#include "session/client_format.h"
#include "session/connection_manager_observer.h"
#include "session/connection_state.h"
#include "session/messages.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace talvik {

class MessageParser {
public:
    // What the parser needs of the connection manager that owns it.
    class Connection {
    public:
        virtual ConnectionState State() const = 0;
        virtual void SetState(ConnectionState state) = 0;
        // Takes the manager's clock as the time of the last receive.
        virtual void MarkReceived() = 0;

    protected:
        ~Connection() = default;
    };

    static constexpr uint32_t kInitialCapacity = 2560000;
    // Far above any access unit the phone sends; a larger size can only come
    // from a broken or hostile stream.
    static constexpr uint32_t kMaxPayloadSize = 16 * 1024 * 1024;
    static constexpr std::size_t kAnnouncementMessageSize = kMessageHeaderSize + kAnnouncementPayloadSize;

    MessageParser(Connection& connection, ConnectionManagerObserver& observer);
    MessageParser(const MessageParser&) = delete;
    MessageParser& operator=(const MessageParser&) = delete;

    // Consumes one piece of the stream; the bytes are copied. False when the
    // connection is IDLE, or at invalid data: the parser then stays at the
    // failing header (and fails on it again) until Reset(). True otherwise,
    // also when an observer call ended the session (the rest of the piece is
    // dropped then).
    //
    // The first announcement of a session is reported only while the
    // connection is CONNECTING, and moves it to CONNECTED after the observer
    // call, unless the call changed the state itself; a call that ended the
    // session is followed by ConnectionDisconnected.
    bool ParseMessages(const uint8_t* data, std::size_t length);

    // Starts a new session: empty buffer, awaiting a header, no announcement
    // seen. Keeps the buffer and its capacity.
    void Reset();

    // The announcement message (header included) handled in this session or
    // the last one; zeros before the first.
    const std::array<uint8_t, kAnnouncementMessageSize>& announcement() const { return announcement_; }
    uint32_t capacity() const { return capacity_; }

private:
    bool Grow(uint32_t size);
    bool AcceptHeader();
    void Dispatch();
    void DispatchVideo(const uint8_t* payload, uint32_t size);
    void DispatchAudio(const uint8_t* payload, uint32_t size);
    void DispatchHelperText(const uint8_t* payload, uint32_t size);
    void DispatchVideoWithDepth(const uint8_t* payload, uint32_t size);
    void DispatchKeepalive(const uint8_t* payload, uint32_t size);
    void AnnounceCamera(const Announcement& announcement);
    template <typename Report>
    void Announce(Report report);

    Connection& connection_;
    ConnectionManagerObserver& observer_;
    std::unique_ptr<uint8_t[]> buffer_;
    uint32_t capacity_ = kInitialCapacity;
    uint32_t fill_ = 0;                   // bytes of the current message in the buffer
    uint32_t want_ = kMessageHeaderSize;  // bytes still missing from the current header or payload
    bool haveHeader_ = false;             // receiving the payload
    bool announcementSeen_ = false;
    std::array<uint8_t, kAnnouncementMessageSize> announcement_{};
    std::array<ClientFormat, kMaxAnnouncedFormats> formats_{};
};

} // namespace talvik
