// Two-way conversion between an enumeration and its texts, from one table given at construction.
#pragma once

#include <initializer_list>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace cmn {

template <class T>
class EnumConvert {
public:
    EnumConvert(std::initializer_list<std::pair<const T, std::wstring>> table) : _convertMap(table) {
        for (const auto& [value, text] : _convertMap) _cnvBackMap.emplace(text, value);
    }

    // The value's text, or an empty text for a value outside the table.
    const std::wstring& ToString(T value) const {
        const auto it = _convertMap.find(value);
        return it == _convertMap.end() ? _invalidStringValue : it->second;
    }

    // The value whose text equals text exactly, else def (or std::invalid_argument when asked).
    T ToType(std::wstring_view text, T def, bool withException = false) const {
        const auto it = _cnvBackMap.find(text);
        if (it != _cnvBackMap.end()) return it->second;
        if (withException) throw std::invalid_argument("no enumerator has this text");
        return def;
    }

private:
    std::map<T, std::wstring> _convertMap;
    // Views into the texts of _convertMap, which never changes after construction.
    std::map<std::wstring_view, T, std::less<>> _cnvBackMap;
    const std::wstring _invalidStringValue;
};

} // namespace cmn
