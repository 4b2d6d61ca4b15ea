#include "LocalNet.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace cli {

namespace {

bool ToSockaddr(const std::string& address, uint16_t port, sockaddr_in& out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

// A bound UDP socket, or -1.
int BoundSocket(const std::string& address, uint16_t port) {
    sockaddr_in addr;
    if (!ToSockaddr(address, port, addr)) return -1;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

} // namespace

std::string LocalAddressFor(const std::string& remote) {
    sockaddr_in to;
    if (!ToSockaddr(remote, 9, to)) return "0.0.0.0";
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return "0.0.0.0";
    // Connecting a datagram socket only picks the route; a broadcast destination needs the flag.
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    std::string result = "0.0.0.0";
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0) {
        char text[INET_ADDRSTRLEN] = {};
        if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof text)) result = text;
    }
    close(fd);
    return result;
}

uint16_t FreeUdpPort(const std::string& address) {
    const int fd = BoundSocket(address, 0);
    if (fd < 0) return 0;
    const uint16_t port = BoundPort(fd);
    close(fd);
    return port;
}

uint16_t FreeRtpPortBase(const std::string& address, uint32_t count) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const uint16_t first = FreeUdpPort(address);
        if (first < 1026 || first > 65535 - 2 * count) continue;
        std::vector<int> held;
        for (uint32_t i = 0; i < count; ++i) {
            const int fd = BoundSocket(address, static_cast<uint16_t>(first + 2 * i));
            if (fd < 0) break;
            held.push_back(fd);
        }
        const bool all = held.size() == count;
        for (int fd : held) close(fd);
        if (all) return static_cast<uint16_t>(first - 2);
    }
    return 0;
}

} // namespace cli
