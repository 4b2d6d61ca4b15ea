// The manager pool on 127.0.0.1: how many members it has, where sockets land as loads change,
// batches, the factory's choice between a pool and a single manager, and that each member's
// own service thread serves its sockets.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "net/NetManagerMulti.h"
#include "support/udp_loopback.h"

namespace {

using Network::INetManager;
using Network::INetManagerImpl;
using Network::INetManagerMulti;
using Network::IUdpSockPtr;
using Network::NetFactory;
using test_support::RecordingReceiver;

std::unique_ptr<INetManagerMulti> Pool(const std::wstring& name, unsigned threads, bool start = false) {
    return std::unique_ptr<INetManagerMulti>(NetFactory::CreateNetManagerMulti(name, start, threads));
}

// The name of the member that serves s, "<pool>:<j>".
std::wstring MemberOf(const IUdpSockPtr& s) {
    return s ? dynamic_cast<INetManagerImpl&>(s->GetNetManager()).Name() : std::wstring(L"<none>");
}

TEST(NetManagerMulti, SocketsMadeOneByOneGoRoundTheMembers) {
    const struct {
        unsigned threads;
        std::vector<std::wstring> members;  // of successive sockets
    } cases[] = {
        {0, {L"p:0", L"p:1", L"p:0"}},  // never fewer than two members
        {1, {L"p:0", L"p:1", L"p:0"}},
        {3, {L"p:0", L"p:1", L"p:2", L"p:0", L"p:1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.threads);
        auto pool = Pool(L"p", c.threads);
        std::vector<IUdpSockPtr> sockets;
        for (const std::wstring& expected : c.members) {
            sockets.push_back(pool->CreateUdpSock());
            EXPECT_EQ(MemberOf(sockets.back()), expected);
            EXPECT_EQ(dynamic_cast<INetManagerImpl&>(sockets.back()->GetNetManager()).GetParentMultiManager(),
                      pool.get());
        }
        EXPECT_EQ(pool->GetNumSockets(), c.members.size());
        EXPECT_EQ(pool->GetLoadFactor(), 1000u * c.members.size());
        for (const auto& s : sockets) s->Close();
        EXPECT_EQ(pool->GetNumSockets(), 0u);
    }
}

// Closing sockets lowers their member's load, and the next sockets follow the lower load.
TEST(NetManagerMulti, NewSocketsGoToTheLeastLoadedMember) {
    auto pool = Pool(L"load", 2);
    IUdpSockPtr a = pool->CreateUdpSock();
    IUdpSockPtr b = pool->CreateUdpSock();
    IUdpSockPtr c = pool->CreateUdpSock();
    ASSERT_EQ(MemberOf(b), L"load:1");
    b->Close();  // loads now 2000 and 0
    EXPECT_EQ(dynamic_cast<INetManagerImpl&>(pool->GetLeastLoadedNetManager()).Name(), L"load:1");
    IUdpSockPtr d = pool->CreateUdpSock();
    IUdpSockPtr e = pool->CreateUdpSock();
    IUdpSockPtr f = pool->CreateUdpSock();  // a tie at 2000: the earlier member
    EXPECT_EQ(MemberOf(d), L"load:1");
    EXPECT_EQ(MemberOf(e), L"load:1");
    EXPECT_EQ(MemberOf(f), L"load:0");
    for (const auto& s : {a, c, d, e, f}) s->Close();
}

// A socket opened with its own load factor counts with it while open, and closing it takes
// away exactly what it added, so the totals that steer placement never drift or wrap.
TEST(NetManagerMulti, OpenWithAnotherLoadFactorKeepsTheTotalsExact) {
    auto pool = Pool(L"weight", 2, true);
    RecordingReceiver receiver;
    Network::UdpSockInfo heavy;
    heavy.Receiver = &receiver;
    heavy.LoadFactor = 5000;
    IUdpSockPtr a = test_support::OpenOnLoopback(*pool, heavy);
    ASSERT_TRUE(a);
    EXPECT_EQ(pool->GetLoadFactor(), 5000u);
    IUdpSockPtr b = pool->CreateUdpSock();  // the other member, now far lighter
    EXPECT_NE(MemberOf(b), MemberOf(a));
    a->Close();
    EXPECT_EQ(pool->GetLoadFactor(), 1000u) << "the closed socket took away its 5000, no more";
    b->Close();
    EXPECT_EQ(pool->GetLoadFactor(), 0u);
}

TEST(NetManagerMulti, ABatchSharesOneMember) {
    auto pool = Pool(L"batch", 2);
    EXPECT_TRUE(pool->CreateUdpSocks(0).empty());
    const std::vector<IUdpSockPtr> first = pool->CreateUdpSocks(3);
    ASSERT_EQ(first.size(), 3u);
    for (const auto& s : first) EXPECT_EQ(MemberOf(s), L"batch:0");
    const std::vector<IUdpSockPtr> second = pool->CreateUdpSocks(2);
    ASSERT_EQ(second.size(), 2u);
    for (const auto& s : second) EXPECT_EQ(MemberOf(s), L"batch:1");
    // The pool offers no secured sockets: the batch is the one empty pointer of its first try.
    const auto secured = pool->CreateTcpSecureSocks(4);
    ASSERT_EQ(secured.size(), 1u);
    EXPECT_EQ(secured[0], nullptr);
    for (const auto& s : first) s->Close();
    for (const auto& s : second) s->Close();
}

TEST(NetManagerMulti, TheFactoryMakesAPoolForMoreThanOneThread) {
    for (unsigned threads : {0u, 1u, 2u, 4u}) {
        SCOPED_TRACE(threads);
        std::unique_ptr<INetManager> manager(NetFactory::CreateNetManager(L"factory", false, threads));
        ASSERT_NE(manager, nullptr);
        EXPECT_EQ(dynamic_cast<INetManagerMulti*>(manager.get()) != nullptr, threads > 1);
    }
}

// Each member's service thread serves its own sockets; Stop stops every member and closes
// what they serve.
TEST(NetManagerMulti, MembersServeTheirSocketsOnTheirOwnThreads) {
    RecordingReceiver receivers[2];
    std::atomic<long> threadOf[2] = {0, 0};
    auto pool = Pool(L"serve", 2, true);
    EXPECT_TRUE(pool->IsStarted());
    test_support::UdpPeer peer;
    std::vector<IUdpSockPtr> sockets;
    for (int i = 0; i < 2; ++i) {
        receivers[i].OnEach = [&threadOf, i](Network::IUdpSock*, const Network::Packet&) {
            threadOf[i] = syscall(SYS_gettid);
        };
        Network::UdpSockInfo settings;
        settings.Receiver = &receivers[i];
        sockets.push_back(test_support::OpenOnLoopback(*pool, settings));
        ASSERT_NE(sockets.back(), nullptr);
        ASSERT_EQ(MemberOf(sockets.back()), L"serve:" + std::to_wstring(i));
        ASSERT_TRUE(peer.SendTo(sockets.back()->GetUdpSockInfo().RecvAddr.GetPort(), "hello"));
    }
    for (auto& r : receivers) ASSERT_TRUE(r.WaitForDatagrams(1));
    EXPECT_NE(threadOf[0].load(), threadOf[1].load());
    EXPECT_TRUE(pool->Start()) << "a second Start is harmless";

    pool->Stop();
    EXPECT_FALSE(pool->IsStarted());
    EXPECT_EQ(pool->GetNumSockets(), 0u);
    ErrInfo error = sockets[0]->Send("late", 4, peer.Addr());
    EXPECT_FALSE(error.IsOk()) << "the member closed its socket";
    error.Silent();
}

} // namespace
