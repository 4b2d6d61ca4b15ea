// An emulated device on a UDP control port, a QM412 tuner by default, or a QM268 input switch or
// a QM5 clock (EmulatorConfig::Model): it acknowledges and answers the JSON control protocol,
// streams each input's tone as RTP to the destination the host names, and injects faults on
// request. All models share the control wire (acknowledgements, repeats, duplicate filter) and
// the streaming; each answers its own requests. Tests start it in-process; the program qm412-emu
// wraps it.
//
// Threads: Start() runs two threads of its own. The control thread owns the control socket: it
// reads requests, acknowledges and answers them, sends a QM5's periodic time requests and
// repeats unacknowledged messages. The streaming thread sends one packet per input every 192
// frames, on absolute deadlines. Every other member may be called from any thread; all of them
// share one lock.
//
// A test typically:
//     emu::EmulatorConfig config;            // 127.0.0.1, kernel-chosen port, 4 units, 48000 Hz
//     config.Faults.NeverAnswer = {"get_rds_data"};
//     emu::Qm412Emulator device(config);
//     ASSERT_TRUE(device.Start());
//     ... talk to 127.0.0.1:device.Port() ...
//     EXPECT_EQ(device.Counters().Requests["get_state"], 1u);
//
// A clock device asks the host that spoke last for the time, and counts the answers:
//     config.Model = emu::DeviceModel::Qm5;
//     ... once the host has spoken: device.Push("get_time");
//     EXPECT_TRUE(Eventually([&] { return device.Counters().Time.AnsweredOnce == 1; }));
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "EmulatorConfig.h"

namespace emu {

class Qm412Emulator {
public:
    explicit Qm412Emulator(EmulatorConfig config = {});
    ~Qm412Emulator();  // stops
    Qm412Emulator(const Qm412Emulator&) = delete;
    Qm412Emulator& operator=(const Qm412Emulator&) = delete;

    // Binds the sockets and starts both threads; false with the reason in error when the
    // configuration is unusable or a socket cannot be bound. Fails while running.
    bool Start(std::string* error = nullptr);
    // Joins both threads and closes the sockets; queued messages are dropped. Start may follow.
    void Stop();
    bool IsRunning() const;

    // The control port bound (the kernel's choice when the configured port is 0); 0 before Start.
    uint16_t Port() const;
    const EmulatorConfig& Config() const;

    EmulatorCounters Counters() const;
    // Replaces the faults and restarts their sequences from faults.Seed.
    void SetFaults(const FaultConfig& faults);

    uint32_t NumUnits() const;
    TunerUnit Unit(uint32_t unit) const;
    // As if the unit were retuned or received new RDS at the device; nothing is sent (see Push).
    // Takes effect while running (Start sets every unit from the configuration).
    void SetUnit(uint32_t unit, const TunerUnit& value);
    // What the unit plays now (ToneForFmFrequency of its frequency).
    Tone ToneOf(uint32_t unit) const;
    // Per input, "a.b.c.d:port" of its stream destination, or empty while it does not stream.
    std::vector<std::string> Destinations() const;

    // The rate reported in "state" and streamed at; a QM268's host may change it. Setting it is
    // as if it changed at the device: nothing is sent (see Push). Start sets the configured one.
    uint32_t SampleRate() const;
    void SetSampleRate(uint32_t hz);
    // A QM268's input switch as it stands; setting it is as if switched at the device: nothing
    // is sent. Start sets the configured one.
    InputSwitch Switch() const;
    void SetSwitch(const InputSwitch& value);

    // Sends a message of the device on its own, reliably, to the host that sent the last request:
    // "dev_info", "state" or "inputs" as they stand; for a QM412 also "fm_freq", "fm_quality",
    // "rds_data"; for a QM268 of control protocol 2 or later "bypass"; for a QM5 "get_time", a
    // time request (Counters().Time). False for another kind, when no host has spoken yet, or
    // when too many messages wait.
    bool Push(std::string_view kind);
    // The same to a given host.
    bool PushTo(std::string_view kind, const std::string& address, uint16_t port);

    // Sends count (at most 10000) garbage datagrams from the control port to address:port, drawn
    // from the fault seed.
    void SendGarbage(const std::string& address, uint16_t port, uint32_t count);

private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

// The same emulator under a name that fits every model.
using DeviceEmulator = Qm412Emulator;

} // namespace emu
