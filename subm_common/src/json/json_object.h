// JSON document node: one type, JSON::Value, that holds any JSON value and nests to any depth,
// with typed accessors and a compact text writer. The text parser is in json_parse.h.
//
// Misuse (reading a node as a kind it does not hold, indexing out of range, writing an undefined
// node) throws JSON::Exception; nothing here logs. A tree is not synchronised: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace JSON {

enum ObjectType_t : uint32_t {
    typeUndefined = 0,   // nothing assigned yet
    typeLiteral = 1,     // null, true or false
    typeObject = 2,      // members keyed by wide string, kept in ascending key order
    typeArray = 3,       // ordered elements
    typeIntNumber = 4,   // signed 64-bit
    typeDblNumber = 5,   // double
    typeString = 6,      // wide string of UTF-16 units (see MyString_t)
};

enum LiteralValue_t : uint32_t {
    LiteralUndefinedValue = 0,
    LiteralNull = 1,
    LiteralFalse = 2,
    LiteralTrue = 3,
};

// Carries its text in the object itself, so throwing never allocates.
class Exception : public std::exception {
public:
    explicit Exception(const char* text) noexcept;
    const char* what() const noexcept override { return _what; }

private:
    char _what[256];
};

class Value;

// Keys and strings hold UTF-16 code units, one per wchar_t: the parser stores a character above
// U+FFFF as a surrogate pair and the writer emits each wchar_t as one 16-bit unit.
using MyString_t = std::wstring;
// Orders keys by the code values of their characters, one by one (a prefix sorts first); takes
// string views, so a key is looked up without building a string.
struct KeyLess {
    using is_transparent = void;
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return static_cast<uint32_t>(a[i]) < static_cast<uint32_t>(b[i]);
        return a.size() < b.size();
    }
};
using MyObject_t = std::map<MyString_t, Value, KeyLess>;
using MyVector_t = std::vector<Value>;
using ObjEnumeratingFunc = std::function<void(const MyString_t& key, const Value& member)>;

class Value {
public:
    // Size in wide characters of the buffer an integer's text is formed in.
    static constexpr size_t _stringSize = 32;

    Value() noexcept = default;
    Value(const Value&) = default;
    Value(Value&&) noexcept = default;
    Value& operator=(const Value&) = default;
    Value& operator=(Value&&) noexcept = default;
    virtual ~Value() = default;

    // --- kind ---
    void Clear() noexcept;
    ObjectType_t Type() const noexcept { return _type; }
    // Gives an undefined node its kind; a node of another kind throws.
    void SetType(ObjectType_t kind);
    void SetTypeObject() { SetType(typeObject); }
    void SetTypeArray() { SetType(typeArray); }

    // --- assignment: replaces any kind, never throws ---
    Value& operator=(LiteralValue_t literal) noexcept;
    Value& operator=(bool value) noexcept;
    Value& operator=(double value) noexcept;
    Value& operator=(int64_t value) noexcept;
    Value& operator=(int32_t value) noexcept { return *this = static_cast<int64_t>(value); }
    Value& operator=(int16_t value) noexcept { return *this = static_cast<int64_t>(value); }
    Value& operator=(uint32_t value) noexcept { return *this = static_cast<int64_t>(value); }
    Value& operator=(uint16_t value) noexcept { return *this = static_cast<int64_t>(value); }
    // The 64-bit pattern is kept: values above INT64_MAX read back negative as signed.
    Value& operator=(uint64_t value) noexcept { return *this = static_cast<int64_t>(value); }
    Value& operator=(long long value) noexcept { return *this = static_cast<int64_t>(value); }
    Value& operator=(unsigned long long value) noexcept { return *this = static_cast<int64_t>(value); }
    Value& operator=(const MyString_t& value);
    Value& operator=(MyString_t&& value) noexcept;
    Value& operator=(const wchar_t* value);

    // --- scalar reads; a wrong kind or an out-of-range integer throws ---
    operator bool() const;
    operator int16_t() const;
    operator int32_t() const;
    operator int64_t() const;
    operator uint16_t() const;
    operator uint32_t() const;
    operator uint64_t() const;
    operator double() const;
    operator float() const;
    operator const MyString_t&() const;
    operator std::wstring_view() const;

    // --- element and member access on a constant node: never changes it, throws when missing ---
    const Value& operator[](int64_t index) const;
    const Value& operator[](uint64_t index) const;
    const Value& operator[](int32_t index) const { return (*this)[static_cast<int64_t>(index)]; }
    const Value& operator[](int16_t index) const { return (*this)[static_cast<int64_t>(index)]; }
    const Value& operator[](uint32_t index) const { return (*this)[static_cast<uint64_t>(index)]; }
    const Value& operator[](uint16_t index) const { return (*this)[static_cast<uint64_t>(index)]; }
    const Value& operator[](std::wstring_view key) const;
    const Value& operator[](const wchar_t* key) const { return (*this)[std::wstring_view(key)]; }

    // --- element and member access on a changeable node: creates what is missing ---
    Value& operator[](int64_t index);
    Value& operator[](uint64_t index);
    Value& operator[](int32_t index) { return (*this)[static_cast<int64_t>(index)]; }
    Value& operator[](int16_t index) { return (*this)[static_cast<int64_t>(index)]; }
    Value& operator[](uint32_t index) { return (*this)[static_cast<uint64_t>(index)]; }
    Value& operator[](uint16_t index) { return (*this)[static_cast<uint64_t>(index)]; }
    Value& operator[](std::wstring_view key);
    Value& operator[](const wchar_t* key) { return (*this)[std::wstring_view(key)]; }
    Value& operator[](MyString_t&& key);

    // --- lookup: none when absent; a node that is not an object throws ---
    const Value* Find(std::wstring_view key) const;
    Value* Find(std::wstring_view key);
    // Path of keys separated by delimiter, e.g. L"a.b" with L'.'.
    const Value* FindMultiKey(std::wstring_view path, wchar_t delimiter) const;
    Value* FindMultiKey(std::wstring_view path, wchar_t delimiter);
    // Creating counterpart of FindMultiKey; returns the last member.
    Value& At(std::wstring_view path, wchar_t delimiter);

    // Member converted to T, or def when absent, when this is not an object or when the member
    // does not convert. Never throws.
    template <class T>
    T TryGet(std::wstring_view key, const T& def) const noexcept;

    // --- arrays ---
    size_t ArraySize() const;
    void SetArraySize(size_t size, ObjectType_t elementKind = typeUndefined);
    void ClearArray();
    template <class T>
    bool SetArray(const std::vector<T>& items);
    template <class T, class Fill>  // Fill(Value& element, const T& item)
    bool SetArray(const std::vector<T>& items, Fill fill);
    template <class T>
    bool SetArray(std::wstring_view key, const std::vector<T>& items) { return (*this)[key].SetArray(items); }
    template <class T>
    bool TryGetArray(std::vector<T>& items) const noexcept;
    template <class T, class Make>  // Make(const Value& element) -> T, may throw JSON::Exception
    bool TryGetArray(std::vector<T>& items, Make make) const noexcept;
    template <class T>
    bool TryGetArray(std::wstring_view key, std::vector<T>& items) const noexcept;

    // --- objects ---
    size_t ObjectSize() const;
    MyObject_t GetMap() const;
    void EnumSubObjects(const ObjEnumeratingFunc& func) const;

    // --- deletion ---
    void Delete(uint64_t index);
    bool Delete(std::wstring_view key);
    bool Delete(const wchar_t* key) { return Delete(std::wstring_view(key)); }
    bool DeleteMultiKey(std::wstring_view path, wchar_t delimiter);
    bool DeleteAll();

    // --- text ---
    // Appends the node's compact JSON text to text and returns it. An undefined node throws,
    // leaving what was appended before it.
    MyString_t& GetString(MyString_t& text) const;
    MyString_t GetString() const;
    // The same text encoded as UTF-8 in one pass (what goes on the wire and into files); equal to
    // text::UTF16_UTF8 of GetString().
    std::string& GetStringUTF8(std::string& text) const;
    std::string GetStringUTF8() const;

    // --- building from text (json_parse.cpp) ---
    // Whole-text entry points: true when text holds one complete value; text after it is not
    // read. They refuse nesting deeper than MaxParseNesting containers.
    static constexpr uint32_t MaxParseNesting = 512;
    static bool Parse(std::wstring_view text, Value& node);
    static bool Parse(std::string_view utf8, Value& node);
    static bool Parse(const char* utf8, Value& node) { return Parse(std::string_view(utf8), node); }
    static bool Parse(const wchar_t* text, Value& node) { return Parse(std::wstring_view(text), node); }
    static bool Parse(const std::string& utf8, Value& node) { return Parse(std::string_view(utf8), node); }
    static bool Parse(const std::wstring& text, Value& node) { return Parse(std::wstring_view(text), node); }
    // Reads a UTF-8 file (an optional byte order mark is skipped); false when the file cannot be
    // read, is empty, does not decode or does not parse.
    static bool ParseFile(const std::wstring& path, Value& node);

private:
    friend class ParsingBuilder;
    template <class Sink>
    void WriteText(Sink& sink) const;
    void PrefetchContent() const noexcept;  // a hint for the writer's walk over the heap
    void ReserveIndex(uint64_t index);

    ObjectType_t _type = typeUndefined;
    LiteralValue_t _literal = LiteralUndefinedValue;
    MyString_t _string;
    MyObject_t _keyMap;
    MyVector_t _array;
    double _numberDbl = 0.0;
    int64_t _numberInt = 0;
};

// Appends src as a quoted, escaped JSON string to dst and returns dst.
MyString_t& PutJsonString(MyString_t& dst, std::wstring_view src);
MyString_t PutJsonString(std::wstring_view src);

// ---------------------------------------------------------------------------------------------

template <class T>
T Value::TryGet(std::wstring_view key, const T& def) const noexcept {
    if (_type != typeObject) return def;
    auto it = _keyMap.find(key);
    if (it == _keyMap.end()) return def;
    try {
        if constexpr (std::is_same_v<T, MyString_t>)
            return static_cast<const MyString_t&>(it->second);
        else
            return static_cast<T>(it->second);
    } catch (const Exception&) {
        return def;
    }
}

template <class T>
bool Value::SetArray(const std::vector<T>& items) {
    return SetArray(items, [](Value& element, const T& item) { element = item; });
}

template <class T, class Fill>
bool Value::SetArray(const std::vector<T>& items, Fill fill) {
    SetTypeArray();
    if (_array.size() < items.size()) SetArraySize(items.size());
    for (size_t i = 0; i < items.size(); ++i) fill(_array[i], items[i]);
    return true;
}

template <class T>
bool Value::TryGetArray(std::vector<T>& items) const noexcept {
    return TryGetArray(items, [](const Value& element) -> T {
        if constexpr (std::is_same_v<T, MyString_t>)
            return static_cast<const MyString_t&>(element);
        else
            return static_cast<T>(element);
    });
}

template <class T, class Make>
bool Value::TryGetArray(std::vector<T>& items, Make make) const noexcept {
    items.clear();
    if (_type != typeArray) return false;
    try {
        items.reserve(_array.size());
        for (const Value& element : _array) items.push_back(make(element));
    } catch (...) {
        return false;
    }
    return true;
}

template <class T>
bool Value::TryGetArray(std::wstring_view key, std::vector<T>& items) const noexcept {
    if (_type != typeObject) {
        items.clear();
        return false;
    }
    auto it = _keyMap.find(key);
    if (it == _keyMap.end()) {
        items.clear();
        return false;
    }
    return it->second.TryGetArray(items);
}

} // namespace JSON
