#include "audiodevs/OstrelDeviceQm412.h"

#include <memory>

namespace Ostrel {

DeviceQm412::DeviceQm412(Network::INetManager& jsonUdpNetMan, Network::INetManager& rtpNetMan)
    : DeviceBase(jsonUdpNetMan, rtpNetMan) {
    Cleanup();
}

// Here, not in the base: the hooks and caches of this class must still exist while it runs.
DeviceQm412::~DeviceQm412() { Deinit(); }

void DeviceQm412::Cleanup() {
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    _lastFmFreqReceivedMsgId = 0;
    _lastFmQualityReceivedMsgId = 0;
    _lastFmRdsDataReceivedMsgId = 0;
    _freqList.clear();
    _fmQualityList.clear();
    _fmRdsDataList.clear();
}

void DeviceQm412::OnInit() {
    Cleanup();
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        const uint32_t units = NumInputsUnderLock();
        _freqList.assign(units, PlaceholderFreq);
        _fmQualityList.assign(units, Qm412TunerQualityValues());
        _fmRdsDataList.assign(units, Qm412TunerRdsData());
    }
    // Dropped: a device that does not answer still connects (each failure logs itself).
    SendMsgGetFmFreq(true);
    SendMsgGetFmQuality(true);
    SendMsgGetRdsData(true);
}

void DeviceQm412::OnDeinit() { Cleanup(); }

ErrInfo DeviceQm412::SendMsgGetFmFreq(bool waitResponse) {
    return RequestAndWait(std::make_shared<Network::JsonMsgGetFmFreq>(), _lastFmFreqReceivedMsgId, waitResponse, "fm_freq");
}

ErrInfo DeviceQm412::SendMsgGetFmQuality(bool waitResponse) {
    return RequestAndWait(std::make_shared<Network::JsonMsgGetFmQuality>(), _lastFmQualityReceivedMsgId, waitResponse,
                          "fm_quality");
}

ErrInfo DeviceQm412::SendMsgGetRdsData(bool waitResponse) {
    return RequestAndWait(std::make_shared<Network::JsonMsgGetRdsData>(), _lastFmRdsDataReceivedMsgId, waitResponse,
                          "rds_data");
}

void DeviceQm412::OnMsgReceived(Network::IJsonUdpManager* connection, const Network::JsonMsgPtr& msg,
                                const Network::SockAddr& from) {
    if (const auto* freq = dynamic_cast<const Network::JsonMsgFmFreq*>(msg.get())) {
        OnFmFreq(*freq, from);
    } else if (const auto* quality = dynamic_cast<const Network::JsonMsgFmQuality*>(msg.get())) {
        OnFmQuality(*quality, from);
    } else if (const auto* rds = dynamic_cast<const Network::JsonMsgRdsData*>(msg.get())) {
        OnFmRdsData(*rds, from);
    }
    DeviceBase::OnMsgReceived(connection, msg, from);  // also wakes the waiters
}

void DeviceQm412::OnFmFreq(const Network::JsonMsgFmFreq& msg, const Network::SockAddr&) {
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        if (msg.FreqList.size() == _freqList.size()) {
            _freqList = msg.FreqList;
            _lastFmFreqReceivedMsgId = msg.MsgId;
            return;
        }
    }
    DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly, L"Freq list size is not correct");
}

void DeviceQm412::OnFmQuality(const Network::JsonMsgFmQuality& msg, const Network::SockAddr&) {
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        const size_t units = msg.RssiList.size();
        if (units == _fmQualityList.size() && msg.SnrList.size() >= units && msg.MultipathList.size() >= units &&
            msg.PilotList.size() >= units && msg.ValidList.size() >= units) {
            for (size_t i = 0; i < units; ++i) {
                Qm412TunerQualityValues& unit = _fmQualityList[i];
                unit._RSSI = static_cast<uint32_t>(msg.RssiList[i]);
                unit._SNR = static_cast<uint32_t>(msg.SnrList[i]);
                unit._MultiPath = static_cast<uint32_t>(msg.MultipathList[i]);
                unit._Pilot = static_cast<uint32_t>(msg.PilotList[i]);
                unit._Valid = static_cast<uint32_t>(msg.ValidList[i]);
            }
            _lastFmQualityReceivedMsgId = msg.MsgId;
            return;
        }
    }
    DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly, L"Fm quality list size is not correct");
}

void DeviceQm412::OnFmRdsData(const Network::JsonMsgRdsData& msg, const Network::SockAddr&) {
    {
        std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
        const size_t units = msg.RdsText.size();
        if (units == _fmRdsDataList.size() && msg.RdsPSrv.size() >= units && msg.RdsTime.size() >= units) {
            for (size_t i = 0; i < units; ++i) {
                Qm412TunerRdsData& unit = _fmRdsDataList[i];
                unit._RdsPSrv = msg.RdsPSrv[i];
                unit._RdsText = msg.RdsText[i];
                unit._RdsTime = msg.RdsTime[i];
            }
            _lastFmRdsDataReceivedMsgId = msg.MsgId;
            return;
        }
    }
    DbgLogRecord(_debugLog, DbgLevel::ErrorsOnly, L"Fm RDS data list size is not correct");
}

bool DeviceQm412::GetUnitRadioFreqs(uint32_t* freqs, bool updateFromDevice) {
    if (updateFromDevice && !SendMsgGetFmFreq(true)) return false;
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    for (size_t i = 0; i < _freqList.size(); ++i) freqs[i] = static_cast<uint32_t>(_freqList[i]);
    return true;
}

bool DeviceQm412::SetUnitRadioFreqs(const uint32_t* freqs) {
    auto msg = std::make_shared<Network::JsonMsgSetFmFreq>();
    const uint32_t units = GetNumRecordChannels();
    for (uint32_t i = 0; i < units; ++i) msg->FreqList.push_back(static_cast<int32_t>(freqs[i]));
    if (!SendMessageToDevice(msg, true)) return false;
    return static_cast<bool>(SendMsgGetFmFreq(true));
}

bool DeviceQm412::GetUnitRadioQuality(Qm412TunerQualityValues* quality, bool updateFromDevice) {
    if (updateFromDevice && !SendMsgGetFmQuality(true)) return false;
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    for (size_t i = 0; i < _fmQualityList.size(); ++i) quality[i] = _fmQualityList[i];
    return true;
}

bool DeviceQm412::GetUnitRdsData(Qm412TunerRdsData* rds, bool updateFromDevice) {
    if (updateFromDevice && !SendMsgGetRdsData(true)) return false;
    std::lock_guard<std::mutex> lock(_JsonUdpMessageMutex);
    for (size_t i = 0; i < _fmRdsDataList.size(); ++i) rds[i] = _fmRdsDataList[i];
    return true;
}

} // namespace Ostrel
