#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/media/VideoPacket.h"
#include "OrvaneKit/net/Transport.h"
#include "OrvaneKit/protocol/InputEvent.h"
#include "Orvane_Host/browser/WebSocketFrames.h"

namespace orvane {

// One browser viewer after its WebSocket upgrade: reads its frames (input in text frames,
// pings answered, a close frame or the end of its data ends it) and takes video under a gate of
// at most `maxInFlight` frames, after any refusal waiting for a keyframe.
//
// Reads run on the connection's strand; sendVideo is called from the encoder's thread.
class BrowserClient : public std::enable_shared_from_this<BrowserClient> {
public:
    static constexpr int maxInFlight = 4;
    // Pongs still queued beyond this are not added to: a peer that pings and never reads must
    // not grow the queue without end.
    static constexpr int maxPongsQueued = 16;

    BrowserClient(std::shared_ptr<Transport> connection, Logger log);

    // Set by the server before start(); both run on the connection's strand.
    std::function<void(const InputEvent&)> onInput;
    // On the end of its data, a read error, a close frame or a broken frame; possibly more than
    // once, even after close().
    std::function<void(const std::shared_ptr<BrowserClient>&)> onClose;

    // Handles the bytes that came after the request head, then reads. On the strand.
    void start(ByteView rest);
    // Marks it closed and cancels its connection, once; true when it was open.
    bool close();
    bool isClosed() const;

    // Whether the frame was handed to the connection.
    bool sendVideo(const VideoPacket& packet, const Bytes& bytes);
    void sendFrame(std::uint8_t opcode, Bytes payload,
                   Transport::WriteCompletion done = Transport::WriteCompletion());

    const std::shared_ptr<Transport>& connection() const { return connection_; }

private:
    void receive();
    void received(const ReadResult& result);
    // False once the client has ended.
    bool processFrames();
    void end();
    void videoFrameSent();

    const std::shared_ptr<Transport> connection_;
    const Logger log_;
    mutable std::mutex lock_;
    websocket::FrameReader reader_;  // strand-only
    bool closed_ = false;
    int inFlight_ = 0;
    bool needsKeyframe_ = true;
    int pongsQueued_ = 0;
};

}  // namespace orvane
