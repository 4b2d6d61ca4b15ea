// A QM268's input switch on the wire: what it reports in "state" and "bypass", and how it takes
// "set_state" and "set_bypass". The emulator keeps the switch record under its lock and calls
// these with it held.
#pragma once

#include <cstdint>

#include "EmulatorConfig.h"
#include "json/json_object.h"

namespace emu::qm268 {

// The "inputs" member of its "state": one entry for the switched input, unless a fault says
// otherwise.
JSON::Value StateInputs(const InputSwitch& sw, const FaultConfig& faults);

// "set_state": a non-zero "device_freq" at which the device can stream becomes its rate; the
// first entry of "inputs" sets the selection and gain it names. A value the device does not know
// leaves that setting as it is, as does a missing one. The AES rate is the incoming signal's
// and cannot be set.
void ApplySetState(const JSON::Value& request, uint32_t audioProtocol, InputSwitch& sw, uint32_t& rate);

// "bypass" and "set_bypass": "on" or "off"; any other text leaves the bypass as it is.
void WriteBypass(const InputSwitch& sw, JSON::Value& body);
void ApplySetBypass(const JSON::Value& request, InputSwitch& sw);

} // namespace emu::qm268
