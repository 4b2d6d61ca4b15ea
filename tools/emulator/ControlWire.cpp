#include "ControlWire.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>

#include "util/utfconv.h"

namespace emu::wire {

namespace {

// An integer member within lo…hi; the device reads numbers itself rather than through the
// library's conversions, so a fault there cannot hide on both ends.
bool ReadInt(const JSON::Value& object, const wchar_t* key, int64_t lo, int64_t hi, int64_t& out) {
    const JSON::Value* v = object.Find(key);
    if (v == nullptr || v->Type() != JSON::typeIntNumber) return false;
    const int64_t n = static_cast<int64_t>(*v);
    if (n < lo || n > hi) return false;
    out = n;
    return true;
}

std::string Terminated(std::string text) {
    text.push_back('\0');
    return text;
}

} // namespace

std::optional<Message> Parse(const char* data, size_t size) {
    if (data == nullptr || size < 2) return std::nullopt;
    const void* zero = std::memchr(data, 0, size);
    if (zero == nullptr || zero == data) return std::nullopt;
    const size_t textLength = static_cast<size_t>(static_cast<const char*>(zero) - data);
    if (textLength > MaxTextBytes) return std::nullopt;
    try {
        Message m;
        if (!JSON::Value::Parse(std::string_view(data, textLength), m.Body)) return std::nullopt;
        if (m.Body.Type() != JSON::typeObject) return std::nullopt;
        const JSON::Value* kind = m.Body.Find(L"msg");
        if (kind == nullptr || kind->Type() != JSON::typeString) return std::nullopt;
        m.Kind = Utf8(static_cast<std::wstring_view>(*kind));
        if (m.Kind.empty()) return std::nullopt;
        int64_t n = 0;
        if (!ReadInt(m.Body, L"msg_id", 0, UINT32_MAX, n)) return std::nullopt;
        m.MsgId = static_cast<uint32_t>(n);
        if (ReadInt(m.Body, L"ack_msg_id", 0, UINT32_MAX, n)) m.AckMsgId = static_cast<uint32_t>(n);
        // The declared length is compared, never allocated: a datagram may claim gigabytes.
        const size_t present = size - textLength - 1;
        if (ReadInt(m.Body, L"att", 0, UINT32_MAX, n)) m.AttachmentWhole = static_cast<uint64_t>(n) <= present;
        return m;
    } catch (...) {
        return std::nullopt;
    }
}

std::string Build(JSON::Value body, std::string_view kind, uint32_t msgId, uint32_t ackMsgId) {
    if (body.Type() == JSON::typeUndefined) body.SetTypeObject();
    body[L"msg"] = Wide(kind);
    body[L"msg_id"] = msgId;
    if (ackMsgId != 0) body[L"ack_msg_id"] = ackMsgId;
    return Terminated(body.GetStringUTF8());
}

bool ParseAddress(std::string_view text, sockaddr_in& out) {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 >= text.size()) return false;
    const std::string_view portText = text.substr(colon + 1);
    unsigned port = 0;
    const auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc() || end != portText.data() + portText.size() || port == 0 || port > 65535) return false;
    return MakeAddress(std::string(text.substr(0, colon)), static_cast<uint16_t>(port), out);
}

bool MakeAddress(const std::string& dotted, uint16_t port, sockaddr_in& addr) {
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    return inet_pton(AF_INET, dotted.c_str(), &addr.sin_addr) == 1;
}

std::string AddressText(const sockaddr_in& addr) {
    char dotted[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, dotted, sizeof(dotted));
    std::string out = dotted;
    out += ':';
    out += std::to_string(ntohs(addr.sin_port));
    return out;
}

std::wstring Wide(std::string_view utf8) { return text::UTF8_UTF16(utf8); }
std::string Utf8(std::wstring_view wide) { return text::UTF16_UTF8(wide); }

std::string Garbage(FaultDice& dice) {
    const std::string id = std::to_string(static_cast<uint32_t>(dice.Next()));
    switch (dice.Next() % 16) {
    case 0: {  // noise
        std::string bytes(1 + dice.Next() % 200, '\0');
        for (char& c : bytes) c = static_cast<char>(dice.Next());
        return bytes;
    }
    case 1: return R"({"msg":"get_state","msg_id":)" + id + "}";  // no zero byte
    case 2: return Terminated(R"(x{"msg":"get_state","msg_id":)" + id + "}").insert(0, 1, '\0');
    case 3: return Terminated(R"([{"msg":"get_state","msg_id":)" + id + "}]");
    case 4: return Terminated(R"({"msg":"no_such_message","msg_id":)" + id + "}");
    case 5: return Terminated(R"({"msg":"dev_info"})");
    case 6: return Terminated(R"({"msg":"get_state","msg_id":4294967296})");
    case 7: return Terminated(R"({"msg":"get_state","msg_id":-1})");
    case 8: {  // deeper than any parser should follow
        std::string text = R"({"msg":"state","msg_id":)" + id + R"(,"inputs":)";
        text.append(600, '[');
        text.append(600, ']');
        return Terminated(text + "}");
    }
    case 9: return Terminated(R"({"att":4294967295,"msg":"fm_freq","msg_id":)" + id + "}") + "abc";
    case 10: return Terminated(R"({"msg":"rds_data","msg_id":)" + id + R"(,"text":[")" + "\xC3\x28\xFF" + "\"]}");
    case 11: return Terminated(R"({"ack_msg_id":)" + id + R"(,"msg":"ack","msg_id":)" + id + "}");
    case 12: return Terminated(R"({"inputs":4,"msg":"dev_info","msg_id":)" + id +
                               R"(,"unit_id":"x","unit_type":"QM412"})");
    case 13: return Terminated(R"({"freq":[87500,"x",null,1e99],"msg":"fm_freq","msg_id":)" + id + "}");
    case 14: return Terminated(R"({"msg":"fm_fr)");
    default: return std::string(1, static_cast<char>(dice.Next()));
    }
}

} // namespace emu::wire
