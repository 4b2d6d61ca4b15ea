// Addresses, wire integers and packets: parsing by the inet_aton rules, the unset marker, the
// system layout that the socket calls rely on, formatting, ordering, and the packet buffer.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <bit>
#include <cstring>
#include <string>

#include "net/INet.h"

namespace {

using Network::AllocateUdpPacket;
using Network::Packet;
using Network::SockAddr;

struct ParseCase {
    const char* text;
    bool ok;
    const char* address;  // expected dotted address when ok
    uint16_t port;
};

TEST(SockAddr, ParsesAddressAndPortText) {
    const ParseCase cases[] = {
        {"192.168.1.10:5004", true, "192.168.1.10", 5004},
        {"192.168.1.10:", true, "192.168.1.10", 0},        // bare colon: port 0
        {"192.168.1.10", false, nullptr, 0},               // no colon
        {"localhost:80", false, nullptr, 0},               // never resolved
        {"10.1:80", true, "10.0.0.1", 80},                 // two-part form
        {"127.1:7", true, "127.0.0.1", 7},
        {"2130706433:5", true, "127.0.0.1", 5},            // one-part form
        {"0x7f.0.0.1:9", true, "127.0.0.1", 9},            // hexadecimal part
        {"010.0.0.1:9", true, "8.0.0.1", 9},               // octal part
        {"0.0.0.0:0", true, "0.0.0.0", 0},                 // wildcard is an ordinary address
        {"255.255.255.255:1", true, "255.255.255.255", 1},
        {"0.255.255.0:1", false, nullptr, 0},              // the unset marker itself
        {"1.2.3.4:70000", true, "1.2.3.4", 4464},          // low 16 bits
        {"1.2.3.4:-1", true, "1.2.3.4", 65535},
        {"1.2.3.4:80:90", true, "1.2.3.4", 80},            // first colon; reading stops at a non-digit
        {"1.2.3.4:abc", true, "1.2.3.4", 0},
        {"1.2.3.4: +42", true, "1.2.3.4", 42},             // white space and sign accepted
        {"256.1.1.1:1", false, nullptr, 0},
        {"1.2.3.4.5:1", false, nullptr, 0},
        {":80", false, nullptr, 0},
        {"", false, nullptr, 0},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.text);
        SockAddr narrow;
        SockAddr wide;
        const std::wstring wideText(c.text, c.text + std::strlen(c.text));
        EXPECT_EQ(narrow.Set(c.text), c.ok);
        EXPECT_EQ(wide.Set(wideText), c.ok);
        for (const SockAddr* a : {&narrow, &wide}) {
            if (!c.ok) {
                EXPECT_FALSE(a->IsSet()) << "a failed parse leaves the address unset";
                continue;
            }
            EXPECT_TRUE(a->IsSet());
            EXPECT_EQ(a->GetIPasBin(), inet_addr(c.address));
            EXPECT_EQ(a->GetPort(), c.port);
            EXPECT_EQ(a->IsAddressAndPortSet(), c.port != 0);
        }
        EXPECT_EQ(narrow, wide);
    }
}

TEST(SockAddr, ParsesAddressWithSeparatePort) {
    SockAddr a;
    EXPECT_TRUE(a.Set("10.1", 70000));
    EXPECT_EQ(a.ToString(), L"10.0.0.1:4464");
    EXPECT_FALSE(a.Set(nullptr, 1));
    EXPECT_FALSE(a.IsSet());
    EXPECT_FALSE(a.Set("", 1));
    EXPECT_FALSE(a.Set(std::wstring(), 1));
    EXPECT_FALSE(a.Set("0.255.255.0", 5)) << "parses, but is the unset marker";
    EXPECT_FALSE(a.Set(L"1.2.3.\u00e9", 1)) << "non-ASCII text is no address";

    EXPECT_TRUE(a.SetIP(L"192.168.1.10"));
    EXPECT_TRUE(a.IsSet());
    EXPECT_FALSE(a.IsAddressAndPortSet());
    EXPECT_EQ(a.ToString(), L"192.168.1.10:0");
    EXPECT_EQ(a.ToStringWithoutPort(), L"192.168.1.10");

    EXPECT_EQ(SockAddr("127.0.0.1", 9), SockAddr("127.0.0.1:9"));
    EXPECT_EQ(SockAddr(L"127.0.0.1", 9), SockAddr(L"127.0.0.1:9"));
}

TEST(SockAddr, HasTheSystemLayoutAndAnUnsetMarker) {
    SockAddr cleared;
    const auto* raw = reinterpret_cast<const unsigned char*>(&cleared);
    EXPECT_EQ(sizeof(cleared), sizeof(sockaddr_in));
    const unsigned char marker[4] = {0x00, 0xFF, 0xFF, 0x00};
    EXPECT_EQ(std::memcmp(raw + 4, marker, 4), 0);
    for (int i = 8; i < 16; ++i) EXPECT_EQ(raw[i], 0) << i;
    EXPECT_FALSE(cleared.IsSet());
    EXPECT_EQ(cleared.ToString(), L"0.255.255.0:0");

    SockAddr a("192.168.1.10:5004");
    const sockaddr_in* in = a;
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(ntohs(in->sin_port), 5004);
    EXPECT_EQ(in->sin_addr.s_addr, inet_addr("192.168.1.10"));
    EXPECT_EQ(a.ToString(), L"192.168.1.10:5004");

    a.Clear();
    EXPECT_FALSE(a.IsSet());
    EXPECT_EQ(a, SockAddr());
}

TEST(SockAddr, ComparesFamilyAddressAndPortOnly) {
    SockAddr a("10.0.0.1:80");
    SockAddr b = a;
    b._SockaddrIn._Zero[3] = 0x55;
    EXPECT_EQ(a, b) << "the padding bytes do not count";
    EXPECT_FALSE(a < b);
    EXPECT_FALSE(b < a);

    EXPECT_NE(a, SockAddr("10.0.0.1:81"));
    EXPECT_LT(a, SockAddr("10.0.0.1:81"));
    EXPECT_FALSE(SockAddr("10.0.0.1:81") < a);
    EXPECT_NE(a, SockAddr("10.0.0.2:80"));

    // The address word is compared as the host reads the stored network-order bytes.
    const SockAddr x("2.0.0.1:9");
    const SockAddr y("1.0.0.2:9");
    uint32_t wx;
    uint32_t wy;
    std::memcpy(&wx, &x._SockaddrIn._Addr, 4);
    std::memcpy(&wy, &y._SockaddrIn._Addr, 4);
    EXPECT_EQ(x < y, wx < wy);
    EXPECT_EQ(y < x, wy < wx);
    if constexpr (std::endian::native == std::endian::little) {
        EXPECT_LT(x, y) << "the last octet weighs most";
    }
    // The address outweighs the port.
    EXPECT_EQ(SockAddr("2.0.0.1:1") < SockAddr("1.0.0.2:65535"), wx < wy);
}

TEST(WireIntegers, StoreMostSignificantByteFirstAtAnyOffset) {
    struct __attribute__((packed)) Header {
        uint8_t lead;
        n_uint16_t u16;
        n_uint32_t u32;
    };
    static_assert(sizeof(Header) == 7);
    Header h{};
    h.u16 = 0x1234;
    h.u32 = 0x89ABCDEFu;
    const auto* raw = reinterpret_cast<const unsigned char*>(&h);
    const unsigned char expected[] = {0x00, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF};
    EXPECT_EQ(std::memcmp(raw, expected, sizeof(expected)), 0);
    EXPECT_EQ(static_cast<uint16_t>(h.u16), 0x1234);
    EXPECT_EQ(static_cast<uint32_t>(h.u32), 0x89ABCDEFu);
    n_uint16_t big;
    big = 0xFFFF;
    EXPECT_EQ(static_cast<uint16_t>(big), 0xFFFF);
}

TEST(Packet, KeepsDataAndCapacityApart) {
    Network::PacketUniqPtr p = AllocateUdpPacket(1472);
    EXPECT_EQ(p->GetDataSize(), 0u);
    EXPECT_EQ(p->GetBufSize(), 1472u);

    Packet q;
    q.SetDataSize(8);
    ASSERT_EQ(q.GetDataSize(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(q.GetDataPtr()[i], 0) << "grown bytes are zero";
    q.SetBufSize(2);
    EXPECT_EQ(q.GetDataSize(), 8u) << "the buffer size never cuts the data";
}

TEST(Packet, PopFrontKeepsTheRestInOrder) {
    const struct {
        size_t n;
        std::string left;
    } cases[] = {{0, "0123456789"}, {3, "3456789"}, {9, "9"}, {10, ""}, {25, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        Packet p;
        p._Data.assign({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'});
        p.PopFront(c.n);
        EXPECT_EQ(std::string(p._Data.begin(), p._Data.end()), c.left);
    }
}

} // namespace
