// The control datagram as the device reads and writes it: one JSON object in UTF-8, a zero byte,
// then any attachment bytes. Also the address texts of "set_inputs"/"inputs" and the garbage the
// emulator can send on request.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FaultDice.h"
#include "json/json_object.h"

namespace emu::wire {

// The device reads at most this much JSON text; a longer datagram is garbage to it.
constexpr size_t MaxTextBytes = 16 * 1024;

struct Message {
    JSON::Value Body;          // the whole object, envelope keys included
    std::string Kind;          // "msg", UTF-8
    uint32_t MsgId = 0;
    uint32_t AckMsgId = 0;     // 0 when absent or unreadable
    bool AttachmentWhole = true;  // false: it declares more attachment bytes than it carries
};

// None for anything that is not a readable message: too short, no zero byte or one at the start,
// text too long, not UTF-8, not a JSON object, "msg" not a non-empty string, "msg_id" not an
// integer in 0…4294967295. Never throws.
std::optional<Message> Parse(const char* data, size_t size);

// The datagram of a message: body (an object, or undefined for none) with the envelope added.
// ackMsgId 0 leaves "ack_msg_id" out.
std::string Build(JSON::Value body, std::string_view kind, uint32_t msgId, uint32_t ackMsgId = 0);

// "a.b.c.d:port" with a port of 1…65535; false for anything else.
bool ParseAddress(std::string_view text, sockaddr_in& out);
std::string AddressText(const sockaddr_in& addr);
// addr of the dotted text and port; false when the text is no IPv4 address.
bool MakeAddress(const std::string& dotted, uint16_t port, sockaddr_in& addr);

// UTF-8 text to the JSON library's wide text and back; malformed UTF-8 gives an empty text.
std::wstring Wide(std::string_view utf8);
std::string Utf8(std::wstring_view wide);

// One datagram a host must survive: broken framing, broken JSON, messages with missing or
// out-of-range keys, deep nesting, huge declared attachments, stray acknowledgements. The kind
// and content come from dice.
std::string Garbage(FaultDice& dice);

} // namespace emu::wire
