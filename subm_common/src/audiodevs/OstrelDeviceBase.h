// What every device model shares: the control connection with its handshake, requests that wait
// for their acknowledgement or for the answering message, the connection state, and the audio
// streams with one exchange cycle per received packet.
//
// Threads: the application calls Init, Deinit, Start, Stop, the getters and the model requests;
// the control connection hands acknowledgements and device messages to the handlers on its own
// threads; OnSync runs on the audio socket service thread. Handlers write what they learn under
// _JsonUdpMessageMutex and wake the waiting requests; the getters copy under the same mutex.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "audiodevs/IOstrelDevice.h"
#include "diag/debug_log.h"
#include "protocol/JsonMsgAsioDriver.h"
#include "protocol/JsonUdpConnect.h"
#include "rtp/IRtp.h"

namespace Ostrel {

class DeviceBase : public Network::IJsonUdpReceiver, public IDevice, public Network::ISyncTarget {
public:
    // Both managers are referenced, not owned, and must outlive the device.
    DeviceBase(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan);
    ~DeviceBase() override;
    DeviceBase(const DeviceBase&) = delete;
    DeviceBase& operator=(const DeviceBase&) = delete;

    // From the control connection.
    void OnMsgDelivered(Network::IJsonUdpManager* connection, const Network::JsonMsgPtr& msg) override;
    void OnMsgReceived(Network::IJsonUdpManager* connection, const Network::JsonMsgPtr& msg,
                       const Network::SockAddr& from) override;
    void OnError(Network::IJsonUdpManager* connection, ErrInfo err) override;

    ErrInfo Init(const DeviceInitSettings& settings) override;
    void Deinit() override;
    ErrInfo Start(const DeviceStartSettings& settings) override;
    void Stop() override;
    std::wstring GetDeviceId() const override;
    DeviceConnectState GetDeviceConnectState() const override;
    DeviceInfo GetDeviceInfo() const override;
    uint32_t GetNumRecordChannels() const override;
    uint32_t GetNumPlaybackChannels() const override;
    uint32_t GetSampleFreq() const override;

    // One audio cycle; from the audio manager.
    void OnSync(Network::ISyncSource* source, int64_t pos, int freq) override;

protected:
    virtual void OnInit() {}
    virtual void OnDeinit() {}
    virtual ErrInfo SendGetDevInfo(bool waitAcknowledge);
    virtual void OnDevInfo(const Network::JsonMsgDevInfo& msg, const Network::SockAddr& from);
    virtual void OnState(const Network::JsonMsgState& msg, const Network::SockAddr& from);
    virtual void OnInputs(const Network::JsonMsgInputs& msg, const Network::SockAddr& from);
    virtual void OnGetTime(const Network::JsonMsgGetTime& msg, const Network::SockAddr& from);

    // Hands msg to the connection for the device; with waitAcknowledge, returns once the device
    // has acknowledged it, or "Message response time has expired" after 2000 ms.
    ErrInfo SendMessageToDevice(const Network::JsonMsgPtr& msg, bool waitAcknowledge);
    // Waits up to 2000 ms for condition, which is evaluated under _JsonUdpMessageMutex.
    bool WaitConditionWithTimeout(const std::function<bool()>& condition);
    // Sends request with acknowledgement and, with waitResponse, waits until lastId (a field
    // guarded by _JsonUdpMessageMutex) moves on from its value before the request: any newer
    // message of the kind will do, also one the device sent on its own. On expiry fails with
    // "Device response timeout expired for expected \"<expected>\"".
    ErrInfo RequestAndWait(const Network::JsonMsgPtr& request, const uint32_t& lastId, bool waitResponse,
                           const char* expected);
    ErrInfo SendGetState(bool waitAcknowledge);
    ErrInfo SendGetInputs(bool waitAcknowledge);
    ErrInfo SendBroadcastMessage(const Network::JsonMsgPtr& msg, const Network::SockAddr& broadcastAddr);
    void SetConnectState(DeviceConnectState state) { _connectState = state; }

    // The description's input count, read by the models under _JsonUdpMessageMutex.
    uint32_t NumInputsUnderLock() const { return _deviceInfo.NumInputs; }

    IDebugLogPtr _debugLog;

    // Guards every field that the message handlers write (_deviceInfo, _hostInputs and the
    // models' caches); held while a wait condition is evaluated. Never held together with
    // _JsonUdpAcknMutex.
    mutable std::mutex _JsonUdpMessageMutex;
    std::condition_variable _JsonUdpMessageCv;

private:
    ErrInfo InitUnderLock(const DeviceInitSettings& settings);
    ErrInfo StartUnderLock(const DeviceStartSettings& settings);
    void StopUnderLock();
    ErrInfo SetupRtpFromDeviceToHost(const Network::RtpManagerInfo& info);
    ErrInfo CleanupRtpFromDeviceToHost();
    void StopAndCleanupRtp();
    void StopAndCleanupJsonUdp();
    void CreateBuffers();
    void DeleteBuffers();
    Network::IJsonUdpConnectPtr Connection() const;
    // Stop and Deinit from inside the exchange callback would free what the cycle uses.
    bool RefusedOnAudioThread(const char* operation);

    std::mutex _JsonUdpAcknMutex;
    std::condition_variable _JsonUdpAcknCv;
    uint32_t _lastDeliveredMsgId = 0;  // guarded by _JsonUdpAcknMutex
    // The messages whose acknowledgement a caller waits for, entered before the message is
    // queued and removed by the last of its waiters; a delivery marks its own entry. So a waiter
    // sees its acknowledgement however many others follow before it looks, and the table never
    // holds more than the waiting callers (guarded by _JsonUdpAcknMutex).
    struct AwaitedAck {
        uint32_t Waiters = 0;
        bool Delivered = false;
    };
    std::unordered_map<uint32_t, AwaitedAck> _awaitedAcks;

    Network::INetManager& _udpNetMan;
    Network::INetManager& _rtpNetMan;

    mutable std::mutex _ctrlManMutex;  // guards the pointer only
    Network::IJsonUdpConnectPtr _ctrlMan;
    std::unique_ptr<Network::IRtpAudioManager> _rtpAudioMan;
    std::atomic<DeviceConnectState> _connectState{DeviceConnectState::Disconnected};

    buffer_ptrs _recAudioTmp;
    buffer_ptrs _plyAudioTmp;
    bool _ExchangeCbFlag = false;
    bool _UserRecordBuffersFlag = false;
    bool _UserPlaybkBuffersFlag = false;

    DeviceInitSettings _initSettings;
    DeviceStartSettings _startSettings;
    ImplDeviceInfo _deviceInfo;                    // guarded by _JsonUdpMessageMutex
    std::vector<Network::SockAddr> _hostInputs;    // guarded by _JsonUdpMessageMutex

    // Serialises Init, Deinit, Start and Stop.
    std::recursive_mutex _lifecycleMutex;
    // Held for the whole of an audio cycle: Stop frees the buffers only after taking it.
    std::mutex _cycleMutex;
    std::atomic<bool> _cycleEnabled{false};
    std::atomic<std::thread::id> _cycleThread{};
};

} // namespace Ostrel
