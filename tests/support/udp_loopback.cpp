#include "support/udp_loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace test_support {

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A socket bound to 127.0.0.1:port (0: a port the kernel chooses) and the port it got; -1 on
// failure.
int BindLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr = Loopback(port);
    socklen_t length = sizeof(addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

} // namespace

UdpPeer::UdpPeer() {
    _fd = BindLoopback(_port);
    if (_fd < 0) throw std::runtime_error("UdpPeer: cannot bind a UDP socket to 127.0.0.1");
}

UdpPeer::~UdpPeer() {
    if (_fd >= 0) close(_fd);
}

bool UdpPeer::SendTo(uint16_t port, std::string_view bytes) const {
    const sockaddr_in to = Loopback(port);
    return sendto(_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<UdpPeer::Datagram> UdpPeer::Receive(std::chrono::milliseconds timeout) const {
    pollfd p{_fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) return std::nullopt;
    std::string buf(65536, '\0');
    sockaddr_in from{};
    socklen_t length = sizeof(from);
    const ssize_t n = recvfrom(_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return std::nullopt;
    buf.resize(static_cast<size_t>(n));
    return Datagram{std::move(buf), ntohs(from.sin_port)};
}

uint16_t FreeLoopbackPort() {
    uint16_t port = 0;
    const int fd = BindLoopback(port);
    if (fd < 0) return 0;
    close(fd);
    return port;
}

bool CanBindLoopback(uint16_t port) {
    const int fd = BindLoopback(port);
    if (fd < 0) return false;
    close(fd);
    return true;
}

RtpPortBlock::RtpPortBlock(uint32_t units) {
    for (int attempt = 0; attempt < 50 && _base == 0; ++attempt) {
        const uint16_t first = FreeLoopbackPort();
        if (first < 1026 || first > 65535 - 2 * units) continue;
        std::vector<int> held;
        for (uint32_t i = 0; i < units; ++i) {
            uint16_t port = static_cast<uint16_t>(first + 2 * i);
            const int fd = BindLoopback(port);
            if (fd < 0) break;
            held.push_back(fd);
        }
        if (held.size() == units) {
            _base = static_cast<uint16_t>(first - 2);
            _fds = held;
        } else {
            for (int fd : held) close(fd);
        }
    }
}

RtpPortBlock::~RtpPortBlock() { Release(); }

void RtpPortBlock::Release() {
    for (int fd : _fds) close(fd);
    _fds.clear();
}

Network::IUdpSockPtr OpenOnLoopback(Network::INetManager& manager, Network::UdpSockInfo settings) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const uint16_t port = FreeLoopbackPort();
        if (port == 0) return nullptr;
        settings.RecvAddr = Network::SockAddr("127.0.0.1", port);
        Network::IUdpSockPtr socket = manager.CreateUdpSock();
        if (!socket) return nullptr;
        ErrInfo result = socket->Open(settings);
        if (result.IsOk()) return socket;
        const bool taken = result.GetErrorCode() == EADDRINUSE;
        result.Silent();
        if (!taken) return nullptr;
    }
    return nullptr;
}

std::wstring FirstLine(const ErrInfo& error) {
    const std::wstring& text = error.GetErrorStr();
    return text.substr(0, text.find(L'\r'));
}

void RecordingReceiver::OnDatagramReceived(Network::IUdpSock* socket, Network::PacketUniqPtr packet,
                                           const Network::SockAddr& from) {
    if (OnEach) OnEach(socket, *packet);
    Received r;
    r.Bytes.assign(reinterpret_cast<const char*>(packet->GetDataPtr()), packet->GetDataSize());
    r.From = from;
    r.Socket = socket;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _datagrams.push_back(std::move(r));
    }
    _changed.notify_all();
}

void RecordingReceiver::OnError(Network::IUdpSock* socket, ErrInfo error) {
    Error e{FirstLine(error), error.GetErrorCode(), error.IsSilent(), socket};
    error.Silent();  // recorded; the test decides what it means
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _errors.push_back(std::move(e));
    }
    _changed.notify_all();
}

void RecordingReceiver::OnClose(Network::IUdpSock* socket, ErrInfo error) {
    Error e{FirstLine(error), error.GetErrorCode(), error.IsSilent(), socket};
    error.Silent();
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _closes.push_back(std::move(e));
    }
    _changed.notify_all();
}

bool RecordingReceiver::WaitForDatagrams(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return _datagrams.size() >= count; });
}

bool RecordingReceiver::WaitForErrors(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, timeout, [&] { return _errors.size() >= count; });
}

std::vector<RecordingReceiver::Received> RecordingReceiver::Datagrams() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _datagrams;
}

std::vector<RecordingReceiver::Error> RecordingReceiver::Errors() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _errors;
}

std::vector<RecordingReceiver::Error> RecordingReceiver::Closes() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _closes;
}

} // namespace test_support
