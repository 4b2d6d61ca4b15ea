// The push parser fed one character at a time, with three receivers: the tree builder, no
// callback, and a receiver that checks the event sequence. Checks that the receiver does not
// change the parser's verdict, that Reset gives a parser its first behaviour back, and that a
// text the builder accepts fed character by character is accepted whole with the same tree.
//
// Input bytes become characters so that plain JSON seeds stay readable: a byte below 0xF8 is
// that character; 0xF8 to 0xFB take the next 1 to 4 bytes as a little-endian 32-bit character,
// so every 32-bit value (surrogates, above U+10FFFF, zero) can be reached.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_object.h"
#include "json/json_parse.h"

namespace {

std::vector<char32_t> Decode(const uint8_t* data, size_t size) {
    std::vector<char32_t> chars;
    chars.reserve(size);
    for (size_t i = 0; i < size;) {
        const uint8_t b = data[i++];
        if (b < 0xF8 || b > 0xFB) {
            chars.push_back(b);
            continue;
        }
        uint32_t c = 0;
        for (unsigned k = 0; k < b - 0xF7u && i < size; ++k) c |= static_cast<uint32_t>(data[i++]) << (8 * k);
        chars.push_back(c);
    }
    return chars;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "json_charfeed_fuzz: %s\n", what);
    std::abort();
}

// Counts events and checks that they nest: every end has its begin, keys come in pairs and
// characters only inside strings.
class CheckingCallback : public JSON::IParserCallback {
public:
    void Reset() override { *this = CheckingCallback(); }
    void SyntaxError(JSON::ParseError_t code) override {
        if (code == JSON::errorSuccess) Fail("syntax error raised without a code");
        ++_events;
    }
    void ObjectBegin() override { Open('{'); }
    void ObjectNext() override { Inside('{'); }
    void ObjectEnd() override { Close('{'); }
    void ArrayBegin() override { Open('['); }
    void ArrayNext() override { Inside('['); }
    void ArrayEnd() override { Close('['); }
    void KeyStringBegin() override {
        Inside('{');
        BeginString('k');
    }
    void KeyStringChar(char32_t) override { InString('k'); }
    void KeyStringEnd() override { EndString('k'); }
    void ValueStringBegin() override { BeginString('v'); }
    void ValueStringChar(char32_t) override { InString('v'); }
    void ValueStringEnd() override {
        EndString('v');
        ++_values;
    }
    void ValueLiteral(JSON::LiteralValue_t literal) override {
        if (literal < JSON::LiteralNull || literal > JSON::LiteralTrue) Fail("literal out of range");
        Scalar();
    }
    void ValueNumberInt(int64_t) override { Scalar(); }
    void ValueNumberDbl(double) override { Scalar(); }

    bool Balanced() const { return _open.empty() && _string == 0; }
    size_t Values() const { return _values; }
    size_t Events() const { return _events; }

private:
    void Open(char kind) {
        NotInString();
        _open.push_back(kind);
        ++_events;
    }
    void Inside(char kind) {
        NotInString();
        if (_open.empty() || _open.back() != kind) Fail("separator outside its container");
        ++_events;
    }
    void Close(char kind) {
        Inside(kind);
        _open.pop_back();
        ++_values;
    }
    void BeginString(char kind) {
        NotInString();
        _string = kind;
        ++_events;
    }
    void InString(char kind) {
        if (_string != kind) Fail("string character outside its string");
        ++_events;
    }
    void EndString(char kind) {
        InString(kind);
        _string = 0;
    }
    void NotInString() const {
        if (_string != 0) Fail("structural event inside a string");
    }
    void Scalar() {
        NotInString();
        ++_values;
        ++_events;
    }

    std::string _open;  // open containers, innermost last
    char _string = 0;   // 'k' or 'v' while a string is open
    size_t _values = 0;
    size_t _events = 0;
};

struct Outcome {
    bool ok = false;        // no error while feeding, and the end of the text was accepted
    bool complete = false;  // one whole value was read
    JSON::ParseError_t error = JSON::errorSuccess;
    bool operator==(const Outcome&) const = default;
};

// Feeds until the first refusal, as a caller must; exceptions from the builder end the feed.
Outcome Feed(JSON::Parser& parser, const std::vector<char32_t>& chars) {
    Outcome out;
    try {
        bool ok = true;
        for (char32_t c : chars) {
            if (!(ok = parser.Parse(c))) break;
        }
        out.ok = ok && parser.ParseEndStream();
    } catch (const JSON::Exception&) {
        out.ok = false;
    }
    out.complete = parser.IsFinalState();
    out.error = parser.GetLastError();
    if (out.ok && parser.IsError()) Fail("accepted with the error flag set");
    if (parser.IsError() != (out.error != JSON::errorSuccess)) Fail("error flag and error code disagree");
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<char32_t> chars = Decode(data, size);

    // No receiver: events are dropped, the verdict must not depend on them.
    JSON::Parser bare(nullptr);
    const Outcome plain = Feed(bare, chars);

    CheckingCallback checker;
    JSON::Parser parser(&checker);
    const Outcome checked = Feed(parser, chars);
    if (!(checked == plain)) Fail("the receiver changes the parser's verdict");
    if (checked.ok && (!checked.complete || !checker.Balanced() || checker.Values() == 0))
        Fail("accepted text with an unbalanced event sequence");
    const size_t events = checker.Events();
    parser.Reset();
    if (!(Feed(parser, chars) == checked) || checker.Events() != events) Fail("Reset does not restore the parser");

    // The tree builder, bounded like the whole-text entry so deep input cannot exhaust the stack
    // when the tree is destroyed or written.
    JSON::Value root;
    JSON::ParsingBuilder builder(&root);
    JSON::Parser building(&builder);
    building.SetMaxNesting(JSON::Value::MaxParseNesting);
    const Outcome built = Feed(building, chars);
    if (built.ok && !checked.ok) Fail("the builder accepts what the parser refuses");

    std::wstring written;
    try {
        root.GetString(written);
    } catch (const JSON::Exception&) {
        if (built.ok) Fail("an accepted tree cannot be written");
    }
    if (!built.ok) return 0;

    // Whole-text parsing stops at the first U+0000, as the feed does once the value is complete.
    std::wstring wide;
    for (char32_t c : chars) wide.push_back(static_cast<wchar_t>(c));
    JSON::Value whole;
    if (!JSON::Value::Parse(std::wstring_view(wide), whole)) Fail("whole-text parse refuses an accepted feed");
    if (whole.GetString() != written) Fail("whole-text parse builds another tree");
    return 0;
}
