#include "Orvane_Host/browser/BrowserClient.h"

#include "Orvane_Host/browser/BrowserInput.h"

namespace orvane {

BrowserClient::BrowserClient(std::shared_ptr<Transport> connection, Logger log)
    : connection_(std::move(connection)), log_(std::move(log)) {}

void BrowserClient::start(ByteView rest) {
    if (!rest.empty()) {
        reader_.append(rest);
        if (!processFrames()) return;
    }
    receive();
}

void BrowserClient::receive() {
    connection_->read([weak = weak_from_this()](const ReadResult& result) {
        if (auto self = weak.lock()) self->received(result);
    });
}

void BrowserClient::received(const ReadResult& result) {
    if (!result.data.empty()) {
        reader_.append(result.data);
        if (!processFrames()) return;
    }
    if (!result.eof && !result.error && !isClosed()) return receive();
    end();
}

bool BrowserClient::processFrames() {
    while (auto frame = reader_.next()) {
        switch (frame->opcode) {
            case websocket::text:
                if (auto event = BrowserInput::decode(frame->payload))
                    if (onInput) onInput(*event);
                break;
            case websocket::ping: {
                {
                    std::lock_guard lock(lock_);
                    if (pongsQueued_ >= maxPongsQueued) break;
                    ++pongsQueued_;
                }
                sendFrame(websocket::pong, std::move(frame->payload),
                          [weak = weak_from_this()](std::optional<NetError>) {
                              if (auto self = weak.lock()) {
                                  std::lock_guard lock(self->lock_);
                                  --self->pongsQueued_;
                              }
                          });
                break;
            }
            case websocket::close:
                // No close frame goes back.
                end();
                return false;
            default:
                break;  // continuations, binary, pongs and the rest
        }
    }
    if (reader_.failed()) {
        log_.info("browser viewer closed: {}", reader_.error());
        end();
        return false;
    }
    return true;
}

void BrowserClient::end() {
    if (onClose) onClose(shared_from_this());
    close();
}

bool BrowserClient::close() {
    {
        std::lock_guard lock(lock_);
        if (closed_) return false;
        closed_ = true;
    }
    connection_->cancel();
    return true;
}

bool BrowserClient::isClosed() const {
    std::lock_guard lock(lock_);
    return closed_;
}

void BrowserClient::sendFrame(std::uint8_t opcode, Bytes payload, Transport::WriteCompletion done) {
    Bytes header = websocket::encodeFrameHeader(opcode, payload.size());
    connection_->write({std::move(header), std::move(payload)}, std::move(done));
}

bool BrowserClient::sendVideo(const VideoPacket& packet, const Bytes& bytes) {
    {
        std::lock_guard lock(lock_);
        if (closed_) return false;
        if (needsKeyframe_ && !packet.isKeyframe) return false;
        if (inFlight_ >= maxInFlight) {
            needsKeyframe_ = true;
            return false;
        }
        needsKeyframe_ = false;
        ++inFlight_;
    }
    sendFrame(websocket::binary, bytes, [weak = weak_from_this()](std::optional<NetError>) {
        if (auto self = weak.lock()) self->videoFrameSent();
    });
    return true;
}

void BrowserClient::videoFrameSent() {
    std::lock_guard lock(lock_);
    --inFlight_;
}

}  // namespace orvane
