// The smallest application of the SDK: sees only the installed public header and library.
#include <sdk412.h>

#include <cstdio>
#include <memory>

int main() {
    std::unique_ptr<Ostrel::SDK::IQm412> device(Ostrel::SDK::CreateQm412());
    if (!device || device->GetDeviceConnectState() != Ostrel::SDK::DeviceConnectState::Disconnected ||
        device->GetNumCycleSamples() != 0)
        return 1;
    std::printf("consumer: %s\n", build::version_string);
    return 0;
}
