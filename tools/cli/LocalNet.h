// What the tool works out about this host before it talks to a device: the local address that
// routes to it and free UDP ports. Plain system calls; nothing is sent.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// The dotted IPv4 address of the interface the system would send to remote from; "0.0.0.0" when
// there is no route (or remote is no dotted address).
std::string LocalAddressFor(const std::string& remote);

// A UDP port free on address now (the system's choice); 0 when none can be had.
uint16_t FreeUdpPort(const std::string& address);

// A base port B with B+2, B+4, … B+2*count free on address (the receive ports of count tuner
// units); 0 when none was found.
uint16_t FreeRtpPortBase(const std::string& address, uint32_t count);

} // namespace cli
