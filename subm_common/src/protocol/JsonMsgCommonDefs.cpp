#include "protocol/JsonMsgCommonDefs.h"

#include <cstring>
#include <exception>
#include <string_view>

namespace Network {

std::atomic<uint32_t> JsonMsg::NextMsgId{1};

namespace {

uint32_t TakeMsgId() {
    uint32_t id = JsonMsg::NextMsgId.fetch_add(1);
    // After the counter wraps it hands out 0 once; 0 means "no message" in "ack_msg_id".
    while (id == 0) id = JsonMsg::NextMsgId.fetch_add(1);
    return id;
}

// The kind of a name the connection layer knows itself, or none.
std::unique_ptr<JsonMsg> CreateProtocolMsg(const std::wstring& name) {
    if (name == JsonMsgIdle::NameString) return std::make_unique<JsonMsgIdle>();
    if (name == JsonMsgPing::NameString) return std::make_unique<JsonMsgPing>();
    if (name == JsonMsgAck::NameString) return std::make_unique<JsonMsgAck>();
    if (name == JsonMsgAtt::NameString) return std::make_unique<JsonMsgAtt>();
    if (name == JsonMsgError::NameString) return std::make_unique<JsonMsgError>();
    if (name == JsonMsgOk::NameString) return std::make_unique<JsonMsgOk>(0);
    return nullptr;
}

} // namespace

JsonMsg::JsonMsg(const std::wstring& msgType) : MsgType(msgType), MsgId(TakeMsgId()) {}

ErrInfo JsonMsg::Serialize(JSON::Value& value) const {
    value[L"msg"] = MsgType;
    value[L"msg_id"] = MsgId;
    if (IsRequest) value[L"req"] = int64_t{1};
    if (AckMsgId != 0) value[L"ack_msg_id"] = AckMsgId;
    if (AttachmentSize != 0) value[L"att"] = static_cast<uint64_t>(AttachmentSize);
    return MAKE_ERR_INFO();
}

ErrInfo JsonMsg::Deserialize(const JSON::Value& value) {
    MsgId = static_cast<uint32_t>(value[L"msg_id"]);
    AckMsgId = value.TryGet<uint32_t>(L"ack_msg_id", 0);
    AttachmentSize = value.TryGet<uint32_t>(L"att", 0);
    return MAKE_ERR_INFO();
}

ErrInfo JsonMsg::ToPacket(Packet& packet, bool request, size_t maxPacketSize) const {
    try {
        JSON::Value value;
        ErrInfo err = Serialize(value);
        if (!err) return err;
        if (request) value[L"req"] = int64_t{1};

        std::string text;
        value.GetStringUTF8(text);
        if (text.empty()) return MAKE_ERR_INFO().StrError("Can not deserialize msg");

        const size_t need = text.size() + 1 + Attachment.size();
        // Checked against the need, not only when the buffer is too small: a reused packet may
        // have more room than the limit, and the limit is about the datagram.
        if (maxPacketSize != 0 && need > maxPacketSize)
            return MAKE_ERR_INFO().StrError("Can not deserialize msg. Packet too small");
        if (packet.GetBufSize() < need) packet.SetBufSize(need);

        packet.SetDataSize(need);
        uint8_t* out = packet.GetDataPtr();
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = 0;
        if (!Attachment.empty()) std::memcpy(out + text.size() + 1, Attachment.data(), Attachment.size());
        return MAKE_ERR_INFO();
    } catch (const std::exception& e) {
        return MAKE_ERR_INFO().StrError(e.what());
    }
}

ErrInfo JsonMsg::ToString(std::wstring& text) const {
    try {
        JSON::Value value;
        ErrInfo err = Serialize(value);
        if (!err) return err;
        text.clear();
        value.GetString(text);
        return MAKE_ERR_INFO();
    } catch (const std::exception& e) {
        return MAKE_ERR_INFO().StrError(e.what());
    }
}

std::wstring JsonMsg::ToString() const {
    std::wstring text;
    ErrInfo err = ToString(text);
    if (err) return text;
    err.Silent();
    return L"ERROR:" + err.GetErrorStr();
}

std::unique_ptr<JsonMsg> JsonMsg::Create(const Packet& packet, const IJsonMsgFactory* factory, const SockAddr* from) {
    const size_t size = packet.GetDataSize();
    if (size < 2) return nullptr;
    const char* data = reinterpret_cast<const char*>(packet.GetDataPtr());
    const void* zero = std::memchr(data, 0, size);
    if (zero == nullptr || zero == data) return nullptr;
    const size_t textSize = static_cast<size_t>(static_cast<const char*>(zero) - data);

    std::unique_ptr<JsonMsg> msg;
    try {
        // Malformed UTF-8 fails here as an empty text does.
        JSON::Value value;
        if (!JSON::Value::Parse(std::string_view(data, textSize), value)) return nullptr;
        msg = Create(value, factory, from);
    } catch (const std::exception&) {
        return nullptr;
    }
    if (!msg) return nullptr;

    const size_t declared = msg->AttachmentSize;
    if (declared == 0) return msg;
    if (declared > MaxAttachmentBytes) return nullptr;
    try {
        msg->Attachment.assign(declared, 0);
    } catch (const std::exception&) {
        return nullptr;
    }
    const size_t present = size - textSize - 1;
    const size_t taken = present < declared ? present : declared;
    if (taken != 0) std::memcpy(msg->Attachment.data(), data + textSize + 1, taken);
    msg->AttachmentSize = taken;
    return msg;
}

std::unique_ptr<JsonMsg> JsonMsg::Create(const JSON::Value& value, const IJsonMsgFactory* factory, const SockAddr* from) {
    if (value.Type() != JSON::typeObject) return nullptr;
    try {
        const JSON::Value* name = value.Find(L"msg");
        if (name == nullptr) return nullptr;
        const std::wstring& msgType = static_cast<const std::wstring&>(*name);
        if (msgType.empty()) return nullptr;

        std::unique_ptr<JsonMsg> msg = CreateProtocolMsg(msgType);
        if (!msg && factory != nullptr) msg = factory->CreateJsonMsg(msgType);
        if (!msg) return nullptr;

        ErrInfo err = msg->Deserialize(value);
        if (!err) {
            err.Silent();  // a bad datagram is reported by the layer above, once
            return nullptr;
        }
        if (from != nullptr) msg->AddrFrom = *from;
        return msg;
    } catch (const std::exception&) {
        return nullptr;
    }
}

ErrInfo JsonMsgAtt::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value[L"leader_id"] = LeaderId;
    value[L"seg_count"] = TotalSegments;
    value[L"seg_number"] = SegmentNumber;
    return err;
}

ErrInfo JsonMsgAtt::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    LeaderId = static_cast<uint32_t>(value[L"leader_id"]);
    TotalSegments = static_cast<uint32_t>(value[L"seg_count"]);
    SegmentNumber = static_cast<uint32_t>(value[L"seg_number"]);
    return err;
}

ErrInfo JsonMsgError::Serialize(JSON::Value& value) const {
    ErrInfo err = JsonMsg::Serialize(value);
    if (!err) return err;
    value[L"code"] = Code;
    value[L"txt"] = Txt;
    return err;
}

ErrInfo JsonMsgError::Deserialize(const JSON::Value& value) {
    ErrInfo err = JsonMsg::Deserialize(value);
    if (!err) return err;
    Code = static_cast<uint32_t>(value[L"code"]);
    Txt = static_cast<const std::wstring&>(value[L"txt"]);
    return err;
}

} // namespace Network
