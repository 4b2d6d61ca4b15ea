#include "protocol/JsonUdpManager.h"

#include <utility>

#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"

namespace Network {

IJsonUdpManagerPtr JsonUdpFactory::CreateJsonUdpManager(const ComponentInfo& compInfo, INetManager& netManager) {
    return std::make_shared<JsonUdpManager>(compInfo, netManager);
}

JsonUdpManager::JsonUdpManager(const ComponentInfo& compInfo, INetManager& netManager)
    : CompInfo(compInfo.LogId.empty() ? ComponentInfo(L"JsonUdpManager") : compInfo),
      NetManager(netManager),
      Debuglog(Environment()->DebugLog()) {}

JsonUdpManager::~JsonUdpManager() { Stop(); }

JsonUdpManagerInfo JsonUdpManager::Settings() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Info;
}

ErrInfo JsonUdpManager::Init(const JsonUdpManagerInfo& info) {
    Stop();
    std::lock_guard<std::mutex> lock(Mutex);
    Info = info;
    return MAKE_ERR_INFO();
}

ErrInfo JsonUdpManager::Start() {
    Stop();
    const JsonUdpManagerInfo info = Settings();
    UdpSockInfo sockInfo;
    sockInfo.RecvAddr = info.RecvAddr;
    sockInfo.Broadcast = info.Broadcast;
    sockInfo.PacketSize = info.PacketSize;
    sockInfo.Receiver = this;

    IUdpSockPtr sock = NetManager.CreateUdpSock();
    if (!sock) return MAKE_ERR_INFO().StrError("Bad socket");
    ErrInfo err = sock->Open(sockInfo);
    if (!err.IsOk()) {
        sock->Close();
        return err;
    }
    IUdpSockPtr previous;
    {
        std::lock_guard<std::mutex> lock(Mutex);
        previous = std::exchange(SockPtr, std::move(sock));
    }
    // Only a concurrent Start leaves one here; it must not stay open unreferenced.
    if (previous) previous->Close();
    return MAKE_ERR_INFO();
}

void JsonUdpManager::Stop() {
    IUdpSockPtr sock;
    {
        std::lock_guard<std::mutex> lock(Mutex);
        sock = std::move(SockPtr);
        SockPtr.reset();
    }
    // Outside Mutex: Close waits for a callback in progress, which may be sending through us.
    if (sock) sock->Close();
}

bool JsonUdpManager::IsStarted() {
    std::lock_guard<std::mutex> lock(Mutex);
    return SockPtr != nullptr;
}

ErrInfo JsonUdpManager::SetDefaultSendAddr(const SockAddr& addr) {
    std::lock_guard<std::mutex> lock(Mutex);
    Info.DefaultSendAddr = addr;
    return MAKE_ERR_INFO();
}

SockAddr JsonUdpManager::GetDefaultSendAddr() {
    std::lock_guard<std::mutex> lock(Mutex);
    return Info.DefaultSendAddr;
}

ErrInfo JsonUdpManager::SendDirect(const JsonMsgPtr& msg, const SockAddr& addr) {
    if (!msg) return MAKE_ERR_INFO().StrError("Can not deserialize msg");
    JsonUdpManagerInfo info;
    IUdpSockPtr sock;
    {
        std::lock_guard<std::mutex> lock(Mutex);
        info = Info;
        sock = SockPtr;
    }
    if (info.SendProcessor && !info.SendProcessor->BeforeSendMsg(this, msg)) return MAKE_ERR_INFO();

    Packet packet(info.PacketSize);
    ErrInfo err = msg->ToPacket(packet, false, info.PacketSize);
    if (!err.IsOk()) return err;
    if (!sock) return MAKE_ERR_INFO().StrError("Bad socket");
    const SockAddr& dest = addr.IsSet() ? addr : info.DefaultSendAddr;
    if (!dest.IsSet()) return MAKE_ERR_INFO().StrError("Bad send address");

    err = sock->Send(packet.GetDataPtr(), packet.GetDataSize(), dest);
    if (!err.IsOk()) return err;
    if (info.Receiver) info.Receiver->OnMsgDelivered(this, msg);
    if (Debuglog && Debuglog->GetLogLevel() >= static_cast<int>(DbgLevel::ProcDetails)) {
        Debuglog->LogRecord(wstring_format(L"%ls: MSG: -> (%ls) %ls : %ls", CompInfo.LogId.c_str(),
                                           dest.ToString().c_str(), msg->MsgType.c_str(), msg->ToString().c_str()));
    }
    return err;
}

void JsonUdpManager::OnDatagramReceived(IUdpSock*, PacketUniqPtr packet, const SockAddr& from) {
    const JsonUdpManagerInfo info = Settings();
    JsonMsgPtr msg;
    if (packet) msg = JsonMsg::Create(*packet, info.MsgFactory, &from);
    if (!msg) {
        ErrInfo err = MAKE_ERR_INFO().StrError("Bad message received");
        if (info.Receiver) {
            info.Receiver->OnError(this, err);
        } else {
            err.Silent();  // a stray datagram is not worth a log line
        }
        return;
    }
    if (Debuglog && Debuglog->GetLogLevel() >= static_cast<int>(DbgLevel::ProcDetails)) {
        Debuglog->LogRecord(wstring_format(L"%ls: MSG: <- (%ls) %ls : %ls", CompInfo.LogId.c_str(),
                                           from.ToString().c_str(), msg->MsgType.c_str(), msg->ToString().c_str()));
    }
    if (info.Receiver) info.Receiver->OnMsgReceived(this, msg, from);
}

void JsonUdpManager::OnError(IUdpSock*, ErrInfo error) {
    IJsonUdpReceiver* receiver = Settings().Receiver;
    if (receiver) receiver->OnError(this, error);
}

void JsonUdpManager::OnClose(IUdpSock*, ErrInfo error) { error.Silent(); }

} // namespace Network
