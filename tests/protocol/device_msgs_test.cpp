// Device messages: the exact datagram of every kind and its reading back, the read rules of each
// kind for what devices may send (lenient lists, required description keys, time texts), the
// factory's names, and the clock reading of "cur_time".
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "diag/IEnvironment.h"
#include "json/json_object.h"
#include "protocol/JsonMsgAsioDriver.h"
#include "support/log_capture.h"
#include "util/utfconv.h"

using namespace Network;
using namespace std::string_literals;

namespace {

const IJsonMsgFactory* Factory() { return GetAsioDriverJsonMsgFactory(); }

SockAddr Addr(const wchar_t* text) {
    SockAddr addr;
    EXPECT_TRUE(addr.Set(std::wstring(text))) << text::UTF16_UTF8(text);
    return addr;
}

std::string Datagram(const JsonMsg& msg) {
    Packet packet(1472);
    ErrInfo err = msg.ToPacket(packet, false, 0);
    if (!err) return "ERROR " + text::UTF16_UTF8(err.Silent().GetErrorStr());
    return std::string(reinterpret_cast<const char*>(packet.GetDataPtr()), packet.GetDataSize());
}

std::unique_ptr<JsonMsg> Read(std::string_view bytes) {
    Packet packet(bytes.size());
    packet.SetDataSize(bytes.size());
    if (!bytes.empty()) std::memcpy(packet.GetDataPtr(), bytes.data(), bytes.size());
    return JsonMsg::Create(packet, Factory());
}

// A message of kind T read from the JSON text of a datagram (the zero byte is added), or none
// when the datagram is refused or makes another kind.
template <class T>
std::unique_ptr<T> ReadAs(const std::string& json) {
    auto msg = Read(json + '\0');
    if (!msg || typeid(*msg) != typeid(T)) return nullptr;
    return std::unique_ptr<T>(static_cast<T*>(msg.release()));
}

template <class T>
std::unique_ptr<JsonMsg> Make(const std::function<void(T&)>& fill = nullptr) {
    auto msg = std::make_unique<T>();
    msg->MsgId = 5;
    if (fill) fill(*msg);
    return msg;
}

struct Golden {
    const char* what;
    std::function<std::unique_ptr<JsonMsg>()> make;
    std::string datagram;
};

std::vector<Golden> Catalogue() {
    const DateTime::UnpackedValue local(2024, 5, 17, 8, 3, 9, 45);
    const DateTime::UnpackedValue utc(2024, 5, 17, 6, 3, 9, 45);
    return {
        {"dev_find", [] { return Make<JsonMsgDevFind>(); }, "{\"msg\":\"dev_find\",\"msg_id\":5}\0"s},
        {"get_dev_info", [] { return Make<JsonMsgGetDevInfo>(); }, "{\"msg\":\"get_dev_info\",\"msg_id\":5}\0"s},
        {"dev_info, defaults", [] { return Make<JsonMsgDevInfo>(); },
         "{\"audio_protocol\":1,\"control_protocol\":1,\"firmware\":1,\"hardware\":1,\"inputs\":0,\"msg\":\"dev_info\","
         "\"msg_id\":5,\"outputs\":0,\"rtp_port\":0,\"software\":1,\"unit_id\":\"\",\"unit_type\":\"\"}\0"s},
        {"dev_info",
         [] {
             return Make<JsonMsgDevInfo>([](JsonMsgDevInfo& m) {
                 m.UnitId = L"QM-0042 \u00C5";
                 m.UnitType = L"QM412";
                 m.Hardware = 3;
                 m.Firmware = 4;
                 m.Software = 5;
                 m.AudioProtocol = 6;
                 m.ControlProtocol = 2;
                 m.RtpPort = 5004;
                 m.Inputs = 4;
                 m.Outputs = 4294967295u;
             });
         },
         "{\"audio_protocol\":6,\"control_protocol\":2,\"firmware\":4,\"hardware\":3,\"inputs\":4,\"msg\":\"dev_info\","
         "\"msg_id\":5,\"outputs\":4294967295,\"rtp_port\":5004,\"software\":5,\"unit_id\":\"QM-0042 \xC3\x85\","
         "\"unit_type\":\"QM412\"}\0"s},
        {"get_state", [] { return Make<JsonMsgGetState>(); }, "{\"msg\":\"get_state\",\"msg_id\":5}\0"s},
        {"state, defaults", [] { return Make<JsonMsgState>(); }, "{\"msg\":\"state\",\"msg_id\":5}\0"s},
        {"state",
         [] {
             return Make<JsonMsgState>([](JsonMsgState& m) {
                 m.DeviceFreq = 48000;
                 m.Inputs = {{InputType::Analog, InputGain::Plus4dBu, 0}};
             });
         },
         "{\"device_freq\":48000,\"inputs\":[{\"gain\":\"+4dBu\",\"select\":\"analog\"}],\"msg\":\"state\","
         "\"msg_id\":5}\0"s},
        {"set_state",
         [] {
             return Make<JsonMsgSetState>([](JsonMsgSetState& m) {
                 m.Inputs = {{}, {InputType::AES, InputGain::Minus10dBu, 44100}, {InputType::Undefined, InputGain::Undefined, 96000}};
             });
         },
         "{\"inputs\":[{},{\"freq\":44100,\"gain\":\"-10dBu\",\"select\":\"aes\"},{\"freq\":96000}],"
         "\"msg\":\"set_state\",\"msg_id\":5}\0"s},
        {"get_inputs", [] { return Make<JsonMsgGetInputs>(); }, "{\"msg\":\"get_inputs\",\"msg_id\":5}\0"s},
        {"inputs, none", [] { return Make<JsonMsgInputs>(); }, "{\"msg\":\"inputs\",\"msg_id\":5}\0"s},
        {"inputs",
         [] {
             return Make<JsonMsgInputs>([](JsonMsgInputs& m) { m.Inputs = {Addr(L"10.0.0.5:5004"), SockAddr()}; });
         },
         "{\"inputs\":[\"10.0.0.5:5004\",\"\"],\"msg\":\"inputs\",\"msg_id\":5}\0"s},
        {"set_inputs",
         [] {
             return Make<JsonMsgSetInputs>([](JsonMsgSetInputs& m) {
                 m.Inputs = {{true, Addr(L"10.0.0.5:5004")}, {true, SockAddr()}, {false, SockAddr()}};
             });
         },
         "{\"inputs\":[\"10.0.0.5:5004\",\"off\",\"\"],\"msg\":\"set_inputs\",\"msg_id\":5}\0"s},
        {"get_time", [] { return Make<JsonMsgGetTime>(); }, "{\"msg\":\"get_time\",\"msg_id\":5}\0"s},
        {"cur_time",
         [local, utc] {
             return Make<JsonMsgCurTime>([&](JsonMsgCurTime& m) {
                 m.CurTime = local;
                 m.UtcTime = utc;
             });
         },
         "{\"msg\":\"cur_time\",\"msg_id\":5,\"td\":\"2024\\/05\\/17 08:03:09.045\",\"utc\":\"2024\\/05\\/17 "
         "06:03:09.045\"}\0"s},
        {"get_fm_freq", [] { return Make<JsonMsgGetFmFreq>(); }, "{\"msg\":\"get_fm_freq\",\"msg_id\":5}\0"s},
        {"fm_freq, empty list", [] { return Make<JsonMsgFmFreq>(); }, "{\"freq\":[],\"msg\":\"fm_freq\",\"msg_id\":5}\0"s},
        {"fm_freq",
         [] {
             return Make<JsonMsgFmFreq>([](JsonMsgFmFreq& m) { m.FreqList = {87500, 107900, -1, -2147483647 - 1}; });
         },
         "{\"freq\":[87500,107900,-1,-2147483648],\"msg\":\"fm_freq\",\"msg_id\":5}\0"s},
        {"set_fm_freq",
         [] { return Make<JsonMsgSetFmFreq>([](JsonMsgSetFmFreq& m) { m.FreqList = {90000, 2147483647}; }); },
         "{\"freq\":[90000,2147483647],\"msg\":\"set_fm_freq\",\"msg_id\":5}\0"s},
        {"get_fm_quality", [] { return Make<JsonMsgGetFmQuality>(); }, "{\"msg\":\"get_fm_quality\",\"msg_id\":5}\0"s},
        {"fm_quality, empty lists", [] { return Make<JsonMsgFmQuality>(); },
         "{\"msg\":\"fm_quality\",\"msg_id\":5,\"multipath\":[],\"pilot\":[],\"rssi\":[],\"snr\":[],\"valid\":[]}\0"s},
        {"fm_quality",
         [] {
             return Make<JsonMsgFmQuality>([](JsonMsgFmQuality& m) {
                 m.RssiList = {40, 41};
                 m.SnrList = {20, -3};
                 m.MultipathList = {1, 2};
                 m.PilotList = {0, 1};
                 m.ValidList = {1, 0};
             });
         },
         "{\"msg\":\"fm_quality\",\"msg_id\":5,\"multipath\":[1,2],\"pilot\":[0,1],\"rssi\":[40,41],\"snr\":[20,-3],"
         "\"valid\":[1,0]}\0"s},
        {"get_rds_data", [] { return Make<JsonMsgGetRdsData>(); }, "{\"msg\":\"get_rds_data\",\"msg_id\":5}\0"s},
        {"rds_data",
         [] {
             return Make<JsonMsgRdsData>([](JsonMsgRdsData& m) {
                 m.RdsPSrv = {L"RADIO 1", L""};
                 m.RdsText = {L"Gr\u00FC\u00DFe \"live\"", L"x"};
                 m.RdsTime = {L"12:00", L""};
             });
         },
         "{\"msg\":\"rds_data\",\"msg_id\":5,\"psrv\":[\"RADIO 1\",\"\"],\"text\":[\"Gr\xC3\xBC\xC3\x9F" "e "
         "\\\"live\\\"\",\"x\"],\"time\":[\"12:00\",\"\"]}\0"s},
        {"get_bypass", [] { return Make<JsonMsgGetBypass>(); }, "{\"msg\":\"get_bypass\",\"msg_id\":5}\0"s},
        {"bypass, default off", [] { return Make<JsonMsgBypass>(); }, "{\"bypass\":\"off\",\"msg\":\"bypass\",\"msg_id\":5}\0"s},
        {"set_bypass on",
         [] { return Make<JsonMsgSetBypass>([](JsonMsgSetBypass& m) { m.BypassIsOn = true; }); },
         "{\"bypass\":\"on\",\"msg\":\"set_bypass\",\"msg_id\":5}\0"s},
    };
}

} // namespace

TEST(DeviceMsgWire, EveryKindGoldenDatagram) {
    for (const Golden& g : Catalogue()) EXPECT_EQ(Datagram(*g.make()), g.datagram) << g.what;
}

TEST(DeviceMsgWire, EveryGoldenDatagramReadsBackAsItsClassAndFields) {
    for (const Golden& g : Catalogue()) {
        auto original = g.make();
        auto back = Read(g.datagram);
        ASSERT_TRUE(back) << g.what;
        const JsonMsg& o = *original;
        const JsonMsg& b = *back;
        EXPECT_EQ(typeid(b), typeid(o)) << g.what;
        EXPECT_EQ(back->MsgType, original->MsgType) << g.what;
        // Every field the kind writes is read back, or its datagram would differ.
        EXPECT_EQ(Datagram(*back), g.datagram) << g.what;
    }
}

TEST(DeviceMsgFactory, MakesEachKindByItsExactName) {
    const std::vector<std::pair<const wchar_t*, const std::type_info*>> kinds = {
        {L"dev_find", &typeid(JsonMsgDevFind)},        {L"get_dev_info", &typeid(JsonMsgGetDevInfo)},
        {L"dev_info", &typeid(JsonMsgDevInfo)},        {L"get_state", &typeid(JsonMsgGetState)},
        {L"set_state", &typeid(JsonMsgSetState)},      {L"state", &typeid(JsonMsgState)},
        {L"get_inputs", &typeid(JsonMsgGetInputs)},    {L"set_inputs", &typeid(JsonMsgSetInputs)},
        {L"inputs", &typeid(JsonMsgInputs)},           {L"get_fm_freq", &typeid(JsonMsgGetFmFreq)},
        {L"set_fm_freq", &typeid(JsonMsgSetFmFreq)},   {L"fm_freq", &typeid(JsonMsgFmFreq)},
        {L"get_fm_quality", &typeid(JsonMsgGetFmQuality)}, {L"fm_quality", &typeid(JsonMsgFmQuality)},
        {L"get_rds_data", &typeid(JsonMsgGetRdsData)}, {L"rds_data", &typeid(JsonMsgRdsData)},
        {L"get_time", &typeid(JsonMsgGetTime)},        {L"cur_time", &typeid(JsonMsgCurTime)},
        {L"bypass", &typeid(JsonMsgBypass)},           {L"get_bypass", &typeid(JsonMsgGetBypass)},
        {L"set_bypass", &typeid(JsonMsgSetBypass)},
    };
    for (const auto& [name, type] : kinds) {
        auto msg = Factory()->CreateJsonMsg(name);
        ASSERT_TRUE(msg) << text::UTF16_UTF8(name);
        const JsonMsg& m = *msg;
        EXPECT_EQ(typeid(m), *type) << text::UTF16_UTF8(name);
        EXPECT_EQ(msg->MsgType, name);
    }
    for (const wchar_t* other : {L"State", L"STATE", L"Dev_Info", L"state ", L"", L"ack", L"ok", L"attach", L"get_"})
        EXPECT_FALSE(Factory()->CreateJsonMsg(other)) << text::UTF16_UTF8(other);
    EXPECT_EQ(GetAsioDriverJsonMsgFactory(), GetAsioDriverJsonMsgFactory());
}

TEST(DeviceMsgFactory, RequestsAreNotTheirAnswers) {
    // A handler that dispatches on the class must not take a "set_" request for its answer.
    JsonMsgSetState setState;
    JsonMsgSetFmFreq setFreq;
    JsonMsgSetBypass setBypass;
    EXPECT_EQ(dynamic_cast<JsonMsgState*>(static_cast<JsonMsg*>(&setState)), nullptr);
    EXPECT_EQ(dynamic_cast<JsonMsgFmFreq*>(static_cast<JsonMsg*>(&setFreq)), nullptr);
    EXPECT_EQ(dynamic_cast<JsonMsgBypass*>(static_cast<JsonMsg*>(&setBypass)), nullptr);
}

TEST(DeviceMsgRead, DevInfoNeedsEveryKeyWithItsType) {
    const std::vector<std::pair<std::string, std::string>> keys = {
        {"unit_id", "\"A\""}, {"unit_type", "\"QM412\""}, {"hardware", "1"}, {"firmware", "2"},
        {"software", "3"},    {"audio_protocol", "4"},   {"control_protocol", "5"}, {"rtp_port", "6"},
        {"inputs", "7"},      {"outputs", "8"},
    };
    auto text = [&](size_t skip, const std::string& replaced) {
        std::string json = "{\"msg\":\"dev_info\",\"msg_id\":1";
        for (size_t i = 0; i < keys.size(); ++i) {
            if (i == skip && replaced.empty()) continue;
            json += ",\"" + keys[i].first + "\":" + (i == skip ? replaced : keys[i].second);
        }
        return json + "}";
    };

    auto all = ReadAs<JsonMsgDevInfo>(text(keys.size(), ""));
    ASSERT_TRUE(all);
    EXPECT_EQ(all->UnitId, L"A");
    EXPECT_EQ(all->UnitType, L"QM412");
    EXPECT_EQ((std::vector<uint32_t>{all->Hardware, all->Firmware, all->Software, all->AudioProtocol, all->ControlProtocol,
                                     all->RtpPort, all->Inputs, all->Outputs}),
              (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));

    for (size_t i = 0; i < keys.size(); ++i) {
        EXPECT_FALSE(ReadAs<JsonMsgDevInfo>(text(i, ""))) << "without " << keys[i].first;
        const bool isText = keys[i].second[0] == '"';
        for (const std::string& wrong : isText ? std::vector<std::string>{"1", "null", "[\"A\"]"}
                                               : std::vector<std::string>{"-1", "4294967296", "\"1\"", "1.0", "true"})
            EXPECT_FALSE(ReadAs<JsonMsgDevInfo>(text(i, wrong))) << keys[i].first << " = " << wrong;
    }
}

TEST(DeviceMsgRead, StateReadsWhatItUnderstands) {
    struct Case {
        const char* json;
        uint32_t deviceFreq;
        InputStateVect inputs;
    } cases[] = {
        {"{\"msg\":\"state\",\"msg_id\":1,\"inputs\":[5,{\"select\":\"aes\",\"gain\":\"x\",\"freq\":44100}]}", 0,
         {{}, {InputType::AES, InputGain::Undefined, 44100}}},
        {"{\"msg\":\"state\",\"msg_id\":1,\"device_freq\":48000}", 48000, {}},
        {"{\"msg\":\"state\",\"msg_id\":1,\"device_freq\":4294967295}", 4294967295u, {}},
        // Present but not an integer: left as it was.
        {"{\"msg\":\"state\",\"msg_id\":1,\"device_freq\":\"48000\"}", 0, {}},
        {"{\"msg\":\"state\",\"msg_id\":1,\"device_freq\":48000.0}", 0, {}},
        // "inputs" that is not an array is not read.
        {"{\"msg\":\"state\",\"msg_id\":1,\"inputs\":{\"select\":\"aes\"}}", 0, {}},
        {"{\"msg\":\"state\",\"msg_id\":1,\"inputs\":[]}", 0, {}},
        // Texts are matched exactly; a non-integer "freq" is not read.
        {"{\"msg\":\"state\",\"msg_id\":1,\"inputs\":[{\"select\":\"AES\",\"gain\":\"+4dBu\",\"freq\":\"1\"},"
         "{\"select\":\"analog\",\"gain\":\"-10dBu\",\"freq\":1.5},{\"select\":5,\"gain\":null,\"freq\":0},null,[]]}",
         0,
         {{InputType::Undefined, InputGain::Plus4dBu, 0}, {InputType::Analog, InputGain::Minus10dBu, 0}, {}, {}, {}}},
    };
    for (const Case& c : cases) {
        auto msg = ReadAs<JsonMsgState>(c.json);
        ASSERT_TRUE(msg) << c.json;
        EXPECT_EQ(msg->DeviceFreq, c.deviceFreq) << c.json;
        EXPECT_TRUE(msg->Inputs == c.inputs) << c.json;
    }

    for (const char* refused : {
             "{\"msg\":\"state\",\"msg_id\":1,\"device_freq\":-1}",
             "{\"msg\":\"state\",\"msg_id\":1,\"device_freq\":4294967296}",
             "{\"msg\":\"state\",\"msg_id\":1,\"inputs\":[{\"freq\":-1}]}",
             "{\"msg\":\"set_state\",\"msg_id\":1,\"inputs\":[{},{\"freq\":4294967296}]}",
         })
        EXPECT_FALSE(Read(refused + "\0"s)) << refused;

    auto set = ReadAs<JsonMsgSetState>("{\"msg\":\"set_state\",\"msg_id\":1,\"device_freq\":96000}");
    ASSERT_TRUE(set);
    EXPECT_EQ(set->DeviceFreq, 96000u);
}

TEST(DeviceMsgRead, StateReplacesItsInputsAndKeepsAnUnsentRate) {
    JsonMsgState msg;
    msg.DeviceFreq = 44100;
    msg.Inputs = {{InputType::AES, InputGain::Plus4dBu, 1}, {InputType::AES, InputGain::Plus4dBu, 2}};
    JSON::Value value;
    ASSERT_TRUE(JSON::Value::Parse("{\"msg\":\"state\",\"msg_id\":1,\"inputs\":[{\"select\":\"analog\"}]}", value));
    ASSERT_TRUE(msg.Deserialize(value));
    EXPECT_EQ(msg.DeviceFreq, 44100u);
    EXPECT_TRUE(msg.Inputs == (InputStateVect{{InputType::Analog, InputGain::Undefined, 0}}));
}

TEST(DeviceMsgRead, InputsAddresses) {
    auto msg = ReadAs<JsonMsgInputs>(
        "{\"msg\":\"inputs\",\"msg_id\":1,\"inputs\":[\"10.0.0.5:5004\",7,\"garbage\",\"\",\"10.0.0.6\",\"10.1:80\",null]}");
    ASSERT_TRUE(msg);
    ASSERT_EQ(msg->Inputs.size(), 7u);
    EXPECT_EQ(msg->Inputs[0], Addr(L"10.0.0.5:5004"));
    EXPECT_EQ(msg->Inputs[5], Addr(L"10.0.0.1:80"));
    for (size_t i : {1, 2, 3, 4, 6}) EXPECT_FALSE(msg->Inputs[i].IsSet()) << i;

    auto none = ReadAs<JsonMsgInputs>("{\"msg\":\"inputs\",\"msg_id\":1}");
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->Inputs.empty());

    for (const char* notArray : {"\"10.0.0.5:5004\"", "5", "{}", "null"})
        EXPECT_FALSE(ReadAs<JsonMsgInputs>("{\"msg\":\"inputs\",\"msg_id\":1,\"inputs\":"s + notArray + "}")) << notArray;

    // Reading appends.
    JsonMsgInputs appended;
    appended.Inputs = {Addr(L"1.2.3.4:1")};
    JSON::Value value;
    ASSERT_TRUE(JSON::Value::Parse("{\"msg\":\"inputs\",\"msg_id\":1,\"inputs\":[\"5.6.7.8:2\"]}", value));
    ASSERT_TRUE(appended.Deserialize(value));
    EXPECT_EQ(appended.Inputs, (std::vector<SockAddr>{Addr(L"1.2.3.4:1"), Addr(L"5.6.7.8:2")}));
}

TEST(DeviceMsgRead, SetInputsEntries) {
    auto msg = ReadAs<JsonMsgSetInputs>(
        "{\"msg\":\"set_inputs\",\"msg_id\":1,\"inputs\":[\"10.0.0.5:5004\",\"off\",\"\",5,\"bogus\",\"OFF\"]}");
    ASSERT_TRUE(msg);
    const std::vector<std::pair<bool, SockAddr>> expected = {
        {true, Addr(L"10.0.0.5:5004")}, {true, SockAddr()}, {false, SockAddr()},
        {false, SockAddr()},            {true, SockAddr()}, {true, SockAddr()},
    };
    EXPECT_EQ(msg->Inputs, expected);

    for (const char* ignored : {"", ",\"inputs\":\"off\"", ",\"inputs\":{}"}) {
        auto lenient = ReadAs<JsonMsgSetInputs>("{\"msg\":\"set_inputs\",\"msg_id\":1"s + ignored + "}");
        ASSERT_TRUE(lenient) << ignored;
        EXPECT_TRUE(lenient->Inputs.empty()) << ignored;
    }
}

TEST(DeviceMsgRead, ListsStopAtTheFirstElementThatDoesNotConvert) {
    struct Case {
        const char* freq;  // the "freq" member, or none
        std::vector<int32_t> expected;
    } cases[] = {
        {",\"freq\":[87500,\"x\",90000]", {87500}},
        {"", {}},
        {",\"freq\":87500", {}},
        {",\"freq\":[2147483647,-2147483648,2147483648]", {2147483647, -2147483647 - 1}},
        {",\"freq\":[1,1.0,2]", {1}},
        {",\"freq\":[null]", {}},
    };
    for (const Case& c : cases) {
        auto msg = ReadAs<JsonMsgFmFreq>("{\"msg\":\"fm_freq\",\"msg_id\":1"s + c.freq + "}");
        ASSERT_TRUE(msg) << c.freq;
        EXPECT_EQ(msg->FreqList, c.expected) << c.freq;
        auto set = ReadAs<JsonMsgSetFmFreq>("{\"msg\":\"set_fm_freq\",\"msg_id\":1"s + c.freq + "}");
        ASSERT_TRUE(set) << c.freq;
        EXPECT_EQ(set->FreqList, c.expected) << c.freq;
    }

    auto quality = ReadAs<JsonMsgFmQuality>(
        "{\"msg\":\"fm_quality\",\"msg_id\":1,\"rssi\":[1,2,3],\"snr\":[4,\"5\",6],\"multipath\":7,\"pilot\":[-8],"
        "\"valid\":[9,10.5]}");
    ASSERT_TRUE(quality);
    EXPECT_EQ(quality->RssiList, (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(quality->SnrList, (std::vector<int32_t>{4}));
    EXPECT_EQ(quality->MultipathList, (std::vector<int32_t>{}));
    EXPECT_EQ(quality->PilotList, (std::vector<int32_t>{-8}));
    EXPECT_EQ(quality->ValidList, (std::vector<int32_t>{9}));

    auto rds = ReadAs<JsonMsgRdsData>(
        "{\"msg\":\"rds_data\",\"msg_id\":1,\"psrv\":[\"A\",5,\"B\"],\"text\":[\"\\u00E9\"],\"time\":\"12:00\"}");
    ASSERT_TRUE(rds);
    EXPECT_EQ(rds->RdsPSrv, (std::vector<std::wstring>{L"A"}));
    EXPECT_EQ(rds->RdsText, (std::vector<std::wstring>{L"\u00E9"}));
    EXPECT_TRUE(rds->RdsTime.empty());

    // A list is emptied before it is read.
    JsonMsgFmFreq refilled;
    refilled.FreqList = {1, 2, 3};
    JSON::Value value;
    ASSERT_TRUE(JSON::Value::Parse("{\"msg\":\"fm_freq\",\"msg_id\":1,\"freq\":[4]}", value));
    ASSERT_TRUE(refilled.Deserialize(value));
    EXPECT_EQ(refilled.FreqList, (std::vector<int32_t>{4}));
}

TEST(DeviceMsgRead, BypassIsOnOnlyForExactlyOn) {
    struct Case {
        const char* member;
        bool on;
    } cases[] = {
        {",\"bypass\":\"on\"", true}, {",\"bypass\":\"ON\"", false}, {",\"bypass\":\"off\"", false},
        {"", false},                  {",\"bypass\":1", false},      {",\"bypass\":true", false},
        {",\"bypass\":\"on \"", false},
    };
    for (const Case& c : cases) {
        auto msg = ReadAs<JsonMsgBypass>("{\"msg\":\"bypass\",\"msg_id\":1"s + c.member + "}");
        ASSERT_TRUE(msg) << c.member;
        EXPECT_EQ(msg->BypassIsOn, c.on) << c.member;
        auto set = ReadAs<JsonMsgSetBypass>("{\"msg\":\"set_bypass\",\"msg_id\":1"s + c.member + "}");
        ASSERT_TRUE(set) << c.member;
        EXPECT_EQ(set->BypassIsOn, c.on) << c.member;
    }
}

TEST(DeviceMsgRead, CurTimeNeedsBothTextsOfTheLayoutLength) {
    const std::string td = "\"2024/05/17 08:03:09.045\"";
    const std::string utc = "\"2024/05/17 06:03:09.045\"";
    for (const std::string& members : {
             ",\"td\":\"2024/05/17 08:03:09.04\",\"utc\":" + utc,  // 22 characters
             ",\"td\":" + td,                                       // no utc
             ",\"utc\":" + utc,                                     // no td
             ",\"td\":" + td + ",\"utc\":\"2024/05/17 06:03:09.0450\"",
             ",\"td\":5,\"utc\":" + utc,
             ",\"td\":" + td + ",\"utc\":null",
         }) {
        const std::string json = "{\"msg\":\"cur_time\",\"msg_id\":1" + members + "}";
        EXPECT_FALSE(ReadAs<JsonMsgCurTime>(json)) << json;

        JSON::Value value;
        ASSERT_TRUE(JSON::Value::Parse(json, value));
        JsonMsgCurTime msg;
        ErrInfo err = msg.Deserialize(value);
        ASSERT_FALSE(err) << json;
        err.Silent();
        EXPECT_EQ(err.GetErrorStr(), L"Both time string parameters are mandatory for 'cur_time' message");
    }

    auto msg = ReadAs<JsonMsgCurTime>("{\"msg\":\"cur_time\",\"msg_id\":1,\"td\":" + td + ",\"utc\":" + utc + "}");
    ASSERT_TRUE(msg);
    EXPECT_TRUE(msg->CurTime == DateTime::UnpackedValue(2024, 5, 17, 8, 3, 9, 45));
    EXPECT_TRUE(msg->UtcTime == DateTime::UnpackedValue(2024, 5, 17, 6, 3, 9, 45));
}

TEST(DeviceMsgRead, CurTimeTextThatBreaksTheLayoutLeavesItsTime) {
    const DateTime::UnpackedValue before(2001, 2, 3, 4, 5, 6, 7);
    struct Case {
        const char* td;
        bool read;
    } cases[] = {
        {"2024-05-17 08:03:09.045", false},
        {"2024/05/17T08:03:09.045", false},
        {"2024/05/17 08:03:09,045", false},
        {"2024/05/1x 08:03:09.045", false},
        {"2024/13/45 99:99:99.999", true},  // numbers as they stand
    };
    for (const Case& c : cases) {
        JSON::Value value;
        ASSERT_TRUE(JSON::Value::Parse(std::string("{\"msg\":\"cur_time\",\"msg_id\":1,\"td\":\"") + c.td +
                                           "\",\"utc\":\"2024/05/17 06:03:09.045\"}",
                                       value));
        JsonMsgCurTime msg;
        msg.CurTime = before;
        ErrInfo err = msg.Deserialize(value);
        EXPECT_TRUE(err) << c.td << ": the message is still accepted";
        EXPECT_TRUE(msg.UtcTime == DateTime::UnpackedValue(2024, 5, 17, 6, 3, 9, 45)) << c.td;
        if (c.read) {
            EXPECT_EQ(msg.CurTime.Month(), 13);
            EXPECT_EQ(msg.CurTime.Day(), 45);
            EXPECT_EQ(msg.CurTime.Hour(), 99);
            EXPECT_EQ(msg.CurTime.Milliseconds(), 999);
        } else {
            EXPECT_TRUE(msg.CurTime == before) << c.td;
        }
    }
}

TEST(DeviceMsgTime, LocalAndUtcComeFromOneClockReading) {
    // A fixed zone two hours east of UTC: the two times then differ by exactly two hours only if
    // both come from the same reading.
    const char* saved = std::getenv("TZ");
    const std::string savedTz = saved ? saved : "";
    setenv("TZ", "UTC-2", 1);
    tzset();

    JsonMsgCurTime msg;
    const timespec before = [] { timespec ts{}; clock_gettime(CLOCK_REALTIME, &ts); return ts; }();
    msg.SetFromCurrentTime();
    const int64_t difference = msg.CurTime.GetTotalMillisecondsAsInteger() - msg.UtcTime.GetTotalMillisecondsAsInteger();

    if (saved) setenv("TZ", savedTz.c_str(), 1);
    else unsetenv("TZ");
    tzset();

    EXPECT_EQ(difference, 2 * 3600 * 1000);
    DateTime::UnpackedValue reference;
    reference.SetFromTimeVal(DateTime::TimeVal{before.tv_sec, static_cast<uint32_t>(before.tv_nsec)});
    const int64_t lag = msg.UtcTime.GetTotalMillisecondsAsInteger() - reference.GetTotalMillisecondsAsInteger();
    EXPECT_GE(lag, 0);
    EXPECT_LT(lag, 60 * 1000) << "UTC is the current time";
}

namespace {

// Watches the process log, where a dropped failure record would go.
class RefusedDatagramLog : public ::testing::Test {
protected:
    RefusedDatagramLog() : capture(Environment()->DebugLog()) {}
    test_support::LogCapture capture;
};

} // namespace

TEST_F(RefusedDatagramLog, RefusingADatagramLogsNothing) {
    for (const char* json : {
             "{\"msg\":\"cur_time\",\"msg_id\":1,\"td\":\"short\",\"utc\":\"short\"}",
             "{\"msg\":\"inputs\",\"msg_id\":1,\"inputs\":5}",
             "{\"msg\":\"dev_info\",\"msg_id\":1}",
         })
        EXPECT_FALSE(Read(json + "\0"s)) << json;
    const std::wstring marker = L"marker after refused datagrams";
    capture.Log()->LogRecord(marker);
    ASSERT_TRUE(capture.WaitForMatching(marker));
    EXPECT_TRUE(capture.Matching(L"cur_time").empty());
    EXPECT_TRUE(capture.Matching(L"inputs").empty());
    EXPECT_TRUE(capture.Matching(L"ErrStr=").empty());
}
