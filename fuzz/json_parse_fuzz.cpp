// Whole-text JSON parsing of untrusted bytes, as the control protocol parses every datagram.
// The bytes go through the UTF-8 entry; when their length allows, also through the wide entry
// as raw 32-bit characters. Whatever parses must write text that parses back to a tree writing
// the same text, both as wide text and as UTF-8 (the form that goes back on the wire).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "json/json_object.h"
#include "json/json_parse.h"
#include "util/utfconv.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::wstring& text) {
    std::fprintf(stderr, "json_parse_fuzz: %s\n", what);
    const std::string utf8 = text::UTF16_UTF8(text);
    std::fprintf(stderr, "text (%zu chars): %.*s\n", text.size(), static_cast<int>(utf8.size()), utf8.c_str());
    std::abort();
}

std::wstring Write(const JSON::Value& node, const std::wstring& source) {
    try {
        return node.GetString();
    } catch (const JSON::Exception& e) {
        // A parsed tree has no undefined node left in it.
        std::fprintf(stderr, "GetString threw: %s\n", e.what());
        Fail("a parsed tree cannot be written", source);
    }
}

void RoundTrip(const JSON::Value& node) {
    const std::wstring text = Write(node, L"(first write)");

    JSON::Value again;
    if (!JSON::Value::Parse(std::wstring_view(text), again)) Fail("written text does not parse", text);
    if (Write(again, text) != text) Fail("wide round trip changes the text", text);

    std::string utf8;
    if (!text::AppendUTF8(utf8, text)) Fail("written text does not encode as UTF-8", text);
    if (node.GetStringUTF8() != utf8) Fail("the UTF-8 writer differs from the wide writer", text);
    JSON::Value fromWire;
    if (!JSON::Value::Parse(std::string_view(utf8), fromWire)) Fail("written UTF-8 does not parse", text);
    if (Write(fromWire, text) != text) Fail("UTF-8 round trip changes the text", text);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        JSON::Value node;
        if (JSON::Value::Parse(std::string_view(reinterpret_cast<const char*>(data), size), node)) RoundTrip(node);
    }
    if (size % 4 == 0 && size > 0) {
        // wchar_t is 32 bits here: any pattern, values above U+10FFFF and surrogates included.
        std::wstring wide(size / 4, L'\0');
        std::memcpy(wide.data(), data, size);
        JSON::Value node;
        if (JSON::Value::Parse(std::wstring_view(wide), node)) RoundTrip(node);
    }
    return 0;
}
