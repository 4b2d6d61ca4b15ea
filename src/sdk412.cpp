#include "sdk412.h"

#include "audiodevs/IOstrelDevice.h"
#include "net/INet.h"
#include "qm412.h"
#include "util/utfconv.h"

namespace Ostrel::SDK {

void Qm412TunerQualityValues::Clear() { *this = Qm412TunerQualityValues(); }

void Qm412TunerRdsDataValues::Clear() {
    _RdsPSrv.clear();
    _RdsText.clear();
    _RdsTime.clear();
}

IQm412* CreateQm412() { return new Qm412(); }

bool FindActiveDevices(const std::string& host_ip_addr, uint32_t host_port, const std::string& broadcast_ip_addr,
                       uint32_t broadcast_port, std::vector<DeviceInfoEx>& devices_list) {
    devices_list.clear();
    InitWinSocks();
    const Network::SockAddr host(text::UTF8_UTF16(host_ip_addr), static_cast<long>(host_port));
    const Network::SockAddr search(text::UTF8_UTF16(broadcast_ip_addr), static_cast<long>(broadcast_port));
    Ostrel::DevicesList found;
    // A failed record writes its reason to the debug log when it goes out of scope.
    const ErrInfo err = Ostrel::FindActiveDevices(host, search, found);
    if (!err) return false;
    devices_list.reserve(found.size());
    for (const Ostrel::DeviceInfoEx& device : found) devices_list.push_back(ConvertDeviceInfoEx(device));
    return true;
}

} // namespace Ostrel::SDK
