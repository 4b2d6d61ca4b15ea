// The emulated QM5 clock against a hand-written host: it asks for the time and checks each
// answer, so a host that answers twice, or with broken time texts, shows in its counters.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdio>
#include <string>

#include "emulator/Qm5Clock.h"
#include "host_peer.h"

namespace {

using namespace emu_test;

struct ClockDevice {
    explicit ClockDevice(emu::EmulatorConfig config = {}) : Device(WithModel(std::move(config))) {
        std::string error;
        EXPECT_TRUE(Device.Start(&error)) << error;
    }
    static emu::EmulatorConfig WithModel(emu::EmulatorConfig config) {
        config.Model = emu::DeviceModel::Qm5;
        return config;
    }
    emu::EmulatorCounters::TimeCheck Time() const { return Device.Counters().Time; }
    emu::DeviceEmulator Device;
};

std::string TimeText(const std::tm& t, long ms) {
    char text[64];
    std::snprintf(text, sizeof(text), "%04d/%02d/%02d %02d:%02d:%02d.%03ld", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, ms);
    return text;
}

std::string Members(const std::string& td, const std::string& utc) {
    return ",\"td\":\"" + td + "\",\"utc\":\"" + utc + "\"";
}

// "td" and "utc" of one reading of this machine's clock, as a host answers.
std::string NowMembers() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm local{}, utc{};
    localtime_r(&now.tv_sec, &local);
    gmtime_r(&now.tv_sec, &utc);
    return Members(TimeText(local, now.tv_nsec / 1'000'000), TimeText(utc, now.tv_nsec / 1'000'000));
}

// The device's next time request, acknowledged.
void TakeTimeRequest(Host& host) {
    auto request = host.Receive();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Kind(), "get_time");
    EXPECT_EQ(request->AckMsgId(), 0) << "a request answers nothing";
    host.Ack(*request);
}

// A "cur_time" with these members, and the device's acknowledgement of it.
void SendCurTime(Host& host, const std::string& members, std::optional<uint32_t> id = {}) {
    const uint32_t sent = host.Send("cur_time", members, id);
    auto ack = host.Receive();
    ASSERT_TRUE(ack && ack->Kind() == "ack" && ack->AckMsgId() == sent) << "cur_time not acknowledged";
}

TEST(EmulatorClock, AsksTheLastHostForTheTimeAndCountsItsAnswerOnce) {
    ClockDevice emu;
    EXPECT_FALSE(emu.Device.Push("get_time")) << "no host has spoken yet";
    Host host(emu.Device.Port());
    host.Ask("get_dev_info", "dev_info");

    ASSERT_TRUE(emu.Device.Push("get_time"));
    TakeTimeRequest(host);
    ASSERT_TRUE(Eventually([&] { return emu.Time().RequestsSent == 1; }));
    EXPECT_EQ(emu.Time().Waiting, 1u);

    const std::string answer = NowMembers();
    SendCurTime(host, answer);
    const auto t = emu.Time();
    EXPECT_EQ(t.AnswersReceived, 1u);
    EXPECT_EQ(t.AnsweredOnce, 1u);
    EXPECT_EQ(t.Waiting, 0u);
    EXPECT_EQ(t.ExtraAnswers, 0u);
    EXPECT_EQ(t.Malformed, 0u);
    EXPECT_EQ(t.Inconsistent, 0u);
    EXPECT_EQ(Members(t.LastTd, t.LastUtc), answer);
    // What a test of a real host compares: the time it sent against this machine's clock.
    const auto utc = emu::qm5::ParseTimeText(t.LastUtc);
    ASSERT_TRUE(utc);
    EXPECT_LT(std::chrono::abs(t.LastReceivedAt - *utc), std::chrono::seconds(5));
}

TEST(EmulatorClock, CountsASecondAnswerAsExtraAndARepeatedDatagramAsARepeat) {
    ClockDevice emu;
    Host host(emu.Device.Port());
    host.Ask("get_dev_info", "dev_info");
    ASSERT_TRUE(emu.Device.Push("get_time"));
    TakeTimeRequest(host);

    SendCurTime(host, NowMembers(), 500);
    SendCurTime(host, NowMembers(), 500);  // the same message again, as after a lost acknowledgement
    auto t = emu.Time();
    EXPECT_EQ(t.AnsweredOnce, 1u);
    EXPECT_EQ(t.ExtraAnswers, 0u);
    EXPECT_EQ(emu.Device.Counters().Duplicates, 1u);

    SendCurTime(host, NowMembers());  // a second answer to the same request
    SendCurTime(host, NowMembers());  // and one nobody asked for
    t = emu.Time();
    EXPECT_EQ(t.AnswersReceived, 3u);
    EXPECT_EQ(t.AnsweredOnce, 1u);
    EXPECT_EQ(t.ExtraAnswers, 2u);
}

TEST(EmulatorClock, FlagsMalformedTimeTextsAndTextsOfTwoReadings) {
    struct Case {
        const char* Name;
        std::string Members;
        bool Malformed, Inconsistent;
    };
    const std::string good = "2024/05/17 08:03:09.045";
    const Case cases[] = {
        {"22 characters", Members("2024/05/17 08:03:09.04", good), true, false},
        {"24 characters", Members(good, "2024/05/17 08:03:09.0451"), true, false},
        {"other separators", Members("2024-05-17 08:03:09.045", good), true, false},
        {"no utc", ",\"td\":\"" + good + "\"", true, false},
        {"td a number", ",\"td\":20240517,\"utc\":\"" + good + "\"", true, false},
        {"no leap day in 2023", Members("2023/02/29 08:03:09.045", "2023/02/29 08:03:09.045"), true, false},
        {"hour 24", Members("2024/05/17 24:03:09.045", good), true, false},
        {"month 13", Members(good, "2024/13/17 08:03:09.045"), true, false},
        {"leap day in 2024", Members("2024/02/29 23:59:59.999", "2024/02/29 23:59:59.999"), false, false},
        {"Nepal, 5:45 ahead", Members("2024/05/17 13:48:09.045", good), false, false},
        {"one day apart across midnight", Members("2024/05/18 01:03:09.045", "2024/05/17 23:03:09.045"), false, false},
        {"milliseconds of two readings", Members("2024/05/17 10:03:09.046", good), false, true},
        {"seven minutes apart", Members("2024/05/17 08:10:09.045", good), false, true},
        {"15 hours apart", Members("2024/05/17 23:03:09.045", good), false, true},
    };
    ClockDevice emu;
    Host host(emu.Device.Port());
    host.Ask("get_dev_info", "dev_info");
    uint64_t malformed = 0, inconsistent = 0, answered = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(emu.Device.Push("get_time"));
        TakeTimeRequest(host);
        SendCurTime(host, c.Members);
        malformed += c.Malformed;
        inconsistent += c.Inconsistent;
        const auto t = emu.Time();
        EXPECT_EQ(t.AnsweredOnce, ++answered) << "a broken answer is still the answer";
        EXPECT_EQ(t.Malformed, malformed);
        EXPECT_EQ(t.Inconsistent, inconsistent);
    }
}

TEST(EmulatorClock, AsksAGivenHostPeriodicallyWithoutBeingSpokenTo) {
    Host host(0);  // the device needs its address first
    emu::EmulatorConfig config;
    config.TimeRequestIntervalMs = 20;
    config.TimeHost = "127.0.0.1:" + std::to_string(host.Port());
    ClockDevice emu(config);
    host.SetDevicePort(emu.Device.Port());

    int answers = 0;
    while (answers < 3) {
        auto d = host.Receive();
        ASSERT_TRUE(d);
        if (d->Kind() != "get_time") continue;  // acknowledgements of our answers
        host.Ack(*d);
        host.Send("cur_time", NowMembers());
        ++answers;
    }
    ASSERT_TRUE(Eventually([&] { return emu.Time().AnswersReceived == 3; }));
    const auto t = emu.Time();
    EXPECT_EQ(t.AnsweredOnce, 3u);
    EXPECT_GE(t.RequestsSent, 3u);
    EXPECT_EQ(t.ExtraAnswers + t.Malformed + t.Inconsistent, 0u);
}

TEST(EmulatorClock, RefusesATimeHostThatIsNoAddress) {
    emu::EmulatorConfig config;
    config.Model = emu::DeviceModel::Qm5;
    config.TimeHost = "localhost";
    emu::DeviceEmulator device(config);
    std::string error;
    EXPECT_FALSE(device.Start(&error));
    EXPECT_NE(error.find("localhost"), std::string::npos) << error;
}

} // namespace
