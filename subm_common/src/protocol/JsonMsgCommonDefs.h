// Control messages: one JSON object per UDP datagram. JsonMsg is the in-memory form with the
// envelope every message carries; here too are the six kinds the connection layer itself uses,
// the datagram layout (JSON text in UTF-8, one zero byte, then the attachment bytes) and the two
// conversions between a message and its datagram. Device kinds plug in through IJsonMsgFactory.
//
// A message is filled by one thread at a time; once handed on it is only read. NextMsgId is the
// one piece of shared state and changes only atomically.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diag/ErrInfo.h"
#include "json/json_object.h"
#include "net/INet.h"

namespace Network {

class IJsonMsgFactory;

class JsonMsg {
public:
    // A received message may declare at most this many attachment bytes. The attachment is
    // allocated in full on receipt (segments fill it later), so the declared size alone must not
    // let one datagram make the process allocate gigabytes.
    static constexpr uint32_t MaxAttachmentBytes = 64u * 1024u * 1024u;

    // Process-wide source of message identifiers; 0 is never handed out.
    static std::atomic<uint32_t> NextMsgId;

    explicit JsonMsg(const std::wstring& msgType);
    virtual ~JsonMsg() = default;

    // The envelope; a kind with fields of its own overrides both and calls these first.
    // Deserialize reads with the JSON library's throwing lookups: a missing or wrong required
    // key throws JSON::Exception, which Create turns into "no message".
    virtual ErrInfo Serialize(JSON::Value& value) const;
    virtual ErrInfo Deserialize(const JSON::Value& value);

    // Fills packet with the datagram. request adds "req":1. A datagram larger than
    // maxPacketSize (0: no limit) fails; a smaller buffer is enlarged to the need.
    ErrInfo ToPacket(Packet& packet, bool request, size_t maxPacketSize) const;
    // The JSON text (wide, as the writer produces it).
    ErrInfo ToString(std::wstring& text) const;
    // For log lines: the JSON text, or "ERROR:" and the reason.
    std::wstring ToString() const;

    // A message from a received datagram, or none when anything about it is wrong (nothing is
    // logged). Kinds outside the six protocol kinds come from factory, when given.
    static std::unique_ptr<JsonMsg> Create(const Packet& packet, const IJsonMsgFactory* factory,
                                           const SockAddr* from = nullptr);
    // A message from a parsed JSON object, or none.
    static std::unique_ptr<JsonMsg> Create(const JSON::Value& value, const IJsonMsgFactory* factory,
                                           const SockAddr* from = nullptr);

    std::wstring MsgType;        // "msg"
    uint32_t MsgId;              // "msg_id"
    SockAddr AddrFrom;           // the sender, set on receipt only
    bool IsRequest = false;      // writes "req":1
    uint32_t AckMsgId = 0;       // "ack_msg_id": the message acknowledged or answered; 0 none
    // Attachment bytes present. Smaller than Attachment.size() on a received message whose
    // attachment did not arrive whole (it is then the leader of a segmented transfer).
    size_t AttachmentSize = 0;   // "att" on the wire
    std::vector<uint8_t> Attachment;
};

using JsonMsgPtr = std::shared_ptr<JsonMsg>;

// Makes the message of a kind name; the connection layer asks it for every kind it does not
// know itself.
class IJsonMsgFactory {
public:
    virtual ~IJsonMsgFactory() = default;
    // A new message of that kind, or none for a name the factory does not know.
    virtual std::unique_ptr<JsonMsg> CreateJsonMsg(const std::wstring& msgType) const = 0;
};

class JsonMsgIdle : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"idle";
    JsonMsgIdle() : JsonMsg(NameString) {}
};

class JsonMsgPing : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"ping";
    JsonMsgPing() : JsonMsg(NameString) {}
};

class JsonMsgAck : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"ack";
    JsonMsgAck() : JsonMsg(NameString) {}
    explicit JsonMsgAck(uint32_t ackMsgId) : JsonMsg(NameString) { AckMsgId = ackMsgId; }
};

// One segment of a message whose attachment did not fit one datagram; the bytes travel as this
// message's own attachment.
class JsonMsgAtt : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"attach";
    JsonMsgAtt() : JsonMsg(NameString) {}

    ErrInfo Serialize(JSON::Value& value) const override;
    ErrInfo Deserialize(const JSON::Value& value) override;

    uint32_t LeaderId = 0;       // "leader_id": MsgId of the message the segments belong to
    uint32_t TotalSegments = 0;  // "seg_count"
    uint32_t SegmentNumber = 0;  // "seg_number", from 0
};

class JsonMsgOk : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"ok";
    explicit JsonMsgOk(uint32_t ackMsgId) : JsonMsg(NameString) { AckMsgId = ackMsgId; }
};

class JsonMsgError : public JsonMsg {
public:
    static constexpr const wchar_t* NameString = L"error";
    JsonMsgError() : JsonMsg(NameString) {}

    ErrInfo Serialize(JSON::Value& value) const override;
    ErrInfo Deserialize(const JSON::Value& value) override;

    uint32_t Code = 0;  // "code"
    std::wstring Txt;   // "txt"
};

} // namespace Network
