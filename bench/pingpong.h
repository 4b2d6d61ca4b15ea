// What the round-trip benchmarks share: percentiles of single round trips, and the reference
// they are measured against, a plain UDP ping-pong between two blocking sockets on 127.0.0.1
// (sendto, the echo thread's recvfrom and sendto, recv).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string_view>
#include <thread>
#include <vector>

namespace bench {

struct Percentiles {
    double P50 = 0, P99 = 0;
};

inline Percentiles Summarise(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

// A UDP socket bound to 127.0.0.1 on a port the kernel chose, which is stored in port.
inline int OpenBoundLoopback(uint16_t& port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
    return fd;
}

// warmUp + count round trips of message; the microseconds of the last count.
inline std::vector<double> PlainPingPong(size_t count, size_t warmUp, std::string_view message) {
    using Clock = std::chrono::steady_clock;
    uint16_t portA = 0, portB = 0;
    const int a = OpenBoundLoopback(portA);
    const int b = OpenBoundLoopback(portB);
    const size_t total = warmUp + count;
    std::thread echo([&] {
        char buf[1500];
        sockaddr_in from{};
        for (size_t i = 0; i < total; ++i) {
            socklen_t len = sizeof(from);
            const ssize_t n = recvfrom(b, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n > 0) sendto(b, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(portB);
    char buf[1500];
    std::vector<double> us;
    us.reserve(count);
    for (size_t i = 0; i < total; ++i) {
        const auto t0 = Clock::now();
        sendto(a, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
        recv(a, buf, sizeof(buf), 0);
        if (i >= warmUp) us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    echo.join();
    close(a);
    close(b);
    return us;
}

} // namespace bench
