// The manager's socket table on a manager whose loop is not running: slot allocation, growth
// and shrinking, refused adds and removals, event look-up, closing everything, and the epoll
// registration each kind of UDP socket asks for.
#include <gtest/gtest.h>

#include <sys/epoll.h>

#include <memory>
#include <vector>

#include "diag/IEnvironment.h"
#include "net/NetManager.h"
#include "net/UdpSock.h"
#include "support/log_capture.h"
#include "support/udp_loopback.h"

namespace {

using Network::BaseSock;
using Network::BaseSockPtr;
using Network::IUdpSockPtr;
using Network::NetManager;
using test_support::LogCapture;

BaseSock* Base(const IUdpSockPtr& s) { return dynamic_cast<BaseSock*>(s.get()); }

class SocketTable : public testing::Test {
protected:
    NetManager manager{L"table", false};

    uint32_t Slot(const IUdpSockPtr& s) { return Base(s)->GetSocketNetManIndex(); }
    std::vector<IUdpSockPtr> Create(size_t n) {
        std::vector<IUdpSockPtr> sockets;
        for (size_t i = 0; i < n; ++i) sockets.push_back(manager.CreateUdpSock());
        return sockets;
    }
};

TEST_F(SocketTable, FreshTableGives128SlotsAndEveryThirdSlot) {
    EXPECT_EQ(manager.GetTableSize().Slots, 0u);
    const auto sockets = Create(3);
    EXPECT_EQ(Slot(sockets[0]), 3u);
    EXPECT_EQ(Slot(sockets[1]), 6u);
    EXPECT_EQ(Slot(sockets[2]), 9u);
    EXPECT_EQ(manager.GetTableSize().Slots, 128u);
    EXPECT_EQ(manager.GetTableSize().Free, 125u);
    EXPECT_EQ(manager.GetNumSockets(), 3u);
    EXPECT_EQ(manager.GetLoadFactor(), 3000u) << "default load factor 1000 each";

    EXPECT_EQ(manager.GetServicedSocket(6).get(), Base(sockets[1]));
    EXPECT_EQ(manager.GetServicedSocket(7), nullptr);
    EXPECT_EQ(manager.GetServicedSocket(100000), nullptr);
    std::vector<BaseSockPtr> all;
    manager.GetAllServicedSockets(all);
    ASSERT_EQ(all.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(all[i].get(), Base(sockets[i])) << "slot order";
}

TEST_F(SocketTable, GrowsWhen43FreeSlotsAreLeft) {
    auto sockets = Create(85);
    EXPECT_EQ(manager.GetTableSize().Slots, 128u);
    EXPECT_EQ(manager.GetTableSize().Free, 43u);
    sockets.push_back(manager.CreateUdpSock());
    EXPECT_EQ(manager.GetTableSize().Slots, 256u);
    EXPECT_EQ(manager.GetNumSockets(), 86u);

    // Every socket knows its own, distinct slot.
    std::vector<bool> seen(256, false);
    for (const auto& s : sockets) {
        const uint32_t slot = Slot(s);
        ASSERT_LT(slot, 256u);
        EXPECT_FALSE(seen[slot]);
        seen[slot] = true;
        EXPECT_EQ(manager.GetServicedSocket(slot).get(), Base(s));
    }
}

TEST_F(SocketTable, ClosingTheOnlySocketShrinksToTheKeptFreeSlots) {
    IUdpSockPtr only = manager.CreateUdpSock();
    only->Close();
    EXPECT_EQ(manager.GetTableSize().Slots, 43u);
    EXPECT_EQ(manager.GetTableSize().Free, 43u);
    EXPECT_EQ(manager.GetNumSockets(), 0u);
    EXPECT_EQ(manager.GetLoadFactor(), 0u);
    EXPECT_EQ(Slot(only), BaseSock::InvalidNetManIndexValue);

    IUdpSockPtr next = manager.CreateUdpSock();
    EXPECT_EQ(manager.GetTableSize().Slots, 128u);
    EXPECT_EQ(manager.GetNumSockets(), 1u);
}

TEST_F(SocketTable, RefusedAddsAndRemovalsAreLoggedAndChangeNothing) {
    LogCapture log(Environment()->DebugLog());
    IUdpSockPtr s = manager.CreateUdpSock();
    const auto before = manager.GetTableSize();

    manager.AddSocketToService(Base(s)->SharedFromThis());
    manager.AddSocketToService(nullptr);
    auto stranger = std::make_shared<Network::UdpSock>(manager);  // never added
    manager.RemoveSocketFromService(stranger.get());
    stranger->SetSocketNetManIndex(Slot(s));  // claims a slot that holds another socket
    manager.RemoveSocketFromService(stranger.get());
    stranger->SetSocketNetManIndex(BaseSock::InvalidNetManIndexValue);

    EXPECT_TRUE(log.WaitForMatching(L"table: Error: Socket  -1 (", 1));
    EXPECT_EQ(log.Matching(L"alredy added to service as 3").size(), 1u);
    EXPECT_TRUE(log.WaitForMatching(L"table: Error: Attempt to add <null> socket to service"));
    EXPECT_TRUE(log.WaitForMatching(L"is not under service: indx = 4294967295 (attempt to remove)"));
    EXPECT_TRUE(log.WaitForMatching(L"contains invalid indx = 3 (attempt to remove)"));
    EXPECT_EQ(manager.GetTableSize().Slots, before.Slots);
    EXPECT_EQ(manager.GetTableSize().Free, before.Free);
    EXPECT_EQ(manager.GetServicedSocket(3).get(), Base(s));
}

TEST_F(SocketTable, RemovingFromAnEmptyTableSaysNothing) {
    LogCapture log(Environment()->DebugLog());
    auto stranger = std::make_shared<Network::UdpSock>(manager);
    manager.RemoveSocketFromService(stranger.get());
    // A marker through the same log: once it is seen, anything written before it is too.
    Environment()->DebugLog()->LogRecord(L"socket-table-marker");
    ASSERT_TRUE(log.WaitForMatching(L"socket-table-marker"));
    EXPECT_TRUE(log.Matching(L"attempt to remove").empty());
}

TEST_F(SocketTable, EventsMapToTheSocketsOfTheirSlots) {
    const auto sockets = Create(3);
    const uint32_t freed = Slot(sockets[1]);
    sockets[1]->Close();
    epoll_event events[5] = {};
    events[0].data.u64 = Slot(sockets[2]);
    events[1].data.u64 = freed;
    events[2].data.u64 = 100000;
    events[3].data.u64 = NetManager::EpollPipeId;
    events[4].data.u64 = Slot(sockets[0]);
    std::vector<BaseSockPtr> out;
    manager.GetServicedSocketsByEpollEvents(events, 5, out);
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0].get(), Base(sockets[2]));
    EXPECT_EQ(out[1], nullptr) << "freed slot";
    EXPECT_EQ(out[2], nullptr) << "beyond the table";
    EXPECT_EQ(out[3], nullptr) << "the wake-up pipe";
    EXPECT_EQ(out[4].get(), Base(sockets[0]));
}

TEST_F(SocketTable, ClearAllClosesEverySocketForGood) {
    test_support::RecordingReceiver receiver;
    Network::UdpSockInfo settings;
    settings.Receiver = &receiver;
    std::vector<IUdpSockPtr> sockets;
    for (int i = 0; i < 3; ++i) {
        sockets.push_back(test_support::OpenOnLoopback(manager, settings));
        ASSERT_NE(sockets.back(), nullptr);
    }
    IUdpSockPtr unopened = manager.CreateUdpSock();

    manager.ClearAll();

    EXPECT_EQ(manager.GetTableSize().Slots, 0u);
    EXPECT_EQ(manager.GetTableSize().Free, 0u);
    EXPECT_EQ(manager.GetNumSockets(), 0u);
    EXPECT_EQ(manager.GetLoadFactor(), 0u);
    sockets.push_back(unopened);
    for (const auto& s : sockets) {
        EXPECT_FALSE(Base(s)->IsHandleValid());
        EXPECT_EQ(Slot(s), BaseSock::InvalidNetManIndexValue);
        ErrInfo reopen = s->Open(settings);
        EXPECT_FALSE(reopen.IsOk()) << "a socket taken out of its manager is never serviced again";
        EXPECT_EQ(test_support::FirstLine(reopen), L"UDP socket: Open refused, the socket was closed; create a new socket");
        reopen.Silent();
    }
    EXPECT_EQ(manager.GetNumSockets(), 0u);
}

// The registration each send mode asks for, read from the manager's detailed log.
TEST(SocketRegistration, SyncSocketsWatchReadsAsyncSocketsAlsoWrites) {
    const IDebugLogPtr process = Environment()->DebugLog();
    const int level = process->SetLogLevel(4);
    process->SetLogEnabled(L"NetManager-registration", true);
    {
        LogCapture log(process);
        NetManager manager(L"registration", false);
        ASSERT_TRUE(manager.IsLogOn());
        test_support::RecordingReceiver receiver;
        Network::UdpSockInfo settings;
        settings.Receiver = &receiver;
        IUdpSockPtr sync = test_support::OpenOnLoopback(manager, settings);
        settings.SendModeSync = false;
        IUdpSockPtr async = test_support::OpenOnLoopback(manager, settings);
        ASSERT_TRUE(sync && async);
        EXPECT_TRUE(log.WaitForMatching(L"epoll_ctl() OK: Mask = 00000001 (00000002:EPOLLIN) Op = EPOLL_CTL_ADD"));
        EXPECT_TRUE(
            log.WaitForMatching(L"epoll_ctl() OK: Mask = 00000005 (00000006:EPOLLIN:EPOLLOUT) Op = EPOLL_CTL_ADD"));
        EXPECT_TRUE(Base(async)->IsWriteWatching());
        EXPECT_FALSE(Base(sync)->IsWriteWatching());
    }
    process->SetLogEnabled(L"NetManager-registration", false);
    process->SetLogLevel(level);
}

} // namespace
