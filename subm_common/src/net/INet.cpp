#include "net/INet.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "util/utfconv.h"

void closesocket(SOCKET handle) {
    // Not retried on EINTR: on Linux the descriptor is gone whatever close reports.
    ::close(handle);
}

int GetLastSocketError() { return errno; }

bool isConnectInProgress(int code) { return code == EINPROGRESS; }

bool InitWinSocks() { return true; }

namespace Network {

namespace {

std::wstring Widen(const char* ascii) {
    std::wstring out;
    for (; *ascii; ++ascii) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*ascii)));
    return out;
}

} // namespace

void SockAddr::Clear() noexcept {
    _SockaddrIn._Family = AF_INET;
    _SockaddrIn._Port = 0;
    _SockaddrIn._Addr = UnsetAddrMarker;
    std::memset(_SockaddrIn._Zero, 0, sizeof(_SockaddrIn._Zero));
}

bool SockAddr::Set(const char* text) {
    Clear();
    if (text == nullptr) return false;
    const char* colon = std::strchr(text, ':');
    if (colon == nullptr) return false;
    const long port = std::strtol(colon + 1, nullptr, 10);
    const std::string address(text, static_cast<size_t>(colon - text));
    return Set(address.c_str(), port);
}

bool SockAddr::Set(const std::wstring& text) {
    Clear();
    if (text.empty()) return false;
    return Set(text::UTF16_UTF8(text).c_str());
}

bool SockAddr::Set(const char* text, long port) {
    Clear();
    if (text == nullptr || *text == '\0') return false;
    in_addr parsed{};
    if (inet_aton(text, &parsed) == 0) return false;
    _SockaddrIn._Addr = parsed.s_addr;
    _SockaddrIn._Port = static_cast<uint16_t>(port);
    return IsSet();
}

bool SockAddr::Set(const std::wstring& text, long port) {
    Clear();
    if (text.empty()) return false;
    return Set(text::UTF16_UTF8(text).c_str(), port);
}

std::wstring SockAddr::ToStringWithoutPort() const {
    char buf[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &_SockaddrIn._Addr, buf, sizeof(buf)) == nullptr) return std::wstring();
    return Widen(buf);
}

std::wstring SockAddr::ToString() const {
    std::wstring out = ToStringWithoutPort();
    if (out.empty()) return out;
    out += L':';
    out += std::to_wstring(GetPort());
    return out;
}

bool SockAddr::operator==(const SockAddr& other) const noexcept {
    return _SockaddrIn._Family == other._SockaddrIn._Family && _SockaddrIn._Addr == other._SockaddrIn._Addr &&
           GetPort() == other.GetPort();
}

bool SockAddr::operator<(const SockAddr& other) const noexcept {
    if (_SockaddrIn._Family != other._SockaddrIn._Family) return _SockaddrIn._Family < other._SockaddrIn._Family;
    if (_SockaddrIn._Addr != other._SockaddrIn._Addr) return _SockaddrIn._Addr < other._SockaddrIn._Addr;
    return GetPort() < other.GetPort();
}

void Packet::PopFront(size_t n) {
    if (n >= _Data.size()) {
        _Data.clear();
        return;
    }
    _Data.erase(_Data.begin(), _Data.begin() + static_cast<std::ptrdiff_t>(n));
}

PacketUniqPtr AllocateUdpPacket(size_t bufSize) { return std::make_unique<Packet>(bufSize); }

} // namespace Network
