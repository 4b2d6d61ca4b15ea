// Control datagrams from the network: arbitrary bytes go to JsonMsg::Create with the device
// factory, as the datagram manager hands every received datagram. Whatever is accepted must keep
// the attachment within its limit, and must write back to a datagram that reads back as the same
// kind with the same JSON text (so what the library accepts it can also send and log).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>

#include "protocol/JsonMsgAsioDriver.h"
#include "protocol/JsonMsgCommonDefs.h"
#include "util/utfconv.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& detail) {
    std::fprintf(stderr, "json_msg_fuzz: %s\n%s\n", what, detail.c_str());
    std::abort();
}

// The JSON text of a datagram: the bytes before its zero.
std::string_view TextOf(const Network::Packet& packet) {
    const char* data = reinterpret_cast<const char*>(packet.GetDataPtr());
    const void* zero = std::memchr(data, 0, packet.GetDataSize());
    if (zero == nullptr) Fail("a written datagram has no zero byte", std::string(data, packet.GetDataSize()));
    return std::string_view(data, static_cast<size_t>(static_cast<const char*>(zero) - data));
}

Network::Packet Write(const Network::JsonMsg& msg) {
    Network::Packet packet(1472);
    ErrInfo err = msg.ToPacket(packet, false, 0);
    if (!err) Fail("an accepted message cannot be written", text::UTF16_UTF8(err.Silent().GetErrorStr()));
    return packet;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Network::Packet packet(size);
    packet.SetDataSize(size);
    if (size != 0) std::memcpy(packet.GetDataPtr(), data, size);

    const Network::IJsonMsgFactory* factory = Network::GetAsioDriverJsonMsgFactory();
    std::unique_ptr<Network::JsonMsg> msg = Network::JsonMsg::Create(packet, factory);
    if (!msg) return 0;

    if (msg->MsgType.empty()) Fail("accepted without a kind", "");
    if (msg->Attachment.size() > Network::JsonMsg::MaxAttachmentBytes)
        Fail("attachment above the limit", std::to_string(msg->Attachment.size()));
    if (msg->AttachmentSize > msg->Attachment.size())
        Fail("more attachment bytes counted than held", std::to_string(msg->AttachmentSize));

    const Network::Packet first = Write(*msg);
    std::unique_ptr<Network::JsonMsg> again = Network::JsonMsg::Create(first, factory);
    if (!again) Fail("a written message does not read back", std::string(TextOf(first)));
    const Network::JsonMsg& a = *msg;
    const Network::JsonMsg& b = *again;
    if (typeid(a) != typeid(b)) Fail("reads back as another kind", std::string(TextOf(first)));
    const Network::Packet second = Write(*again);
    if (TextOf(first) != TextOf(second))
        Fail("reading back changes the text", std::string(TextOf(first)) + "\n" + std::string(TextOf(second)));
    if (msg->ToString().rfind(L"ERROR:", 0) == 0) Fail("an accepted message has no log text", "");
    return 0;
}
