#include "json/json_object.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <limits>
#include <stdexcept>

#include "util/numtext.h"
#include "util/utfconv.h"

namespace JSON {

Exception::Exception(const char* text) noexcept {
    size_t n = 0;
    if (text)
        for (; n < sizeof(_what) - 1 && text[n]; ++n) _what[n] = text[n];
    _what[n] = '\0';
}

namespace {

[[noreturn]] void Throw(const char* text) { throw Exception(text); }

// Capacity for an array that must hold index + 1 elements: the smallest multiple of 16 above the
// index, so arrays filled element by element grow in steps of 16.
size_t CapacityFor(uint64_t index) { return static_cast<size_t>((index / 16 + 1) * 16); }

} // namespace

// --- kind ----------------------------------------------------------------------------------

void Value::Clear() noexcept {
    _type = typeUndefined;
    _literal = LiteralUndefinedValue;
    _string.clear();
    _keyMap.clear();
    _array.clear();
    _numberDbl = 0.0;
    _numberInt = 0;
}

void Value::SetType(ObjectType_t kind) {
    if (_type == kind) return;
    if (_type != typeUndefined) Throw("invalid set type attempt; object already has another type");
    Clear();
    _type = kind;
}

// --- assignment ------------------------------------------------------------------------------

Value& Value::operator=(LiteralValue_t literal) noexcept {
    if (_type != typeLiteral) Clear();
    _type = typeLiteral;
    _literal = literal;
    return *this;
}

Value& Value::operator=(bool value) noexcept { return *this = value ? LiteralTrue : LiteralFalse; }

Value& Value::operator=(double value) noexcept {
    if (_type != typeDblNumber) Clear();
    _type = typeDblNumber;
    _numberDbl = value;
    return *this;
}

Value& Value::operator=(int64_t value) noexcept {
    if (_type != typeIntNumber) Clear();
    _type = typeIntNumber;
    _numberInt = value;
    return *this;
}

Value& Value::operator=(const MyString_t& value) {
    if (_type != typeString) Clear();
    _type = typeString;
    _string = value;
    return *this;
}

Value& Value::operator=(MyString_t&& value) noexcept {
    if (_type != typeString) Clear();
    _type = typeString;
    _string = std::move(value);
    return *this;
}

Value& Value::operator=(const wchar_t* value) {
    if (_type != typeString) Clear();
    _type = typeString;
    if (value)
        _string = value;
    else
        _string.clear();
    return *this;
}

// --- scalar reads ----------------------------------------------------------------------------

Value::operator bool() const {
    switch (_type) {
    case typeIntNumber: return _numberInt != 0;
    case typeDblNumber: return _numberDbl != 0.0;  // NaN compares unequal, so counts as true
    case typeLiteral: return _literal == LiteralTrue;
    default: Throw("access numeric value for object with another type");
    }
}

Value::operator int16_t() const {
    if (_type != typeIntNumber) Throw("access 'int' value for object with another type");
    if (_numberInt < std::numeric_limits<int16_t>::min() || _numberInt > std::numeric_limits<int16_t>::max())
        Throw("overflow 'int16_t' value");
    return static_cast<int16_t>(_numberInt);
}

Value::operator int32_t() const {
    if (_type != typeIntNumber) Throw("access 'int' value for object with another type");
    if (_numberInt < std::numeric_limits<int32_t>::min() || _numberInt > std::numeric_limits<int32_t>::max())
        Throw("overflow 'int32_t' value");
    return static_cast<int32_t>(_numberInt);
}

Value::operator int64_t() const {
    if (_type != typeIntNumber) Throw("access 'int64_t' value for object with another type");
    return _numberInt;
}

Value::operator uint16_t() const {
    if (_type != typeIntNumber) Throw("access 'unsigned int' value for object with another type");
    if (_numberInt < 0 || _numberInt > std::numeric_limits<uint16_t>::max()) Throw("overflow 'uint16_t' value");
    return static_cast<uint16_t>(_numberInt);
}

Value::operator uint32_t() const {
    if (_type != typeIntNumber) Throw("access 'unsigned int' value for object with another type");
    if (_numberInt < 0 || _numberInt > std::numeric_limits<uint32_t>::max()) Throw("overflow 'uint32_t' value");
    return static_cast<uint32_t>(_numberInt);
}

Value::operator uint64_t() const {
    if (_type != typeIntNumber) Throw("access 'uint64_t' value for object with another type");
    return static_cast<uint64_t>(_numberInt);
}

Value::operator double() const {
    if (_type == typeDblNumber) return _numberDbl;
    if (_type == typeIntNumber) return static_cast<double>(_numberInt);
    Throw("access 'double' value for object with another type");
}

Value::operator float() const { return static_cast<float>(static_cast<double>(*this)); }

Value::operator const MyString_t&() const {
    if (_type != typeString) Throw("access 'wstring' value for non-string object");
    return _string;
}

Value::operator std::wstring_view() const {
    if (_type != typeString) Throw("access 'wstring' value for non-string object");
    return _string;
}

// --- access on a constant node ---------------------------------------------------------------

const Value& Value::operator[](int64_t index) const {
    if (index < 0) Throw("access array[] element with negative index");
    return (*this)[static_cast<uint64_t>(index)];
}

const Value& Value::operator[](uint64_t index) const {
    if (_type != typeArray) Throw("access array[] element for non-array object");
    if (index >= _array.size()) Throw("index out of array bounds in array[] element access");
    return _array[static_cast<size_t>(index)];
}

const Value& Value::operator[](std::wstring_view key) const {
    if (_type != typeObject) Throw("access object{} item for non-object object");
    if (_keyMap.empty()) Throw("access item in empty object{}");
    auto it = _keyMap.find(key);
    if (it == _keyMap.end()) Throw("key not found in object{} for item access");
    return it->second;
}

// --- access on a changeable node -------------------------------------------------------------

void Value::ReserveIndex(uint64_t index) {
    if (index >= _array.max_size()) throw std::length_error("JSON array index too large");
    if (_array.capacity() <= index) _array.reserve(CapacityFor(index));
}

Value& Value::operator[](int64_t index) {
    if (index < 0) Throw("access array[] element with negative index");
    return (*this)[static_cast<uint64_t>(index)];
}

Value& Value::operator[](uint64_t index) {
    if (_type == typeUndefined)
        SetType(typeArray);
    else if (_type != typeArray)
        Throw("access array[] element for non-array object");
    if (index >= _array.size()) {
        ReserveIndex(index);
        _array.resize(static_cast<size_t>(index) + 1);
    }
    return _array[static_cast<size_t>(index)];
}

Value& Value::operator[](std::wstring_view key) {
    if (_type == typeUndefined)
        SetType(typeObject);
    else if (_type != typeObject)
        Throw("access object{} item for non-object object");
    auto it = _keyMap.lower_bound(key);
    if (it == _keyMap.end() || it->first != key) it = _keyMap.emplace_hint(it, MyString_t(key), Value());
    return it->second;
}

Value& Value::operator[](MyString_t&& key) {
    if (_type == typeUndefined)
        SetType(typeObject);
    else if (_type != typeObject)
        Throw("access object{} item for non-object object");
    auto it = _keyMap.lower_bound(key);
    if (it == _keyMap.end() || it->first != key) it = _keyMap.emplace_hint(it, std::move(key), Value());
    return it->second;
}

// --- lookup ----------------------------------------------------------------------------------

const Value* Value::Find(std::wstring_view key) const {
    if (_type != typeObject) Throw("access object{} item for non-object object");
    auto it = _keyMap.find(key);
    return it == _keyMap.end() ? nullptr : &it->second;
}

Value* Value::Find(std::wstring_view key) {
    return const_cast<Value*>(static_cast<const Value&>(*this).Find(key));
}

const Value* Value::FindMultiKey(std::wstring_view path, wchar_t delimiter) const {
    if (path.empty() || path.back() == delimiter) Throw("invalid key");
    const Value* node = this;
    for (;;) {
        const size_t cut = path.find(delimiter);
        node = node->Find(path.substr(0, cut));
        if (!node || cut == std::wstring_view::npos) return node;
        path.remove_prefix(cut + 1);
    }
}

Value* Value::FindMultiKey(std::wstring_view path, wchar_t delimiter) {
    return const_cast<Value*>(static_cast<const Value&>(*this).FindMultiKey(path, delimiter));
}

Value& Value::At(std::wstring_view path, wchar_t delimiter) {
    Value* node = this;
    for (;;) {
        const size_t cut = path.find(delimiter);
        node = &(*node)[path.substr(0, cut)];
        if (cut == std::wstring_view::npos) return *node;
        path.remove_prefix(cut + 1);
    }
}

// --- arrays ----------------------------------------------------------------------------------

size_t Value::ArraySize() const {
    if (_type != typeArray) Throw("access array[] size for non-array object");
    return _array.size();
}

void Value::SetArraySize(size_t size, ObjectType_t elementKind) {
    SetTypeArray();
    if (size > _array.size()) {
        ReserveIndex(size);
        const size_t old = _array.size();
        _array.resize(size);
        if (elementKind != typeUndefined)
            for (size_t i = old; i < size; ++i) _array[i].SetType(elementKind);
    } else {
        _array.resize(size);
    }
}

void Value::ClearArray() {
    if (_type == typeUndefined)
        SetType(typeArray);
    else if (_type != typeArray)
        Throw("invalid clear array attempt; object is not an array");
    _array.clear();
}

// --- objects ---------------------------------------------------------------------------------

size_t Value::ObjectSize() const {
    if (_type != typeObject) Throw("access object{} size for non-object object");
    return _keyMap.size();
}

MyObject_t Value::GetMap() const {
    if (_type != typeObject) Throw("map access for a non-map object");
    return _keyMap;
}

void Value::EnumSubObjects(const ObjEnumeratingFunc& func) const {
    if (_type != typeObject) Throw("enumerate object{} items for non-object object");
    for (const auto& [key, member] : _keyMap) func(key, member);
}

// --- deletion --------------------------------------------------------------------------------

void Value::Delete(uint64_t index) {
    if (_type != typeArray) Throw("attempt to delete array element for non-array value");
    if (index >= _array.size()) Throw("index out of array bounds in array delete element");
    _array.erase(_array.begin() + static_cast<ptrdiff_t>(index));
}

bool Value::Delete(std::wstring_view key) {
    if (_type == typeUndefined) {
        SetType(typeObject);
        return false;
    }
    if (_type != typeObject) Throw("attempt to delete subobject{} for non-object");
    auto it = _keyMap.find(key);
    if (it == _keyMap.end()) return false;
    _keyMap.erase(it);
    return true;
}

bool Value::DeleteMultiKey(std::wstring_view path, wchar_t delimiter) {
    Value* node = this;
    for (;;) {
        const size_t cut = path.find(delimiter);
        if (cut == std::wstring_view::npos) return node->Delete(path);
        node = node->Find(path.substr(0, cut));
        if (!node) return false;
        path.remove_prefix(cut + 1);
    }
}

bool Value::DeleteAll() {
    switch (_type) {
    case typeObject: _keyMap.clear(); return true;
    case typeArray: _array.clear(); return true;
    case typeString: _string.clear(); return true;
    default: Throw("attempt to delete all content; must be object/array/string");
    }
}

// --- text ------------------------------------------------------------------------------------

namespace {

// The writer produces wide text (GetString) or UTF-8 (GetStringUTF8) through one template; a
// sink appends ASCII, runs of unescaped string characters and numbers to its output.
struct WideSink {
    MyString_t& out;

    void Char(char c) { out.push_back(static_cast<wchar_t>(c)); }
    void Ascii(const char* s, size_t n) {
        const size_t old = out.size();
        out.resize(old + n);
        for (size_t i = 0; i < n; ++i) out[old + i] = static_cast<wchar_t>(s[i]);
    }
    void Run(const wchar_t* p, size_t n) { out.append(p, n); }
    void Int(int64_t v) {
        wchar_t buf[Value::_stringSize];
        out.append(buf, cmn::int2ch(v, buf));
    }
    void Dbl(double v) {
        wchar_t buf[cmn::DblTextBufferSize];
        out.append(buf, cmn::float2ch(v, buf));
    }
    void String(std::wstring_view src);
};

// Writes into a buffer on the stack and hands it to the string a block at a time: the string's
// capacity is checked once per block, not once per character. The destructor hands over the
// rest, also when the writer throws, so the text written before the failure stays in out.
class Utf8Sink {
public:
    explicit Utf8Sink(std::string& out) : _out(out) {}
    ~Utf8Sink() { Flush(); }
    Utf8Sink(const Utf8Sink&) = delete;
    Utf8Sink& operator=(const Utf8Sink&) = delete;

    void Char(char c) {
        Room(1);
        _buf[_n++] = c;
    }
    void Ascii(const char* s, size_t n) {
        if (n > sizeof(_buf)) {
            Flush();
            _out.append(s, n);
            return;
        }
        Room(n);
        std::memcpy(_buf + _n, s, n);
        _n += n;
    }
    // The quoted, escaped string (same text as the generic writer below), written without a
    // capacity check per character: each pass takes as many characters as surely fit.
    void String(std::wstring_view src);
    void Int(int64_t v) {
        Room(cmn::IntTextBufferSize);
        _n += cmn::int2ch(v, _buf + _n);
    }
    void Dbl(double v) {
        Room(cmn::DblTextBufferSize);
        _n += cmn::float2ch(v, _buf + _n);
    }

private:
    // Callers ask for at most DblTextBufferSize bytes at once.
    void Room(size_t n) {
        if (_n + n > sizeof(_buf)) Flush();
    }
    void Flush() {
        _out.append(_buf, _n);
        _n = 0;
    }

    std::string& _out;
    size_t _n = 0;
    char _buf[4096];
};

constexpr char HexDigits[] = "0123456789ABCDEF";

template <class Sink>
void PutEscapedUnit(Sink& sink, uint32_t unit) {
    const char esc[6] = {'\\', 'u', HexDigits[(unit >> 12) & 0xF], HexDigits[(unit >> 8) & 0xF],
                         HexDigits[(unit >> 4) & 0xF], HexDigits[unit & 0xF]};
    sink.Ascii(esc, 6);
}

// Characters that cannot be copied as they are: controls, quotation mark, backslash, solidus,
// and anything that is not a single 16-bit unit.
inline bool NeedsEscape(uint32_t c) {
    return c < 0x20 || c == '"' || c == '\\' || c == '/' || c > 0xFFFF;
}

template <class Sink>
void PutString(Sink& sink, std::wstring_view src) {
    sink.Char('"');
    const wchar_t* run = src.data();
    const wchar_t* const end = src.data() + src.size();
    for (const wchar_t* p = run; p != end; ++p) {
        const uint32_t c = static_cast<uint32_t>(*p);
        if (!NeedsEscape(c)) continue;
        if (p != run) sink.Run(run, static_cast<size_t>(p - run));
        run = p + 1;
        switch (c) {
        case 0x08: sink.Ascii("\\b", 2); break;
        case 0x09: sink.Ascii("\\t", 2); break;
        case 0x0A: sink.Ascii("\\n", 2); break;
        case 0x0C: sink.Ascii("\\f", 2); break;
        case 0x0D: sink.Ascii("\\r", 2); break;
        case '"': sink.Ascii("\\\"", 2); break;
        case '\\': sink.Ascii("\\\\", 2); break;
        case '/': sink.Ascii("\\/", 2); break;
        default:
            if (c < 0x20) {
                PutEscapedUnit(sink, c);
            } else if (c <= 0x10FFFF) {
                // Only 16-bit units exist in JSON text: a character above U+FFFF that did not come
                // from the parser becomes its surrogate pair, so the output stays valid JSON.
                PutEscapedUnit(sink, 0xD800 + ((c - 0x10000) >> 10));
                PutEscapedUnit(sink, 0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                PutEscapedUnit(sink, 0xFFFD);  // not a character at all
            }
        }
    }
    if (end != run) sink.Run(run, static_cast<size_t>(end - run));
    sink.Char('"');
}

void WideSink::String(std::wstring_view src) { PutString(*this, src); }

// Per ASCII character: 0 copied as it is, 1 written with a backslash and the letter given in
// EscapeLetter, 2 written as \u00XX.
constexpr std::array<uint8_t, 128> MakeAsciiEscapes() {
    std::array<uint8_t, 128> t{};
    for (unsigned c = 0; c < 0x20; ++c) t[c] = 2;
    for (unsigned c : {0x08u, 0x09u, 0x0Au, 0x0Cu, 0x0Du, unsigned('"'), unsigned('\\'), unsigned('/')}) t[c] = 1;
    return t;
}
constexpr std::array<uint8_t, 128> AsciiEscapes = MakeAsciiEscapes();

char EscapeLetter(uint32_t c) {
    switch (c) {
    case 0x08: return 'b';
    case 0x09: return 't';
    case 0x0A: return 'n';
    case 0x0C: return 'f';
    case 0x0D: return 'r';
    default: return static_cast<char>(c);  // quotation mark, backslash, solidus
    }
}

char* PutEscapedUnit(char* o, uint32_t unit) {
    o[0] = '\\';
    o[1] = 'u';
    o[2] = HexDigits[(unit >> 12) & 0xF];
    o[3] = HexDigits[(unit >> 8) & 0xF];
    o[4] = HexDigits[(unit >> 4) & 0xF];
    o[5] = HexDigits[unit & 0xF];
    return o + 6;
}

void Utf8Sink::String(std::wstring_view src) {
    // The longest a character can become: a surrogate pair of escapes.
    constexpr size_t MaxPerChar = 12;
    Char('"');
    const wchar_t* p = src.data();
    const wchar_t* const end = p + src.size();
    while (p < end) {
        if (sizeof(_buf) - _n < MaxPerChar * 8) Flush();
        const wchar_t* const blockEnd = p + std::min<size_t>(static_cast<size_t>(end - p), (sizeof(_buf) - _n) / MaxPerChar);
        char* o = _buf + _n;
        while (p < blockEnd) {
            uint32_t c = static_cast<uint32_t>(*p++);
            if (c < 0x80) {
                const uint8_t kind = AsciiEscapes[c];
                if (kind == 0) {
                    *o++ = static_cast<char>(c);
                } else if (kind == 1) {
                    o[0] = '\\';
                    o[1] = EscapeLetter(c);
                    o += 2;
                } else {
                    o = PutEscapedUnit(o, c);
                }
                continue;
            }
            if (c > 0xFFFF) {
                // Not a 16-bit unit: its surrogate pair as escapes, or U+FFFD when not a character.
                if (c <= 0x10FFFF) {
                    o = PutEscapedUnit(o, 0xD800 + ((c - 0x10000) >> 10));
                    o = PutEscapedUnit(o, 0xDC00 + ((c - 0x10000) & 0x3FF));
                } else {
                    o = PutEscapedUnit(o, 0xFFFD);
                }
                continue;
            }
            if (c >= 0xD800 && c <= 0xDBFF && p < end) {
                // A stored surrogate pair becomes one 4-byte sequence, as UTF16_UTF8 makes it.
                const uint32_t low = static_cast<uint32_t>(*p);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++p;
                }
            }
            o += text::EncodeUTF8(c, o);
        }
        _n = static_cast<size_t>(o - _buf);
    }
    Char('"');
}

} // namespace

MyString_t& PutJsonString(MyString_t& dst, std::wstring_view src) {
    WideSink sink{dst};
    PutString(sink, src);
    return dst;
}

MyString_t PutJsonString(std::wstring_view src) {
    MyString_t dst;
    return PutJsonString(dst, src);
}

void Value::PrefetchContent() const noexcept {
    switch (_type) {
    case typeObject:
        if (!_keyMap.empty()) __builtin_prefetch(&*_keyMap.begin());
        break;
    case typeArray: __builtin_prefetch(_array.data()); break;
    case typeString: __builtin_prefetch(_string.data()); break;
    default: break;
    }
}

template <class Sink>
void Value::WriteText(Sink& sink) const {
    switch (_type) {
    case typeLiteral:
        switch (_literal) {
        case LiteralNull: sink.Ascii("null", 4); return;
        case LiteralFalse: sink.Ascii("false", 5); return;
        case LiteralTrue: sink.Ascii("true", 4); return;
        default: break;
        }
        break;
    case typeObject: {
        sink.Char('{');
        const auto end = _keyMap.end();
        for (auto it = _keyMap.begin(); it != end;) {
            // Members are scattered over the heap: ask for the next one, and for what this one
            // points to, while this one is written.
            const auto next = std::next(it);
            if (next != end) __builtin_prefetch(&*next);
            it->second.PrefetchContent();
            if (it != _keyMap.begin()) sink.Char(',');
            sink.String(it->first);
            sink.Char(':');
            it->second.WriteText(sink);
            it = next;
        }
        sink.Char('}');
        return;
    }
    case typeArray: {
        sink.Char('[');
        for (size_t i = 0; i < _array.size(); ++i) {
            if (i + 1 < _array.size()) _array[i + 1].PrefetchContent();
            if (i) sink.Char(',');
            _array[i].WriteText(sink);
        }
        sink.Char(']');
        return;
    }
    case typeIntNumber: sink.Int(_numberInt); return;
    case typeDblNumber:
        // NaN and the infinities have no JSON form; null keeps the text valid.
        if (!std::isfinite(_numberDbl))
            sink.Ascii("null", 4);
        else
            sink.Dbl(_numberDbl);
        return;
    case typeString: sink.String(_string); return;
    default: break;
    }
    Throw("JSON value undefined: cannot generate text representation");
}

MyString_t& Value::GetString(MyString_t& text) const {
    WideSink sink{text};
    WriteText(sink);
    return text;
}

MyString_t Value::GetString() const {
    MyString_t text;
    return GetString(text);
}

std::string& Value::GetStringUTF8(std::string& text) const {
    {
        Utf8Sink sink(text);
        WriteText(sink);
    }
    return text;
}

std::string Value::GetStringUTF8() const {
    std::string text;
    return GetStringUTF8(text);
}

} // namespace JSON
