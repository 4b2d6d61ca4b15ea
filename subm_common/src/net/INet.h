// The network layer's value types and shared interfaces: the IPv4 address-with-port SockAddr,
// the byte buffer Packet in which datagrams travel, big-endian wire integers, thin socket
// helpers, the event and statistics enumerations, and the interfaces of socket service managers
// (INetManager for users, INetManagerImpl for the sockets) and of UDP sockets (IUdpSock, and the
// IUdpReceiver a user implements).
//
// Threads: every receiver callback of a socket runs on the service thread of the manager that
// created it (see NetManager.h). SockAddr and Packet are plain values without locking; a packet
// belongs to one thread at a time and moves with its pointer.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "diag/ErrInfo.h"

// --- wire integers -------------------------------------------------------------------------------

// An unsigned 16-bit value stored most significant byte first, with no alignment beyond a byte,
// so that it may sit at any offset inside a wire header. Kept a plain aggregate (no
// constructors), so that it may also sit in packed structures.
struct n_uint16_t {
    uint8_t b0;  // bits 15..8
    uint8_t b1;  // bits 7..0

    n_uint16_t& operator=(uint16_t value) noexcept {
        b0 = static_cast<uint8_t>(value >> 8);
        b1 = static_cast<uint8_t>(value);
        return *this;
    }
    operator uint16_t() const noexcept { return static_cast<uint16_t>(b0 << 8 | b1); }
};

// An unsigned 32-bit value stored most significant byte first (b0 holds bits 31..24).
struct n_uint32_t {
    uint8_t b0;
    uint8_t b1;
    uint8_t b2;
    uint8_t b3;

    n_uint32_t& operator=(uint32_t value) noexcept {
        b0 = static_cast<uint8_t>(value >> 24);
        b1 = static_cast<uint8_t>(value >> 16);
        b2 = static_cast<uint8_t>(value >> 8);
        b3 = static_cast<uint8_t>(value);
        return *this;
    }
    operator uint32_t() const noexcept {
        return static_cast<uint32_t>(b0) << 24 | static_cast<uint32_t>(b1) << 16 | static_cast<uint32_t>(b2) << 8 | b3;
    }
};

static_assert(sizeof(n_uint16_t) == 2 && alignof(n_uint16_t) == 1);
static_assert(sizeof(n_uint32_t) == 4 && alignof(n_uint32_t) == 1);

// --- socket helpers ------------------------------------------------------------------------------

using SOCKET = int;  // the system handle
inline constexpr SOCKET INVALID_SOCKET = -1;

void closesocket(SOCKET handle);
// The calling thread's last system error code (errno).
int GetLastSocketError();
bool isConnectInProgress(int code);
// One-time start-up of the socket library; nothing to do on this system.
bool InitWinSocks();

namespace Network {

// --- addresses -----------------------------------------------------------------------------------

// The stored IPv4 socket address: byte for byte the system's sockaddr_in, so that a pointer to
// it goes to bind, sendto and recvfrom unchanged.
struct SockaddrIn {
    uint16_t _Family;   // AF_INET, host byte order
    n_uint16_t _Port;   // network byte order
    uint32_t _Addr;     // network byte order, as the system's address functions store it
    uint8_t _Zero[8];
};

// An IPv4 address and port. Cleared, it is "unset": port 0 and the address marker 0.255.255.0
// (bytes 00 FF FF 00 in memory, the same word in either byte order), which no parse can yield
// as a success. 0.0.0.0 and 255.255.255.255 are ordinary, set addresses. Texts are wide; the
// dotted forms follow the inet_aton rules (shortened, octal and hexadecimal parts accepted) and
// host names are never resolved.
class SockAddr {
public:
    static constexpr uint32_t UnsetAddrMarker = 0x00FFFF00;

    SockAddr() noexcept { Clear(); }
    explicit SockAddr(const char* text) { Set(text); }
    explicit SockAddr(const std::wstring& text) { Set(text); }
    SockAddr(const char* text, long port) { Set(text, port); }
    SockAddr(const std::wstring& text, long port) { Set(text, port); }

    void Clear() noexcept;

    // "address:port": the address before the first colon, the port the decimal number at the
    // start of the text after it (80:90 gives 80, no digits give 0). False, and unset, without
    // a colon or with an address that does not parse.
    bool Set(const char* text);
    bool Set(const std::wstring& text);
    // The address alone; the port's low 16 bits are stored (70000 gives 4464, -1 gives 65535).
    // The result is IsSet(), so the marker address itself gives false.
    bool Set(const char* text, long port);
    bool Set(const std::wstring& text, long port);
    bool SetIP(const std::wstring& text) { return Set(text, 0); }

    bool IsSet() const noexcept { return _SockaddrIn._Addr != UnsetAddrMarker; }
    bool IsAddressAndPortSet() const noexcept { return IsSet() && GetPort() != 0; }
    // The raw address field, network byte order.
    uint32_t GetIPasBin() const noexcept { return _SockaddrIn._Addr; }
    // The port in host byte order.
    uint16_t GetPort() const noexcept { return _SockaddrIn._Port; }

    // "a.b.c.d:port"; a cleared address gives "0.255.255.0:0".
    std::wstring ToString() const;
    std::wstring ToStringWithoutPort() const;

    // Family, address and port; the _Zero bytes do not count.
    bool operator==(const SockAddr& other) const noexcept;
    bool operator!=(const SockAddr& other) const noexcept { return !(*this == other); }
    // Family, then the address word as this host reads it, then the port.
    bool operator<(const SockAddr& other) const noexcept;

    // For the system calls, with length sizeof(sockaddr_in).
    operator sockaddr_in*() noexcept { return reinterpret_cast<sockaddr_in*>(&_SockaddrIn); }
    operator const sockaddr_in*() const noexcept { return reinterpret_cast<const sockaddr_in*>(&_SockaddrIn); }

    SockaddrIn _SockaddrIn;
};

static_assert(sizeof(SockAddr) == sizeof(sockaddr_in));
static_assert(offsetof(SockaddrIn, _Port) == offsetof(sockaddr_in, sin_port));
static_assert(offsetof(SockaddrIn, _Addr) == offsetof(sockaddr_in, sin_addr));

// --- packets -------------------------------------------------------------------------------------

// A byte buffer with a data size (the vector's length) and a buffer size (its capacity).
class Packet {
public:
    using DataBuf = std::vector<uint8_t>;

    // Empty, with room reserved for bufSize bytes.
    explicit Packet(size_t bufSize = 0) { _Data.reserve(bufSize); }
    virtual ~Packet() = default;
    Packet(const Packet&) = default;
    Packet& operator=(const Packet&) = default;

    uint8_t* GetDataPtr() noexcept { return _Data.data(); }
    const uint8_t* GetDataPtr() const noexcept { return _Data.data(); }
    size_t GetDataSize() const noexcept { return _Data.size(); }
    size_t GetBufSize() const noexcept { return _Data.capacity(); }
    // Bytes added by growing are zero.
    void SetDataSize(size_t size) { _Data.resize(size); }
    // Never shrinks the data.
    void SetBufSize(size_t size) { _Data.reserve(size); }
    // Drops the first n bytes; n at or beyond the data size empties the packet.
    void PopFront(size_t n);

    DataBuf _Data;
};

using PacketPtr = std::shared_ptr<Packet>;
using PacketUniqPtr = std::unique_ptr<Packet>;

// A new packet with capacity bufSize and no data.
PacketUniqPtr AllocateUdpPacket(size_t bufSize);

// --- socket kinds, events, statistics ------------------------------------------------------------

enum class SocketType : uint32_t {
    UNDEFINED = 0,
    UDP = 1,
    UDP_DTLS = 2,
    TCP = 3,
    TCP_TLS = 4,
    TCP_SERVER = 5,
};

// Event bits handed to a socket by its manager.
enum SocketEvent : uint32_t {
    IDLE = 1,          // the socket has data waiting to be sent: it may send now
    READ = 2,
    WRITE = 4,
    OOB = 8,
    CLOSE = 16,        // peer hang-up
    ACCEPT = 32,       // a listening socket is readable
    CONNECT = 64,      // a non-blocking connect has completed without error
    SOCK_ERR = 32768,  // error condition; used inside the manager only, never passed on
};

// Duration statistics of a manager, in microseconds.
enum class NetStats : uint32_t {
    Total = 0,            // one service cycle's processing
    Wait = 1,             // inside the epoll wait
    UdpRecv = 2,          // one receive call
    UdpRecvCallback = 3,  // one receiver callback
    UdpSendSleep = 4,     // one back-off sleep of a blocked synchronous send
    UdpSendSync = 5,      // one synchronous send, retries included
    UdpSendAsync = 6,     // one send call on the service thread
    TcpRecv = 7,
    TcpRecvCallback = 8,
    TcpSend = 9,
    TlsHandshake = 10,    // reserved
    NetStatCount = 11,
};

// Event counters of a manager, reset by each statistics line.
enum class NetStatCounters : uint32_t {
    UdpRecvBytes = 0,
    UdpSendSyncBytes = 1,
    UdpSendAsyncBytes = 2,
    UdpSendSyncDrops = 3,
    UdpSendAsyncDrops = 4,
    UdpSendSyncBlocks = 5,
    UdpSendAsyncBlocks = 6,
    TcpRecvBytes = 7,
    TcpSendBytes = 8,
    NetStatCountersCount = 9,
};

// --- interfaces ----------------------------------------------------------------------------------

class BaseSock;
class IUdpSock;
class ITcpSock;
class ITcpListenSock;
class INetManagerMulti;

using IUdpSockPtr = std::shared_ptr<IUdpSock>;
using ITcpSockPtr = std::shared_ptr<ITcpSock>;
using ITcpListenSockPtr = std::shared_ptr<ITcpListenSock>;
using BaseSockPtr = std::shared_ptr<BaseSock>;

// A socket service manager as its users see it. Users reference a manager, never own it; the
// one who created it destroys it through this interface, which stops the service thread and
// closes every socket still serviced.
class INetManager {
public:
    virtual ~INetManager() = default;

    // True when running (at once if already started); false when the system set-up failed.
    virtual bool Start() = 0;
    // Stops the service thread and closes every serviced socket.
    virtual void Stop() = 0;
    virtual bool IsStarted() = 0;
    // A new socket of this manager, not yet open.
    virtual IUdpSockPtr CreateUdpSock() = 0;
    virtual ITcpSockPtr CreateTcpSock() = 0;
    virtual ITcpSockPtr CreateTcpSecureSock() = 0;
    virtual ITcpListenSockPtr CreateTcpListenSock() = 0;
    virtual bool IsLogOn() = 0;
    virtual size_t GetNumSockets() = 0;
    // Sum of the load factors of the serviced sockets.
    virtual uint64_t GetLoadFactor() = 0;
};

// What the sockets of a manager call on it. Socket arguments are the calling socket itself.
class INetManagerImpl : public INetManager {
public:
    virtual const std::wstring& Name() = 0;
    virtual bool LogIsOn() = 0;
    virtual void AddSocketToService(const BaseSockPtr& socket) = 0;
    // Non-blocking mode and event registration; false makes the socket's Open fail.
    virtual bool NotifySocketOpened(BaseSock* socket) = 0;
    // Unregisters the socket and takes it out of the table; called under the socket's lock.
    virtual void NotifySocketClosed(BaseSock* socket) = 0;
    virtual void NotifySocketConnected(BaseSock* socket) = 0;
    // The socket queued data from another thread: wakes the service thread to flush it.
    virtual void NotifyPacketsReadyToSend(BaseSock* socket) = 0;
    // The kernel refused more data: watch the socket for write readiness.
    virtual void NotifySendBlock(BaseSock* socket) = 0;
    virtual void SetParentMultiManager(INetManagerMulti* parent) = 0;
    virtual INetManagerMulti* GetParentMultiManager() = 0;
    // Wakes the service thread from its wait.
    virtual void KickOutOfWaiting() = 0;
    // Adds one duration (ticks of hrt::GetClock) to a statistic.
    virtual void NotifyStatistics(NetStats stat, uint64_t begin, uint64_t end) = 0;
    virtual void NotifyStatCounter(NetStatCounters counter, uint64_t n) = 0;
    virtual void NotifyHandshakeCompleted(BaseSock* socket) = 0;
};

// What a UDP socket reports to its user. Every call runs on the manager's service thread while
// that thread holds the socket's lock; calls of one socket never overlap.
class IUdpReceiver {
public:
    virtual ~IUdpReceiver() = default;
    // packet: owned by the receiver from now on; its data size is the datagram's length.
    virtual void OnDatagramReceived(IUdpSock* socket, PacketUniqPtr packet, const SockAddr& from) = 0;
    virtual void OnError(IUdpSock* socket, ErrInfo error) = 0;
    virtual void OnClose(IUdpSock* socket, ErrInfo error) = 0;
};

// Not owned: the receiver outlives the socket or closes it first.
using IUdpSockCallback = IUdpReceiver*;

// Settings of a UDP socket.
struct UdpSockInfo {
    SockAddr RecvAddr;           // local address to bind; unset: not bound
    SockAddr SendAddr;           // destination when a send names none
    bool Broadcast = false;      // allow sending to broadcast addresses
    bool Multicast = false;      // RecvAddr is a group to join
    SockAddr InterfaceAddr;      // multicast interface; unset means 127.0.0.1
    uint32_t PacketSize = 1472;  // receive buffer per datagram; longer datagrams are cut
    uint32_t LoadFactor = 1000;  // weight of this socket in its manager's load
    IUdpSockCallback Receiver = nullptr;
    bool SendModeSync = true;    // send on the caller's thread; false: queue for the service thread
    uint32_t SendQueueLen = 100; // capacity of the asynchronous queue
    bool SendRetry = true;       // on a full kernel send buffer: retry (true) or drop (false)

    IUdpSockCallback GetCallback() const noexcept { return Receiver; }
    void ResetCallback() noexcept { Receiver = nullptr; }
};

// A UDP socket serviced by a manager. Only a socket that was opened with a receive address and
// a port reads; datagrams reaching any other open socket are discarded.
//
// Threads: Open, Close, SetSendAddr and synchronous sends may come from any thread and take the
// socket's lock. Asynchronous sends take no lock: at most one thread at a time may send on a
// socket in that mode.
class IUdpSock {
public:
    virtual ~IUdpSock() = default;

    virtual INetManager& GetNetManager() = 0;
    // Creates, configures, binds and registers the system socket. A socket that failed after
    // its system socket was made, or was closed, cannot be opened again: create a new one.
    virtual ErrInfo Open(const UdpSockInfo& settings) = 0;
    // Once it returns, no further callback of this socket starts. Safe to repeat.
    virtual void Close() = 0;
    virtual ErrInfo SetSendAddr(const SockAddr& addr) = 0;
    // addr unset: the SendAddr of the settings.
    virtual ErrInfo Send(const void* bytes, size_t length, const SockAddr& addr) = 0;
    // In asynchronous mode the shared packet is queued without copying.
    virtual ErrInfo Send(const PacketPtr& packet, const SockAddr& addr) = 0;
    virtual ErrInfo Send(PacketUniqPtr packet, const SockAddr& addr) = 0;
    virtual UdpSockInfo GetUdpSockInfo() = 0;
    // The socket that owns the system handle (for a plain UDP socket, itself).
    virtual IUdpSockPtr GetUdpSockPtr() = 0;
};

// --- TCP -----------------------------------------------------------------------------------------

enum class SockConnectState : uint32_t {
    Disconnected = 0,
    Connecting = 1,
    Connected = 2,
};

// What a stream socket reports to its user. Every call runs on the service thread of the
// socket's manager while that thread holds the socket's lock; calls of one socket never overlap.
class ITcpSockManager {
public:
    virtual ~ITcpSockManager() = default;
    // The outgoing connection is established: sending is possible from now on.
    virtual void OnConnect(ITcpSock* socket) = 0;
    // The bytes in the order received, cut wherever a read happened to end. The result is not used.
    virtual bool OnDataReceived(ITcpSock* socket, const PacketPtr& packet) = 0;
    // A failed or timed-out outgoing connect comes here too; the socket is closed after it.
    virtual void OnError(ITcpSock* socket, ErrInfo error) = 0;
    // The connection has ended; the socket is closed when the call returns.
    virtual void OnClose(ITcpSock* socket, ErrInfo error) = 0;
};

// Not owned: the callback object outlives the socket or closes it first.
using ITcpSockCallback = ITcpSockManager*;

// Settings of a stream socket.
struct TcpSockInfo {
    SockAddr LocalAddr;              // local address to bind; unset: no bind
    SockAddr RemoteAddr;             // the peer: where to connect, or where an accepted connection came from
    uint32_t SendPacketSize = 8192;  // a byte buffer is queued in packets of at most this size
    uint32_t RecvPacketSize = 8192;  // bytes per receive call
    uint32_t LoadFactor = 1000;      // weight of this socket in its manager's load
    ITcpSockCallback SockManager = nullptr;
    bool Secured = false;            // not acted upon
    uint32_t ConnectTimeout = 0;     // ms an outgoing connect may take; 0: the system's own limit

    ITcpSockCallback GetCallback() const noexcept { return SockManager; }
    void ResetCallback() noexcept { SockManager = nullptr; }
};

// A stream socket serviced by a manager: connects out without blocking (or wraps an accepted
// connection), queues outgoing packets for the service thread and hands incoming bytes to its
// callback object.
//
// Threads: any thread may open, send and close; every write to the system happens on the
// service thread. A socket that was closed cannot be opened again: create a new one.
class ITcpSock {
public:
    virtual ~ITcpSock() = default;

    virtual INetManager& GetNetManager() = 0;
    // Starts a non-blocking connect to RemoteAddr; OnConnect follows on the service thread.
    virtual ErrInfo Open(const TcpSockInfo& info) = 0;
    // Once it returns, no further callback of this socket starts. Safe to repeat.
    virtual void Close() = 0;
    // Copies the bytes into packets of at most SendPacketSize bytes and queues them.
    virtual ErrInfo Send(const void* bytes, size_t length) = 0;
    // Queues count packets in one step. Queued packets are not modified and may be shared.
    virtual ErrInfo Send(const PacketPtr* packets, size_t count) = 0;
    virtual ErrInfo Send(const PacketPtr& packet) = 0;
    virtual TcpSockInfo GetTcpSockInfo() = 0;
    virtual SockConnectState GetConnectState() = 0;
    virtual void LogRecord(const std::wstring& text) = 0;
    // Packets queued and not yet fully sent.
    virtual size_t GetQueueSize() = 0;
    virtual bool IsHandleValid() const = 0;
};

// What a listening socket reports to its user, on the service thread of its manager while that
// thread holds the listener's lock.
class ITcpListenSockManager {
public:
    virtual ~ITcpListenSockManager() = default;
    // A connection arrived: the callback object for it, or null to refuse it (it is closed at
    // once). The new socket is serviced only after this returns, so nothing it receives is
    // delivered before it has its callback object.
    virtual ITcpSockCallback OnAccept(ITcpListenSock* listener, const ITcpSockPtr& socket) = 0;
    virtual void OnError(ITcpListenSock* listener, ErrInfo error) = 0;
};

using ITcpListenSockCallback = ITcpListenSockManager*;

// Settings of a listening socket: the inherited fields give the listening address (LocalAddr)
// and are copied into every accepted connection; SockManager here is the listener's own.
struct TcpListenSockInfo : TcpSockInfo {
    ITcpListenSockCallback SockManager = nullptr;

    ITcpListenSockCallback GetCallback() const noexcept { return SockManager; }
    void ResetCallback() noexcept { SockManager = nullptr; }
};

// A listening stream socket serviced by a manager. Without a callback object it does not watch
// for connections at all.
class ITcpListenSock {
public:
    virtual ~ITcpListenSock() = default;

    virtual INetManager& GetNetManager() = 0;
    // Binds to LocalAddr and listens.
    virtual ErrInfo Open(const TcpListenSockInfo& info) = 0;
    virtual void Close() = 0;
};

// A new UDP socket of manager, in its table, not yet open.
inline IUdpSockPtr CreateUdpSock(INetManager& manager) { return manager.CreateUdpSock(); }

// A new socket of manager that keeps retrying a failed Open in the background (UdpSockAuto.h).
IUdpSockPtr CreateUdpSockAuto(INetManager& manager);

// Creates socket service managers.
class NetFactory {
public:
    // name: identifies the manager in log lines and selects its log switches. autoStart: start
    // the service thread before returning. The caller owns the result and deletes it through
    // INetManager. numThreads 0 or 1 gives a single manager with one service thread; more give a
    // pool of that many managers (NetManagerMulti.h).
    static INetManager* CreateNetManager(const std::wstring& name, bool autoStart, unsigned numThreads);
    // A pool of numThreads managers, at least 2, named "<name>:0", "<name>:1", ...
    static INetManagerMulti* CreateNetManagerMulti(const std::wstring& name, bool autoStart, unsigned numThreads);
};

} // namespace Network
