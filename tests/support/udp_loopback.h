// UDP on 127.0.0.1 for tests: a plain POSIX peer socket on a kernel-chosen port (independent of
// the library, so a fault of the library cannot hide in both ends), opening a library socket on
// a free loopback port, and a receiver that records what a socket delivers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/INet.h"

namespace test_support {

// A UDP socket bound to 127.0.0.1 with the port the kernel chose.
class UdpPeer {
public:
    struct Datagram {
        std::string Bytes;
        uint16_t FromPort = 0;
    };

    // Throws std::runtime_error when the socket cannot be made.
    UdpPeer();
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    int Handle() const { return _fd; }
    uint16_t Port() const { return _port; }
    Network::SockAddr Addr() const { return Network::SockAddr("127.0.0.1", _port); }

    // One datagram to 127.0.0.1:port; false when the system refuses it.
    bool SendTo(uint16_t port, std::string_view bytes) const;
    // Waits for one datagram; empty when none arrives in time (a safety net, not a measurement).
    std::optional<Datagram> Receive(std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    int _fd = -1;
    uint16_t _port = 0;
};

// A port the kernel hands out for 127.0.0.1 (bound to 0, read back, released).
uint16_t FreeLoopbackPort();

// Whether a plain socket could bind 127.0.0.1:port now.
bool CanBindLoopback(uint16_t port);

// Holds plain sockets on the receive ports base + 2, base + 4, … of `units` RTP channels on
// 127.0.0.1 until released, so that the ports are known free when the code under test binds
// them right after Release. Base() is 0 when no such run was found.
class RtpPortBlock {
public:
    explicit RtpPortBlock(uint32_t units);
    ~RtpPortBlock();
    RtpPortBlock(const RtpPortBlock&) = delete;
    RtpPortBlock& operator=(const RtpPortBlock&) = delete;

    uint16_t Base() const { return _base; }
    void Release();

private:
    uint16_t _base = 0;
    std::vector<int> _fds;
};

// Opens a new socket of manager with settings whose RecvAddr is 127.0.0.1 and a free port. The
// port is free when probed but may be taken before the socket binds it: a refused bind is
// retried with a new socket and another port. Empty when it cannot be opened.
Network::IUdpSockPtr OpenOnLoopback(Network::INetManager& manager, Network::UdpSockInfo settings);

// Records every callback of the sockets it serves; the waits block on a condition.
class RecordingReceiver : public Network::IUdpReceiver {
public:
    struct Received {
        std::string Bytes;
        Network::SockAddr From;
        Network::IUdpSock* Socket = nullptr;
    };
    struct Error {
        std::wstring Text;  // the first line of the error's text
        uint32_t Code = 0;
        bool Silent = false;
        Network::IUdpSock* Socket = nullptr;
    };

    // Runs on the service thread for each datagram, before it is recorded.
    std::function<void(Network::IUdpSock*, const Network::Packet&)> OnEach;

    void OnDatagramReceived(Network::IUdpSock* socket, Network::PacketUniqPtr packet,
                            const Network::SockAddr& from) override;
    void OnError(Network::IUdpSock* socket, ErrInfo error) override;
    void OnClose(Network::IUdpSock* socket, ErrInfo error) override;

    bool WaitForDatagrams(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    bool WaitForErrors(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    std::vector<Received> Datagrams() const;
    std::vector<Error> Errors() const;
    std::vector<Error> Closes() const;

private:
    mutable std::mutex _mutex;
    mutable std::condition_variable _changed;
    std::vector<Received> _datagrams;  // guarded by _mutex
    std::vector<Error> _errors;        // guarded by _mutex
    std::vector<Error> _closes;        // guarded by _mutex
};

// The first line of an error record's text (the later lines are context the record gathered).
std::wstring FirstLine(const ErrInfo& error);

} // namespace test_support
