// Names a component (a protocol, RTP or device object) in its log lines.
#pragma once

#include <string>
#include <utility>

namespace Network {

struct ComponentInfo {
    std::wstring LogId;

    ComponentInfo() = default;
    explicit ComponentInfo(std::wstring logId) : LogId(std::move(logId)) {}
    explicit ComponentInfo(const wchar_t* logId) : LogId(logId ? logId : L"") {}
    // ASCII names only (every component name of the library is one).
    explicit ComponentInfo(const char* logId) {
        for (const char* c = logId; c && *c; ++c) LogId.push_back(static_cast<unsigned char>(*c));
    }
};

} // namespace Network
