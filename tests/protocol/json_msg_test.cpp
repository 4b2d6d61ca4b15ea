// Control message envelope: the exact datagrams of the connection's own kinds, what received
// datagrams read as (attachments included), the ones that must be refused, identifiers, and the
// failures of packing.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "json/json_object.h"
#include "protocol/JsonMsgCommonDefs.h"
#include "util/utfconv.h"

using namespace Network;
using namespace std::string_literals;

namespace {

// Read before any test makes a message.
const uint32_t InitialNextMsgId = JsonMsg::NextMsgId.load();

Packet MakePacket(std::string_view bytes) {
    Packet packet(bytes.size());
    packet.SetDataSize(bytes.size());
    if (!bytes.empty()) std::memcpy(packet.GetDataPtr(), bytes.data(), bytes.size());
    return packet;
}

std::string Bytes(const Packet& packet) {
    return std::string(reinterpret_cast<const char*>(packet.GetDataPtr()), packet.GetDataSize());
}

// The datagram of msg, or the error text prefixed with "ERROR " when packing fails.
std::string Datagram(const JsonMsg& msg, bool request = false) {
    Packet packet(1472);
    ErrInfo err = msg.ToPacket(packet, request, 0);
    if (!err) return "ERROR " + text::UTF16_UTF8(err.Silent().GetErrorStr());
    return Bytes(packet);
}

std::unique_ptr<JsonMsg> Read(std::string_view bytes, const IJsonMsgFactory* factory = nullptr) {
    return JsonMsg::Create(MakePacket(bytes), factory);
}

template <class T>
T WithId(T msg, uint32_t id) {
    msg.MsgId = id;
    return msg;
}

} // namespace

TEST(JsonMsgIds, CounterStartsAtOneAndCountsUp) {
    EXPECT_EQ(InitialNextMsgId, 1u);
    JsonMsgPing a;
    JsonMsgPing b;
    EXPECT_EQ(b.MsgId, a.MsgId + 1);
}

TEST(JsonMsgIds, WrapSkipsZero) {
    JsonMsg::NextMsgId = 4294967295u;
    JsonMsgIdle last;
    JsonMsgIdle next;
    EXPECT_EQ(last.MsgId, 4294967295u);
    EXPECT_EQ(next.MsgId, 1u);
}

TEST(JsonMsgWire, ProtocolKindsGoldenDatagrams) {
    JsonMsgAtt att;
    att.MsgId = 12;
    att.LeaderId = 11;
    att.TotalSegments = 3;
    att.SegmentNumber = 2;
    att.Attachment = {'x', 0, 'y'};
    att.AttachmentSize = 3;

    JsonMsgError error;
    error.MsgId = 5;
    error.Code = 404;
    error.Txt = L"no \"such\" kind \u00E9\u20AC";

    JsonMsgPing request = WithId(JsonMsgPing(), 5);
    request.IsRequest = true;

    struct Case {
        const char* what;
        std::string datagram;
        std::string expected;
    } cases[] = {
        {"idle", Datagram(WithId(JsonMsgIdle(), 5)), "{\"msg\":\"idle\",\"msg_id\":5}\0"s},
        {"ping", Datagram(WithId(JsonMsgPing(), 5)), "{\"msg\":\"ping\",\"msg_id\":5}\0"s},
        {"ack", Datagram(WithId(JsonMsgAck(5), 9)), "{\"ack_msg_id\":5,\"msg\":\"ack\",\"msg_id\":9}\0"s},
        {"ack without id", Datagram(WithId(JsonMsgAck(), 9)), "{\"msg\":\"ack\",\"msg_id\":9}\0"s},
        {"ok", Datagram(WithId(JsonMsgOk(7), 8)), "{\"ack_msg_id\":7,\"msg\":\"ok\",\"msg_id\":8}\0"s},
        {"attach", Datagram(att),
         "{\"att\":3,\"leader_id\":11,\"msg\":\"attach\",\"msg_id\":12,\"seg_count\":3,\"seg_number\":2}\0x\0y"s},
        {"error, text in UTF-8", Datagram(error),
         "{\"code\":404,\"msg\":\"error\",\"msg_id\":5,\"txt\":\"no \\\"such\\\" kind \xC3\xA9\xE2\x82\xAC\"}\0"s},
        {"IsRequest", Datagram(request), "{\"msg\":\"ping\",\"msg_id\":5,\"req\":1}\0"s},
        {"request flag", Datagram(WithId(JsonMsgPing(), 5), true), "{\"msg\":\"ping\",\"msg_id\":5,\"req\":1}\0"s},
        {"largest id", Datagram(WithId(JsonMsgOk(4294967295u), 4294967295u)),
         "{\"ack_msg_id\":4294967295,\"msg\":\"ok\",\"msg_id\":4294967295}\0"s},
    };
    for (const Case& c : cases) EXPECT_EQ(c.datagram, c.expected) << c.what;
}

TEST(JsonMsgWire, ProtocolKindsReadBackAsTheirClass) {
    struct Case {
        std::string datagram;
        const std::type_info& type;
        uint32_t msgId;
        uint32_t ackMsgId;
    } cases[] = {
        {"{\"msg\":\"ok\",\"msg_id\":7}\0"s, typeid(JsonMsgOk), 7, 0},
        {"{\"msg\":\"idle\",\"msg_id\":0}\0"s, typeid(JsonMsgIdle), 0, 0},
        {"{\"msg\":\"ping\",\"msg_id\":4294967295}\0"s, typeid(JsonMsgPing), 4294967295u, 0},
        {"{\"msg\":\"ack\",\"msg_id\":2,\"ack_msg_id\":5}\0"s, typeid(JsonMsgAck), 2, 5},
        {"{\"msg\":\"ok\",\"msg_id\":3,\"ack_msg_id\":4,\"req\":1}\0"s, typeid(JsonMsgOk), 3, 4},
        // Whitespace and key order are the sender's business.
        {" { \"msg_id\" : 6 ,\n\"msg\" : \"ping\" } \0"s, typeid(JsonMsgPing), 6, 0},
        // An unreadable optional key reads as absent.
        {"{\"msg\":\"ack\",\"msg_id\":2,\"ack_msg_id\":-5}\0"s, typeid(JsonMsgAck), 2, 0},
        {"{\"msg\":\"ack\",\"msg_id\":2,\"ack_msg_id\":\"5\"}\0"s, typeid(JsonMsgAck), 2, 0},
        {"{\"msg\":\"ack\",\"msg_id\":2,\"ack_msg_id\":4294967296}\0"s, typeid(JsonMsgAck), 2, 0},
    };
    for (const Case& c : cases) {
        auto msg = Read(c.datagram);
        ASSERT_TRUE(msg) << c.datagram;
        const JsonMsg& m = *msg;
        EXPECT_EQ(typeid(m), c.type) << c.datagram;
        EXPECT_EQ(msg->MsgId, c.msgId) << c.datagram;
        EXPECT_EQ(msg->AckMsgId, c.ackMsgId) << c.datagram;
        EXPECT_FALSE(msg->IsRequest) << "\"req\" is not read";
        EXPECT_EQ(msg->AttachmentSize, 0u);
        EXPECT_TRUE(msg->Attachment.empty());
        EXPECT_FALSE(msg->AddrFrom.IsSet());
    }
}

TEST(JsonMsgWire, OwnFieldsReadBack) {
    auto att = Read("{\"att\":2,\"leader_id\":11,\"msg\":\"attach\",\"msg_id\":12,\"seg_count\":3,\"seg_number\":2}\0ab"s);
    auto* segment = dynamic_cast<JsonMsgAtt*>(att.get());
    ASSERT_NE(segment, nullptr);
    EXPECT_EQ(segment->LeaderId, 11u);
    EXPECT_EQ(segment->TotalSegments, 3u);
    EXPECT_EQ(segment->SegmentNumber, 2u);
    EXPECT_EQ(segment->Attachment, (std::vector<uint8_t>{'a', 'b'}));

    auto err = Read("{\"code\":4294967295,\"msg\":\"error\",\"msg_id\":5,\"txt\":\"\\u00E9\xE2\x82\xAC\\uD83C\\uDFB5\"}\0"s);
    auto* error = dynamic_cast<JsonMsgError*>(err.get());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->Code, 4294967295u);
    EXPECT_EQ(error->Txt, (std::wstring{L'\u00E9', L'\u20AC', wchar_t(0xD83C), wchar_t(0xDFB5)}));
}

TEST(JsonMsgWire, RefusedDatagrams) {
    const std::string deep = "{\"msg\":\"ok\",\"msg_id\":1,\"x\":" + std::string(600, '[') + std::string(600, ']') + "}";
    struct Case {
        const char* why;
        std::string datagram;
    } cases[] = {
        {"empty", ""},
        {"one byte", "{"},
        {"one zero byte", "\0"s},
        {"no zero byte", "{\"msg\":\"ok\",\"msg_id\":7}"},
        {"first byte zero", "\0{\"msg\":\"ok\",\"msg_id\":7}\0"s},
        {"not JSON", "hello\0"s},
        {"JSON cut short", "{\"msg\":\"ok\",\"msg_id\":7\0}"s},
        {"not an object", "[\"ok\",7]\0"s},
        {"a string", "\"ok\"\0"s},
        {"malformed UTF-8", "{\"msg\":\"ok\",\"msg_id\":7,\"x\":\"\xC3\"}\0"s},
        {"overlong UTF-8", "{\"msg\":\"ok\",\"msg_id\":7,\"x\":\"\xC0\xAF\"}\0"s},
        {"no msg", "{\"msg_id\":7}\0"s},
        {"msg a number", "{\"msg\":5,\"msg_id\":7}\0"s},
        {"msg null", "{\"msg\":null,\"msg_id\":7}\0"s},
        {"msg empty", "{\"msg\":\"\",\"msg_id\":7}\0"s},
        {"unknown kind, no factory", "{\"msg\":\"state\",\"msg_id\":7}\0"s},
        {"kind in other case", "{\"msg\":\"OK\",\"msg_id\":7}\0"s},
        {"no msg_id", "{\"msg\":\"ok\"}\0"s},
        {"msg_id negative", "{\"msg\":\"ok\",\"msg_id\":-1}\0"s},
        {"msg_id above 32 bits", "{\"msg\":\"ok\",\"msg_id\":4294967296}\0"s},
        {"msg_id a double", "{\"msg\":\"ok\",\"msg_id\":7.0}\0"s},
        {"msg_id a string", "{\"msg\":\"ok\",\"msg_id\":\"7\"}\0"s},
        {"attach without seg_number", "{\"leader_id\":1,\"msg\":\"attach\",\"msg_id\":2,\"seg_count\":1}\0"s},
        {"attach seg_count negative",
         "{\"leader_id\":1,\"msg\":\"attach\",\"msg_id\":2,\"seg_count\":-1,\"seg_number\":0}\0"s},
        {"error without txt", "{\"code\":1,\"msg\":\"error\",\"msg_id\":2}\0"s},
        {"error without code", "{\"msg\":\"error\",\"msg_id\":2,\"txt\":\"x\"}\0"s},
        {"error txt a number", "{\"code\":1,\"msg\":\"error\",\"msg_id\":2,\"txt\":3}\0"s},
        {"nested too deep", deep + '\0'},
        {"declares more than the attachment limit", "{\"att\":67108865,\"msg\":\"ok\",\"msg_id\":1}\0abc"s},
        {"declares the largest attachment", "{\"att\":4294967295,\"msg\":\"ok\",\"msg_id\":1}\0"s},
    };
    for (const Case& c : cases) EXPECT_FALSE(Read(c.datagram)) << c.why;
}

TEST(JsonMsgWire, TextAfterTheValueAndTheZeroIsNotRead) {
    auto msg = Read("{\"msg\":\"ok\",\"msg_id\":7}\0{\"msg\":\"ping\"}"s);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->MsgType, L"ok");
    EXPECT_TRUE(msg->Attachment.empty()) << "bytes after the zero are not an attachment unless declared";
}

TEST(JsonMsgWire, AttachmentIsCutToTheDeclaredLengthAndMarksWhatIsMissing) {
    const std::string text = "{\"att\":100,\"msg\":\"ping\",\"msg_id\":3}"s + '\0';
    std::string bytes40(40, '\0');
    for (size_t i = 0; i < bytes40.size(); ++i) bytes40[i] = static_cast<char>(i + 1);
    std::string bytes150(150, '\x7F');

    auto partial = Read(text + bytes40);
    ASSERT_TRUE(partial);
    ASSERT_EQ(partial->Attachment.size(), 100u);
    EXPECT_EQ(partial->AttachmentSize, 40u) << "smaller than the attachment: it did not arrive whole";
    EXPECT_EQ(std::memcmp(partial->Attachment.data(), bytes40.data(), 40), 0);
    EXPECT_EQ(std::vector<uint8_t>(partial->Attachment.begin() + 40, partial->Attachment.end()),
              std::vector<uint8_t>(60, 0));

    auto surplus = Read(text + bytes150);
    ASSERT_TRUE(surplus);
    EXPECT_EQ(surplus->Attachment, std::vector<uint8_t>(100, 0x7F));
    EXPECT_EQ(surplus->AttachmentSize, 100u);

    auto none = Read(text);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->Attachment.size(), 100u);
    EXPECT_EQ(none->AttachmentSize, 0u);

    // "att" that does not read as an unsigned 32-bit integer counts as none.
    for (const char* att : {"-1", "\"3\"", "3.0", "0"}) {
        auto msg = Read("{\"att\":"s + att + ",\"msg\":\"ping\",\"msg_id\":3}" + '\0' + "abc");
        ASSERT_TRUE(msg) << att;
        EXPECT_TRUE(msg->Attachment.empty()) << att;
        EXPECT_EQ(msg->AttachmentSize, 0u) << att;
    }
}

TEST(JsonMsgWire, AttachmentAtTheLimitIsAccepted) {
    const std::string limit = std::to_string(JsonMsg::MaxAttachmentBytes);
    auto msg = Read("{\"att\":" + limit + ",\"msg\":\"ping\",\"msg_id\":3}" + '\0' + "abc");
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->Attachment.size(), JsonMsg::MaxAttachmentBytes);
    EXPECT_EQ(msg->AttachmentSize, 3u);
    EXPECT_FALSE(Read("{\"att\":" + std::to_string(JsonMsg::MaxAttachmentBytes + 1u) + ",\"msg\":\"ping\",\"msg_id\":3}" +
                      '\0' + "abc"));
}

TEST(JsonMsgWire, BinaryAttachmentRoundTrips) {
    JsonMsgPing msg;
    for (int i = 0; i < 256; ++i) msg.Attachment.push_back(static_cast<uint8_t>(i));
    msg.AttachmentSize = msg.Attachment.size();
    auto back = Read(Datagram(msg));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->MsgId, msg.MsgId);
    EXPECT_EQ(back->Attachment, msg.Attachment);
    EXPECT_EQ(back->AttachmentSize, 256u);
}

TEST(JsonMsgWire, SenderAddressIsKeptWhenGiven) {
    SockAddr sender;
    ASSERT_TRUE(sender.Set(L"10.0.0.5:15001"));
    auto with = JsonMsg::Create(MakePacket("{\"msg\":\"ok\",\"msg_id\":7}\0"s), nullptr, &sender);
    ASSERT_TRUE(with);
    EXPECT_EQ(with->AddrFrom, sender);
    auto without = JsonMsg::Create(MakePacket("{\"msg\":\"ok\",\"msg_id\":7}\0"s), nullptr);
    ASSERT_TRUE(without);
    EXPECT_FALSE(without->AddrFrom.IsSet());
}

namespace {

class RecordingFactory : public IJsonMsgFactory {
public:
    std::unique_ptr<JsonMsg> CreateJsonMsg(const std::wstring& msgType) const override {
        asked.push_back(msgType);
        if (msgType == L"custom") return std::make_unique<JsonMsg>(msgType);
        return nullptr;
    }
    mutable std::vector<std::wstring> asked;
};

} // namespace

TEST(JsonMsgFactory, AskedOnlyForKindsOutsideTheProtocolOnes) {
    RecordingFactory factory;
    auto ack = Read("{\"msg\":\"ack\",\"msg_id\":1}\0"s, &factory);
    ASSERT_TRUE(ack);
    EXPECT_NE(dynamic_cast<JsonMsgAck*>(ack.get()), nullptr);
    EXPECT_TRUE(factory.asked.empty());

    auto custom = Read("{\"msg\":\"custom\",\"msg_id\":9}\0"s, &factory);
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->MsgType, L"custom");
    EXPECT_EQ(custom->MsgId, 9u);

    EXPECT_FALSE(Read("{\"msg\":\"other\",\"msg_id\":9}\0"s, &factory));
    EXPECT_FALSE(Read("{\"msg\":\"custom\"}\0"s, &factory)) << "the envelope is still required";
    EXPECT_EQ(factory.asked, (std::vector<std::wstring>{L"custom", L"other", L"custom"}));
}

TEST(JsonMsgCreate, FromAParsedValue) {
    JSON::Value value;
    ASSERT_TRUE(JSON::Value::Parse("{\"msg\":\"ok\",\"msg_id\":7,\"ack_msg_id\":6,\"att\":4}", value));
    auto msg = JsonMsg::Create(value, nullptr);
    ASSERT_TRUE(msg);
    EXPECT_EQ(msg->AckMsgId, 6u);
    EXPECT_EQ(msg->AttachmentSize, 4u) << "only the datagram path sizes the attachment";
    EXPECT_TRUE(msg->Attachment.empty());

    JSON::Value array;
    ASSERT_TRUE(JSON::Value::Parse("[1]", array));
    EXPECT_FALSE(JsonMsg::Create(array, nullptr));
    EXPECT_FALSE(JsonMsg::Create(JSON::Value(), nullptr));
}

TEST(JsonMsgPack, TooLargeForTheLimitFailsAndWithoutLimitTheBufferGrows) {
    JsonMsgError msg;
    msg.Txt = std::wstring(2000, L'a');

    Packet limited(1472);
    ErrInfo err = msg.ToPacket(limited, false, 1472);
    ASSERT_FALSE(err);
    err.Silent();
    EXPECT_EQ(err.GetErrorStr(), L"Can not deserialize msg. Packet too small");

    // The limit is about the datagram, whatever room the buffer happens to have.
    Packet roomy(4096);
    ErrInfo err2 = msg.ToPacket(roomy, false, 1472);
    EXPECT_FALSE(err2);
    err2.Silent();

    Packet grown(1472);
    ErrInfo ok = msg.ToPacket(grown, false, 0);
    ASSERT_TRUE(ok) << ok.Silent().GetErrorStr();
    EXPECT_GT(grown.GetDataSize(), 2000u);
    EXPECT_GE(grown.GetBufSize(), grown.GetDataSize());
    EXPECT_EQ(grown.GetDataPtr()[grown.GetDataSize() - 1], 0);
    auto back = Read(Bytes(grown));
    ASSERT_TRUE(back);
    EXPECT_EQ(dynamic_cast<JsonMsgError&>(*back).Txt, msg.Txt);
}

TEST(JsonMsgPack, ExactFitAndReuseOfALargerPacket) {
    const std::string expected = "{\"msg\":\"ping\",\"msg_id\":5}\0"s;
    Packet exact(expected.size());
    ErrInfo err = WithId(JsonMsgPing(), 5).ToPacket(exact, false, expected.size());
    ASSERT_TRUE(err) << err.Silent().GetErrorStr();
    EXPECT_EQ(Bytes(exact), expected);

    Packet reused = MakePacket(std::string(3000, 'z'));
    ErrInfo err2 = WithId(JsonMsgPing(), 5).ToPacket(reused, false, 0);
    ASSERT_TRUE(err2) << err2.Silent().GetErrorStr();
    EXPECT_EQ(Bytes(reused), expected) << "the data size is the datagram's, not the old one";
}

namespace {

class FailingKind : public JsonMsg {
public:
    FailingKind() : JsonMsg(L"failing") {}
    ErrInfo Serialize(JSON::Value& value) const override {
        JsonMsg::Serialize(value);
        return MAKE_ERR_INFO().StrError("kind refuses");
    }
};

class ThrowingKind : public JsonMsg {
public:
    ThrowingKind() : JsonMsg(L"throwing") {}
    ErrInfo Serialize(JSON::Value& value) const override {
        value[L"x"];  // left undefined: the writer throws
        return JsonMsg::Serialize(value);
    }
};

} // namespace

TEST(JsonMsgPack, KindFailuresAndExceptionsBecomeErrors) {
    Packet packet(1472);
    ErrInfo refused = FailingKind().ToPacket(packet, false, 0);
    ASSERT_FALSE(refused);
    refused.Silent();
    EXPECT_EQ(refused.GetErrorStr(), L"kind refuses");

    ErrInfo thrown = ThrowingKind().ToPacket(packet, false, 0);
    ASSERT_FALSE(thrown);
    thrown.Silent();
    EXPECT_FALSE(thrown.GetErrorStr().empty());

    EXPECT_EQ(FailingKind().ToString(), L"ERROR:kind refuses");
    EXPECT_EQ(ThrowingKind().ToString().rfind(L"ERROR:", 0), 0u);
}

TEST(JsonMsgText, ToStringIsTheWideJsonText) {
    JsonMsgError msg;
    msg.MsgId = 3;
    msg.Txt = L"\u20AC";
    EXPECT_EQ(msg.ToString(), L"{\"code\":0,\"msg\":\"error\",\"msg_id\":3,\"txt\":\"\u20AC\"}");
    std::wstring text = L"old";
    ErrInfo err = msg.ToString(text);
    EXPECT_TRUE(err);
    EXPECT_EQ(text, msg.ToString()) << "the caller's string is replaced";
}
