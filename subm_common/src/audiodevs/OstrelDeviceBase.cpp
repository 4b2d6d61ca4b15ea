#include "audiodevs/OstrelDeviceBase.h"

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>

#include "diag/ComponentInfo.h"
#include "diag/IEnvironment.h"
#include "util/StdStringFormat.h"

namespace Ostrel {

namespace {

constexpr auto AcknowledgeWait = std::chrono::milliseconds(2000);
constexpr auto MessageWait = std::chrono::milliseconds(2000);
constexpr uint32_t BuffersPerChannel = 2;
constexpr uint16_t PortStep = 2;

IDebugLogPtr ProcessLog() { return Environment()->DebugLog(); }

} // namespace

DeviceBase::DeviceBase(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan)
    : _debugLog(ProcessLog()), _udpNetMan(jsonUdpNetMan), _rtpNetMan(rtpNetMan) {}

// A model's destructor must call Deinit itself: by the time this one runs, the model's part of
// the object (its hooks and caches) is gone.
DeviceBase::~DeviceBase() { Deinit(); }

// ---- control connection ---------------------------------------------------------------------

Network::IJsonUdpConnectPtr DeviceBase::Connection() const {
    std::lock_guard<std::mutex> lock(_ctrlManMutex);
    return _ctrlMan;
}

ErrInfo DeviceBase::SendMessageToDevice(const Network::JsonMsgPtr& msg, bool waitAcknowledge) {
    Network::IJsonUdpConnectPtr connection = Connection();
    if (!connection) return MAKE_ERR_INFO().StrError("Device not connected");
    if (!waitAcknowledge) return connection->Send(msg, Network::SockAddr());

    // Entered before the message is queued: its acknowledgement may come back before Send
    // returns, and other deliveries may follow it before this thread runs again.
    const uint32_t id = msg->MsgId;
    {
        std::lock_guard<std::mutex> lock(_JsonUdpAcknMutex);
        ++_awaitedAcks[id].Waiters;
    }
    ErrInfo err = connection->Send(msg, Network::SockAddr());
    std::unique_lock<std::mutex> lock(_JsonUdpAcknMutex);
    const bool acknowledged =
        err.IsOk() && _JsonUdpAcknCv.wait_for(lock, AcknowledgeWait, [&] { return _awaitedAcks[id].Delivered; });
    auto entry = _awaitedAcks.find(id);
    if (--entry->second.Waiters == 0) _awaitedAcks.erase(entry);
    lock.unlock();
    if (!err) return err;
    if (!acknowledged) return MAKE_ERR_INFO().StrError("Message response time has expired");
    return MAKE_ERR_INFO();
}

bool DeviceBase::WaitConditionWithTimeout(const std::function<bool()>& condition) {
    std::unique_lock<std::mutex> lock(_JsonUdpMessageMutex);
    return _JsonUdpMessageCv.wait_for(lock, MessageWait, condition);
}

ErrInfo DeviceBase::RequestAndWait(const Network::JsonMsgPtr& request, const uint32_t& lastId, bool waitResponse,
                                   const char* expected) {
    uint32_t before;
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        before = lastId;
    }
    ErrInfo err = SendMessageToDevice(request, true);
    if (!err) return err;
    if (waitResponse && !WaitConditionWithTimeout([&] { return lastId != before; }))
        return MAKE_ERR_INFO().StrError(std::string("Device response timeout expired for expected \"") + expected + "\"");
    return MAKE_ERR_INFO();
}

ErrInfo DeviceBase::SendGetDevInfo(bool waitAcknowledge) {
    return SendMessageToDevice(std::make_shared<Network::JsonMsgGetDevInfo>(), waitAcknowledge);
}

ErrInfo DeviceBase::SendGetState(bool waitAcknowledge) {
    return SendMessageToDevice(std::make_shared<Network::JsonMsgGetState>(), waitAcknowledge);
}

ErrInfo DeviceBase::SendGetInputs(bool waitAcknowledge) {
    return SendMessageToDevice(std::make_shared<Network::JsonMsgGetInputs>(), waitAcknowledge);
}

ErrInfo DeviceBase::SendBroadcastMessage(const Network::JsonMsgPtr& msg, const Network::SockAddr& broadcastAddr) {
    Network::IJsonUdpConnectPtr connection = Connection();
    if (!connection) return MAKE_ERR_INFO().StrError("Device not connected");
    return connection->SendDirect(msg, broadcastAddr);
}

void DeviceBase::OnMsgDelivered(Network::IJsonUdpManager*, const Network::JsonMsgPtr& msg) {
    {
        std::lock_guard<std::mutex> lock(_JsonUdpAcknMutex);
        _lastDeliveredMsgId = msg->MsgId;
        auto awaited = _awaitedAcks.find(msg->MsgId);
        if (awaited != _awaitedAcks.end()) awaited->second.Delivered = true;
    }
    _JsonUdpAcknCv.notify_all();
}

void DeviceBase::OnMsgReceived(Network::IJsonUdpManager*, const Network::JsonMsgPtr& msg,
                               const Network::SockAddr& from) {
    if (const auto* devInfo = dynamic_cast<const Network::JsonMsgDevInfo*>(msg.get())) {
        OnDevInfo(*devInfo, from);
    } else if (const auto* state = dynamic_cast<const Network::JsonMsgState*>(msg.get())) {
        OnState(*state, from);
    } else if (const auto* inputs = dynamic_cast<const Network::JsonMsgInputs*>(msg.get())) {
        OnInputs(*inputs, from);
    } else if (const auto* getTime = dynamic_cast<const Network::JsonMsgGetTime*>(msg.get())) {
        OnGetTime(*getTime, from);
    }
    _JsonUdpMessageCv.notify_all();
    if (_initSettings.OnDeviceMessageReceivedCallback) _initSettings.OnDeviceMessageReceivedCallback(msg);
}

void DeviceBase::OnError(Network::IJsonUdpManager*, ErrInfo) {}  // the record logs itself

void DeviceBase::OnDevInfo(const Network::JsonMsgDevInfo& msg, const Network::SockAddr& from) {
    DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly,
                 wstring_format(L"Device %ls: description from %ls: unit type %ls, unit id %ls, inputs %u, outputs %u",
                                msg.UnitId.c_str(), from.ToString().c_str(), msg.UnitType.c_str(), msg.UnitId.c_str(),
                                msg.Inputs, msg.Outputs));
    if (String2DeviceType(msg.UnitType) == GetDeviceType()) {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        _deviceInfo.SetFromJsonMsg(msg);
    } else {
        DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly,
                     wstring_format(L"Device %ls: unexpected device type %ls, expected %ls", msg.UnitId.c_str(),
                                    msg.UnitType.c_str(), DeviceType2String(GetDeviceType()).c_str()));
    }
}

void DeviceBase::OnState(const Network::JsonMsgState& msg, const Network::SockAddr&) {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    _deviceInfo.SampleFreq = msg.DeviceFreq;
}

void DeviceBase::OnInputs(const Network::JsonMsgInputs& msg, const Network::SockAddr&) {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    _hostInputs = msg.Inputs;
}

// Runs on a thread of the control connection, which also reports the acknowledgements: the
// answer is queued without waiting for its own, so that thread is never blocked. A failure to
// queue it logs itself.
void DeviceBase::OnGetTime(const Network::JsonMsgGetTime&, const Network::SockAddr&) {
    SendMessageToDevice(std::make_shared<Network::JsonMsgCurTime>(), false);
}

// ---- lifecycle ------------------------------------------------------------------------------

ErrInfo DeviceBase::Init(const DeviceInitSettings& settings) {
    std::lock_guard<std::recursive_mutex> lifecycle(_lifecycleMutex);
    if (_connectState != DeviceConnectState::Disconnected)
        return MAKE_ERR_INFO().StrError("Can not init object, device already connected");
    ErrInfo err = InitUnderLock(settings);
    if (!err) StopAndCleanupJsonUdp();
    return err;
}

ErrInfo DeviceBase::InitUnderLock(const DeviceInitSettings& settings) {
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        _deviceInfo = ImplDeviceInfo();
        _hostInputs.clear();
    }
    Network::IJsonUdpConnectPtr connection = Network::JsonUdpFactory::CreateJsonUdpConnect(
        Network::ComponentInfo("OstrelDevice.JsonUdpConnect"), _udpNetMan);
    if (!connection) return MAKE_ERR_INFO().StrError("Can not create objects");
    _initSettings = settings;

    Network::JsonUdpConnectInfo info;
    info.ManagerInfo.Receiver = this;
    info.ManagerInfo.MsgFactory = Network::GetAsioDriverJsonMsgFactory();
    // An address text that does not parse stays unset; the connection reports what follows.
    info.ManagerInfo.RecvAddr = Network::SockAddr(settings.HostAddr, settings.HostJsonPort);
    info.ManagerInfo.DefaultSendAddr = Network::SockAddr(settings.PeerAddr, settings.PeerJsonPort);
    {
        std::lock_guard<std::mutex> lock(_ctrlManMutex);
        _ctrlMan = connection;
    }
    ErrInfo err = connection->Init(info);
    if (!err) return err;
    err = connection->Start();
    if (!err) return err;

    err = SendGetDevInfo(true);
    if (!err) return err;
    if (!WaitConditionWithTimeout([this] { return !_deviceInfo.UnitId.empty(); }))
        return MAKE_ERR_INFO().StrError("Message response time has expired");
    err = SendGetState(true);
    if (!err) return err;
    if (!WaitConditionWithTimeout([this] { return _deviceInfo.SampleFreq != 0; }))
        return MAKE_ERR_INFO().StrError("Message response time has expired");

    SetConnectState(DeviceConnectState::Connected);
    OnInit();

    const DeviceInfo described = GetDeviceInfo();
    DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly,
                 wstring_format(L"Device connected: %ls, type %ls, unit id %ls, record channels %u, playback channels %u",
                                info.ManagerInfo.DefaultSendAddr.ToString().c_str(),
                                DeviceType2String(GetDeviceType()).c_str(), described.UnitId.c_str(),
                                described.NumInputs, described.NumOutputs));
    return MAKE_ERR_INFO();
}

void DeviceBase::Deinit() {
    if (RefusedOnAudioThread("Deinit")) return;
    std::lock_guard<std::recursive_mutex> lifecycle(_lifecycleMutex);
    if (_connectState == DeviceConnectState::Disconnected) return;
    StopUnderLock();
    StopAndCleanupJsonUdp();
    SetConnectState(DeviceConnectState::Disconnected);
    OnDeinit();
}

void DeviceBase::StopAndCleanupJsonUdp() {
    Network::IJsonUdpConnectPtr connection;
    {
        std::lock_guard<std::mutex> lock(_ctrlManMutex);
        connection = std::move(_ctrlMan);
        _ctrlMan.reset();
    }
    if (connection) {
        connection->SetDefaultSendAddr(Network::SockAddr());
        // Stop returns once no handler runs any more; only then may the settings go.
        connection->Stop();
        connection.reset();
    }
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        _deviceInfo = ImplDeviceInfo();
    }
    _initSettings = DeviceInitSettings();
}

// ---- audio ----------------------------------------------------------------------------------

ErrInfo DeviceBase::Start(const DeviceStartSettings& settings) {
    std::lock_guard<std::recursive_mutex> lifecycle(_lifecycleMutex);
    return StartUnderLock(settings);
}

ErrInfo DeviceBase::StartUnderLock(const DeviceStartSettings& settings) {
    if (_connectState != DeviceConnectState::Connected)
        return MAKE_ERR_INFO().StrError("Cannot start: device not connected");
    const DeviceInfo described = GetDeviceInfo();

    Network::RtpPayloadType payloadType;
    const bool legacy = described.AudioProtocolVersion < 2;
    if (described.SampleFreq == 44100) {
        payloadType = legacy ? Network::RtpPayloadType::KESTA_BAD_AUDIO_L24_2_44100 : Network::RtpPayloadType::AUDIO_L24_2_44100;
    } else if (described.SampleFreq == 48000) {
        payloadType = legacy ? Network::RtpPayloadType::KESTA_BAD_AUDIO_L24_2_48000 : Network::RtpPayloadType::AUDIO_L24_2_48000;
    } else {
        return MAKE_ERR_INFO().StrError("Cannot start: invalid sample frequency");
    }

    _rtpAudioMan.reset(Network::RtpFactory::CreateRtpAudioManager(Network::ComponentInfo("OstrelDevice.RtpManager"), _rtpNetMan));
    if (!_rtpAudioMan) return MAKE_ERR_INFO().StrError("Can not create objects");

    _startSettings = settings;
    _ExchangeCbFlag = static_cast<bool>(settings.RtpExchangeCallback);
    _UserRecordBuffersFlag = static_cast<bool>(settings.RtpGetRecBufCallback);
    _UserPlaybkBuffersFlag = !settings.AllocSendBuffers;
    _rtpAudioMan->AddTarget(this);
    CreateBuffers();

    Network::RtpManagerInfo info;
    info.SampleFreq = described.SampleFreq;
    info.PacketSmplSize = GetNumCycleSamples();
    info.RecvDelay = settings.RecvDelayNorm;
    info.RecvDelayMax = settings.RecvDelayMax;
    for (uint32_t i = 0; i < described.NumInputs; ++i) {
        Network::RtpRecvChanInfo channel;
        channel.Init(_initSettings.HostAddr, L"", static_cast<uint16_t>(settings.HostRtpPort + PortStep + PortStep * i));
        info.RecvChans.push_back(channel);
    }
    for (uint32_t i = 0; i < described.NumOutputs; ++i) {
        Network::RtpSendChanInfo channel;
        channel.SetPayloadType(payloadType);
        channel.Init(_initSettings.PeerAddr, L"", static_cast<uint16_t>(described.PeerRtpPort + PortStep * i));
        info.SendChans.push_back(channel);
    }

    _cycleEnabled = true;
    ErrInfo err = _rtpAudioMan->Init(info);
    if (err) err = SetupRtpFromDeviceToHost(info);
    if (err) err = _rtpAudioMan->Start();
    if (!err) {
        StopAndCleanupRtp();
        return err;
    }
    SetConnectState(DeviceConnectState::RtpActive);
    return MAKE_ERR_INFO();
}

ErrInfo DeviceBase::SetupRtpFromDeviceToHost(const Network::RtpManagerInfo& info) {
    auto msg = std::make_shared<Network::JsonMsgSetInputs>();
    for (const Network::RtpRecvChanInfo& channel : info.RecvChans) msg->Inputs.emplace_back(true, channel.IpAddr);
    ErrInfo err = SendMessageToDevice(msg, true);
    if (!err) return err;
    return SendGetInputs(true);
}

ErrInfo DeviceBase::CleanupRtpFromDeviceToHost() {
    auto msg = std::make_shared<Network::JsonMsgSetInputs>();
    msg->Inputs.assign(GetNumRecordChannels(), std::make_pair(true, Network::SockAddr()));
    ErrInfo err = SendMessageToDevice(msg, true);
    if (!err) return err;
    return SendGetInputs(true);
}

void DeviceBase::Stop() {
    if (RefusedOnAudioThread("Stop")) return;
    std::lock_guard<std::recursive_mutex> lifecycle(_lifecycleMutex);
    StopUnderLock();
}

void DeviceBase::StopUnderLock() {
    if (_connectState != DeviceConnectState::RtpActive) return;
    StopAndCleanupRtp();
    SetConnectState(DeviceConnectState::Connected);
}

void DeviceBase::StopAndCleanupRtp() {
    // No new cycle from here on; the manager's Stop returns once its sockets are closed, and the
    // cycle lock waits out a cycle that had already begun.
    _cycleEnabled = false;
    if (_rtpAudioMan) _rtpAudioMan->Stop();
    CleanupRtpFromDeviceToHost();  // dropped: a failure logs itself
    {
        std::lock_guard<std::mutex> cycle(_cycleMutex);
        _rtpAudioMan.reset();
        _ExchangeCbFlag = false;
        _UserRecordBuffersFlag = false;
        _UserPlaybkBuffersFlag = false;
        DeleteBuffers();
    }
    _startSettings = DeviceStartSettings();
}

bool DeviceBase::RefusedOnAudioThread(const char* operation) {
    if (_cycleThread.load() != std::this_thread::get_id()) return false;
    MAKE_ERR_INFO().StrError(std::string(operation) + " refused: called from the audio callback, which would free what the running cycle uses");
    return true;
}

void DeviceBase::CreateBuffers() {
    const uint32_t samples = GetNumCycleSamples();
    const DeviceInfo described = GetDeviceInfo();
    _recAudioTmp.assign(BuffersPerChannel * described.NumInputs, nullptr);
    if (!_UserRecordBuffersFlag)
        for (float*& buffer : _recAudioTmp) buffer = new float[samples]();
    _plyAudioTmp.assign(BuffersPerChannel * described.NumOutputs, nullptr);
    if (!_UserPlaybkBuffersFlag)
        for (float*& buffer : _plyAudioTmp) buffer = new float[samples]();
}

// Buffers the application supplied are set back to null after each cycle, so whatever is left
// here belongs to the device.
void DeviceBase::DeleteBuffers() {
    for (float* buffer : _recAudioTmp) delete[] buffer;
    for (float* buffer : _plyAudioTmp) delete[] buffer;
    _recAudioTmp.clear();
    _plyAudioTmp.clear();
}

void DeviceBase::OnSync(Network::ISyncSource*, int64_t pos, int) {
    if (pos < 0) return;  // a position reset of the stream
    std::lock_guard<std::mutex> cycle(_cycleMutex);
    if (!_cycleEnabled || !_rtpAudioMan) return;
    _cycleThread = std::this_thread::get_id();
    const uint32_t samples = GetNumCycleSamples();
    if (_UserRecordBuffersFlag) _startSettings.RtpGetRecBufCallback(_recAudioTmp, samples);
    _rtpAudioMan->RecvAudio(_recAudioTmp, samples);
    if (_ExchangeCbFlag) _startSettings.RtpExchangeCallback(_recAudioTmp, _plyAudioTmp, samples);
    _rtpAudioMan->SendAudio(_plyAudioTmp, samples);
    if (_UserRecordBuffersFlag) std::fill(_recAudioTmp.begin(), _recAudioTmp.end(), nullptr);
    if (_UserPlaybkBuffersFlag) std::fill(_plyAudioTmp.begin(), _plyAudioTmp.end(), nullptr);
    _cycleThread = std::thread::id();
}

// ---- getters --------------------------------------------------------------------------------

std::wstring DeviceBase::GetDeviceId() const {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    return _deviceInfo.UnitId;
}

DeviceConnectState DeviceBase::GetDeviceConnectState() const { return _connectState; }

DeviceInfo DeviceBase::GetDeviceInfo() const {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    return _deviceInfo;
}

uint32_t DeviceBase::GetNumRecordChannels() const {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    return _deviceInfo.NumInputs;
}

uint32_t DeviceBase::GetNumPlaybackChannels() const {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    return _deviceInfo.NumOutputs;
}

uint32_t DeviceBase::GetSampleFreq() const {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    return _deviceInfo.SampleFreq;
}

} // namespace Ostrel
