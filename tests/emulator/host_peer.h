// The host end of the emulator tests: a plain loopback UDP socket that writes control messages
// by hand and reads the device's datagrams, so nothing of the library's protocol code takes part.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/Qm412Emulator.h"
#include "json/json_object.h"
#include "support/udp_loopback.h"
#include "util/utfconv.h"

namespace emu_test {

using namespace std::chrono_literals;
constexpr auto SafetyNet = std::chrono::seconds(10);

inline std::string Utf8(const JSON::Value& v) { return text::UTF16_UTF8(static_cast<const std::wstring&>(v)); }
inline int64_t Int(const JSON::Value& v) { return static_cast<int64_t>(v); }

// A received control datagram: its JSON object and the raw bytes.
struct Datagram {
    JSON::Value Body;
    std::string Bytes;
    std::string Kind() const { return Utf8(Body[L"msg"]); }
    int64_t MsgId() const { return Int(Body[L"msg_id"]); }
    int64_t AckMsgId() const { return Body.TryGet<int64_t>(L"ack_msg_id", 0); }
};

class Host {
public:
    explicit Host(uint16_t devicePort) : _device(devicePort) {}

    uint16_t Port() const { return _peer.Port(); }
    // For a host whose address the device must know before it starts.
    void SetDevicePort(uint16_t devicePort) { _device = devicePort; }
    const test_support::UdpPeer& Peer() const { return _peer; }

    void SendRaw(const std::string& bytes) const { ASSERT_TRUE(_peer.SendTo(_device, bytes)); }

    // Sends {"msg":kind,"msg_id":id<members>} and a zero byte; members is text such as
    // ,"freq":[1,2]. Returns the id.
    uint32_t Send(const std::string& kind, const std::string& members = "", std::optional<uint32_t> id = {}) {
        const uint32_t msgId = id ? *id : _nextId++;
        std::string text = "{\"msg\":\"" + kind + "\",\"msg_id\":" + std::to_string(msgId) + members + "}";
        text.push_back('\0');
        SendRaw(text);
        return msgId;
    }

    // The next datagram; none when nothing arrives within timeout or it holds no JSON object.
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = SafetyNet) const {
        auto d = _peer.Receive(timeout);
        if (!d) return std::nullopt;
        Datagram out;
        out.Bytes = d->Bytes;
        const size_t zero = out.Bytes.find('\0');
        if (zero == std::string::npos || !JSON::Value::Parse(std::string_view(out.Bytes.data(), zero), out.Body) ||
            out.Body.Type() != JSON::typeObject)
            return std::nullopt;
        return out;
    }

    void Ack(const Datagram& message) {
        Send("ack", ",\"ack_msg_id\":" + std::to_string(message.MsgId()));
    }

    // A request as a host makes it: sent, acknowledged by the device, answered with answerKind,
    // the answer acknowledged. Fails the test when any step does not happen.
    Datagram Ask(const std::string& kind, const std::string& answerKind, const std::string& members = "") {
        const uint32_t id = Send(kind, members);
        // Acknowledgements of anything sent before are passed over.
        auto ack = Receive();
        while (ack && ack->Kind() == "ack" && ack->AckMsgId() != id) ack = Receive();
        EXPECT_TRUE(ack && ack->Kind() == "ack" && ack->AckMsgId() == id) << kind << " not acknowledged";
        auto answer = Receive();
        EXPECT_TRUE(answer && answer->Kind() == answerKind) << kind << " not answered with " << answerKind;
        if (!answer) return {};
        Ack(*answer);
        return *answer;
    }

private:
    test_support::UdpPeer _peer;
    uint16_t _device;
    uint32_t _nextId = 1000;
};

// Polls until done() holds; false after the safety net.
template <class Done>
bool Eventually(Done done) {
    const auto until = std::chrono::steady_clock::now() + SafetyNet;
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

} // namespace emu_test
