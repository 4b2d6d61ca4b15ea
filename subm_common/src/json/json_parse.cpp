#include "json/json_parse.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "fs/textfiles.h"
#include "util/numtext.h"
#include "util/utfconv.h"

namespace JSON {

// --- error texts -----------------------------------------------------------------------------

const char* ParseErrorText(ParseError_t code) noexcept {
    static const char* const texts[] = {
        "no error",
        "value expected",
        "invalid end stream chars",
        "mismatch or unclosed square brackets",
        "comma or right square bracket expected",
        "mismatch or unclosed curly braces",
        "key string expected",
        "colon separator expected",
        "comma or right curly brace expected",
        "invalid character in string",
        "invalid escape sequence in string",
        "number digit expected",
        "integer digits overflow",
        "fractional digits overflow",
        "exponent digits overflow",
        "wrong number syntax",
        "invalid comma character",
        "wrong literal character",
        "misplaced extra brace or bracket",
        "unclosed string",
        "unclosed/missing brace or bracket",
        "nesting too deep",
    };
    return code < std::size(texts) ? texts[code] : "unidentified parser error";
}

// --- character classes -----------------------------------------------------------------------

namespace {

using CC = Parser::CharacterClass;

constexpr std::array<CC, Parser::MaxTableCharacters> MakeCharClassTable() {
    std::array<CC, Parser::MaxTableCharacters> t{};
    for (unsigned c = 0; c < Parser::MaxTableCharacters; ++c) {
        CC cls = Parser::charOtherAscii;
        if (c == 0) cls = Parser::charEndStream;
        else if (c == '\t') cls = Parser::charTAB;
        else if (c == '\n') cls = Parser::charLF;
        else if (c == '\r') cls = Parser::charCR;
        else if (c < 0x20) cls = Parser::charCtlNonPrint;
        else if (c == ' ') cls = Parser::charSpace;
        else if (c == '"') cls = Parser::charQuotaMark;
        else if (c == ':') cls = Parser::charColon;
        else if (c == '/') cls = Parser::charSlash;
        else if (c == '\\') cls = Parser::charBackSlash;
        else if (c == ',') cls = Parser::charComma;
        else if (c == '.') cls = Parser::charDot;
        else if (c == '+') cls = Parser::charPlus;
        else if (c == '-') cls = Parser::charMinus;
        else if (c == '[') cls = Parser::charLeftBracket;
        else if (c == ']') cls = Parser::charRightBracket;
        else if (c == '{') cls = Parser::charLeftBrace;
        else if (c == '}') cls = Parser::charRightBrace;
        else if (c == '0') cls = Parser::charDigit_Zero;
        else if (c >= '1' && c <= '9') cls = Parser::charDigits_1_9;
        else if (c >= 'A' && c <= 'F') cls = Parser::charLetter_HEX;
        else if ((c >= 'G' && c <= 'Z') || (c >= 'a' && c <= 'z')) cls = Parser::charLatinLetter;
        t[c] = cls;
    }
    return t;
}

inline bool IsWhitespace(CC cls) { return cls >= Parser::charTAB && cls <= Parser::charSpace; }
inline bool IsDigit(CC cls) { return cls == Parser::charDigit_Zero || cls == Parser::charDigits_1_9; }

constexpr uint64_t max64val = 9223372036854775807ull;
constexpr uint64_t max64val_divby10 = 922337203685477580ull;

// a = 10a + d unless that leaves the signed 64-bit range; allowNegative admits the one extra
// magnitude of the most negative value.
inline bool AddDigitToAccumulator(uint64_t& a, uint32_t d, bool allowNegative) {
    if (a > max64val_divby10) return false;
    a *= 10;
    if (max64val - a < d && !(allowNegative && max64val + 1 - a >= d)) return false;
    a += d;
    return true;
}

} // namespace

const std::array<CC, Parser::MaxTableCharacters> Parser::_CharClassTable = MakeCharClassTable();

// --- parser ----------------------------------------------------------------------------------

Parser::Parser(IParserCallback* callback) : _Callback(callback), _ParserState(&Parser::ParseStep_ExpectBomChar) {
    _Nesting.reserve(32);
}

void Parser::Reset() {
    _ParserState = &Parser::ParseStep_ExpectBomChar;
    _TokenCharCounter = 0;
    _Nesting.clear();
    ClearNumber();
    _CharAccum = 0;
    _KeyStringFlag = false;
    _ErrorFlag = false;
    _ErrorCode = errorSuccess;
    if (_Callback) _Callback->Reset();
}

bool Parser::IsFinalState() const { return _ParserState == &Parser::ParseStep_FinalState; }

bool Parser::Parse(char32_t character) {
    // The first error freezes the result until Reset.
    if (_ErrorFlag) return false;
    (this->*_ParserState)(Classify(character), character);
    return !_ErrorFlag;
}

namespace {

// A character that stands for itself inside a string.
inline bool IsPlainStringChar(wchar_t wc) {
    const uint32_t c = static_cast<uint32_t>(wc);
    return c >= 0x20 && c != '"' && c != '\\';
}

} // namespace

bool Parser::Parse(std::wstring_view text, bool complete) {
    if (_ErrorFlag) return false;
    try {
        const wchar_t* p = text.data();
        const wchar_t* const end = p + text.size();
        while (p != end) {
            const wchar_t wc = *p;
            if (wc == L'\0') break;
            if (_ParserState == &Parser::ParseStep_StringNextChar && IsPlainStringChar(wc)) {
                // Most of a text is string content: hand a run of it over in one event.
                const wchar_t* run = p;
                while (++p != end && IsPlainStringChar(*p)) {
                }
                if (_Callback) {
                    if (_KeyStringFlag)
                        _Callback->KeyStringChars(run, static_cast<size_t>(p - run));
                    else
                        _Callback->ValueStringChars(run, static_cast<size_t>(p - run));
                }
                continue;
            }
            const char32_t c = static_cast<char32_t>(wc);
            (this->*_ParserState)(Classify(c), c);
            if (_ErrorFlag) return false;
            if (_ParserState == &Parser::ParseStep_FinalState) return true;
            ++p;
        }
        if (!complete) return true;
        return ParseEndStream() && IsFinalState();
    } catch (const Exception&) {
        return false;
    }
}

void Parser::Parser_SetNotifySyntaxError(ParseError_t code) {
    _ErrorFlag = true;
    _ErrorCode = code;
    if (_Callback) _Callback->SyntaxError(code);
}

void Parser::Parser_HandleEndValue() {
    if (_Nesting.empty()) {
        _ParserState = &Parser::ParseStep_FinalState;
        return;
    }
    ParserNestingState& level = _Nesting.back();
    ++level._vcounter;
    _ParserState = level._type == ParsingObject ? &Parser::ParseStep_ObjectExpectValueSeparator
                                                : &Parser::ParseStep_ArrayExpectValueSeparator;
}

bool Parser::Parser_HandleEndNesting(ParserNestingType type) {
    if (_Nesting.empty()) {
        Parser_SetNotifySyntaxError(errorExtraBraceOrBracket);
        return false;
    }
    const ParserNestingType open = _Nesting.back()._type;
    if (open != type) {
        Parser_SetNotifySyntaxError(open == ParsingObject ? errorMismatchCurlyBraces : errorMismatchSquareBrackets);
        return false;
    }
    _Nesting.pop_back();
    Parser_HandleEndValue();
    return true;
}

void Parser::Parser_CountEndValue() {
    if (!_Nesting.empty()) ++_Nesting.back()._vcounter;
}

bool Parser::PushNesting(ParserNestingType type) {
    if (_MaxNesting != 0 && _Nesting.size() >= _MaxNesting) {
        Parser_SetNotifySyntaxError(errorNestingTooDeep);
        return false;
    }
    _Nesting.push_back({type, 0});
    return true;
}

void Parser::Parser_HandleEndStringEscape(char32_t character) {
    _ParserState = &Parser::ParseStep_StringNextChar;
    if (!_Callback) return;
    if (_KeyStringFlag)
        _Callback->KeyStringChar(character);
    else
        _Callback->ValueStringChar(character);
}

namespace {

// The double nearest to the number written as integer digits, fraction digits (fracDigits of
// them, fraction being their value) and a decimal exponent. The digits are handed to the
// standard library's correctly rounded conversion: scaling by a power of ten in floating point
// would lose the last bit for many texts and turn the smallest subnormals into zero, so numbers
// written by the writer would not read back as the same double.
double DecimalToDouble(uint64_t integer, uint64_t fraction, uint32_t fracDigits, uint64_t exp10, bool expNegative) {
    // Beyond this exponent every mantissa the grammar admits is zero or infinite.
    constexpr uint64_t ExpLimit = 1000000;
    const int64_t e = static_cast<int64_t>(std::min(exp10, ExpLimit)) * (expNegative ? -1 : 1);

    // Most numbers have few digits: when the digits form an integer below 2^53 and the power of
    // ten is exact too, one multiplication or division rounds correctly on its own.
    static constexpr double exactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    static constexpr uint64_t exactLimit = uint64_t(1) << 53;
    if (fracDigits <= 15 && integer < exactLimit) {
        uint64_t digits = integer;
        for (uint32_t i = 0; i < fracDigits && digits < exactLimit; ++i) digits *= 10;
        if (digits < exactLimit && fraction < exactLimit - digits) {
            digits += fraction;
            const int64_t scale = e - static_cast<int64_t>(fracDigits);
            if (scale >= 0 && scale <= 22) return static_cast<double>(digits) * exactPowers[scale];
            if (scale < 0 && scale >= -22) return static_cast<double>(digits) / exactPowers[-scale];
        }
    }

    char small[96];
    std::string large;
    char* begin = small;
    char* p = small;
    int64_t exponent = e - static_cast<int64_t>(fracDigits);
    if (integer == 0 || fraction == 0) {
        // Only one part carries digits: no zero padding between them is needed.
        if (integer != 0) {
            p += cmn::uint2ch(integer, p);
            exponent = e;
        } else {
            p += cmn::uint2ch(fraction, p);
        }
    } else if (fracDigits <= 40) {
        p += cmn::uint2ch(integer, p);
        char digits[cmn::IntTextBufferSize];
        const size_t n = cmn::uint2ch(fraction, digits);
        for (size_t i = n; i < fracDigits; ++i) *p++ = '0';
        for (size_t i = 0; i < n; ++i) *p++ = digits[i];
    } else {
        // Integer digits, many zeros, then the fraction's digits: long but rare, and still
        // decisive for rounding a value that sits just above a halfway point.
        char digits[cmn::IntTextBufferSize];
        large.append(digits, cmn::uint2ch(integer, digits));
        const size_t n = cmn::uint2ch(fraction, digits);
        large.append(fracDigits - n, '0');
        large.append(digits, n);
        large.push_back('e');
        large.append(digits, cmn::int2ch(exponent, digits));
        begin = large.data();
        p = begin + large.size();
    }
    if (begin == small) {
        *p++ = 'e';
        p += cmn::int2ch(exponent, p);
    }
    double v = 0.0;
    const auto result = std::from_chars(begin, p, v);
    if (result.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: the position of the point decides which.
        const size_t mantissaDigits = static_cast<size_t>(std::find(begin, p, 'e') - begin);
        v = static_cast<int64_t>(mantissaDigits) + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    }
    return v;
}

} // namespace

void Parser::Parser_HandleCompletedNumber() {
    const ParsedNumber& n = _Number;
    if (n._FracDigits == 0 && n._ExpoDigits == 0) {
        const uint64_t magnitude = n._Integer;
        const uint64_t bits = n._NumSign ? 0 - magnitude : magnitude;
        if (_Callback) _Callback->ValueNumberInt(static_cast<int64_t>(bits));
        return;
    }
    double v = DecimalToDouble(n._Integer, n._Fraction, n._FracDigits, n._Exp10, n._LogSign);
    if (n._NumSign) v = -v;
    if (_Callback) _Callback->ValueNumberDbl(v);
}

// --- steps -----------------------------------------------------------------------------------

void Parser::ParseStep_ExpectBomChar(CharacterClass cls, char32_t character) {
    _ParserState = &Parser::ParseStep_ExpectValue;
    if (character == 0xFEFF) return;
    ParseStep_ExpectValue(cls, character);
}

void Parser::ParseStep_ExpectValue(CharacterClass cls, char32_t character) {
    switch (cls) {
    case charTAB:
    case charLF:
    case charCR:
    case charSpace: return;
    case charQuotaMark:
        _KeyStringFlag = false;
        _ParserState = &Parser::ParseStep_StringNextChar;
        if (_Callback) _Callback->ValueStringBegin();
        return;
    case charMinus:
        ClearNumber();
        _Number._NumSign = true;
        _ParserState = &Parser::ParseStep_NumberExpectIntDigit;
        return;
    case charLeftBracket:
        if (!PushNesting(ParsingArray)) return;
        _ParserState = &Parser::ParseStep_ArrayExpectValue;
        if (_Callback) _Callback->ArrayBegin();
        return;
    case charLeftBrace:
        if (!PushNesting(ParsingObject)) return;
        _ParserState = &Parser::ParseStep_ObjectExpectKey;
        if (_Callback) _Callback->ObjectBegin();
        return;
    case charDigit_Zero:
        ClearNumber();
        _ParserState = &Parser::ParseStep_NumberExpectDot;
        return;
    case charDigits_1_9:
        ClearNumber();
        _Number._Integer = character - U'0';
        _ParserState = &Parser::ParseStep_NumberRemIntDigits;
        return;
    case charLatinLetter:
        _TokenCharCounter = 1;
        if (character == U'f') {
            _ParserState = &Parser::ParseStep_Literal_false;
            return;
        }
        if (character == U'n') {
            _ParserState = &Parser::ParseStep_Literal_null;
            return;
        }
        if (character == U't') {
            _ParserState = &Parser::ParseStep_Literal_true;
            return;
        }
        break;
    default: break;
    }
    Parser_SetNotifySyntaxError(errorValueExpected);
}

void Parser::ParseStep_ArrayExpectValue(CharacterClass cls, char32_t character) {
    if (cls == charRightBracket && _Nesting.back()._vcounter == 0) {
        if (Parser_HandleEndNesting(ParsingArray) && _Callback) _Callback->ArrayEnd();
        return;
    }
    ParseStep_ExpectValue(cls, character);
}

void Parser::ParseStep_ArrayExpectValueSeparator(CharacterClass cls, char32_t) {
    if (IsWhitespace(cls)) return;
    if (cls == charComma) {
        _ParserState = &Parser::ParseStep_ArrayExpectValue;
        if (_Callback) _Callback->ArrayNext();
    } else if (cls == charRightBracket) {
        if (Parser_HandleEndNesting(ParsingArray) && _Callback) _Callback->ArrayEnd();
    } else {
        Parser_SetNotifySyntaxError(errorCommaOrRBracketExpected);
    }
}

void Parser::ParseStep_ObjectExpectKey(CharacterClass cls, char32_t) {
    if (IsWhitespace(cls)) return;
    if (cls == charQuotaMark) {
        _KeyStringFlag = true;
        _ParserState = &Parser::ParseStep_StringNextChar;
        if (_Callback) _Callback->KeyStringBegin();
    } else if (cls == charRightBrace && _Nesting.back()._vcounter == 0) {
        if (Parser_HandleEndNesting(ParsingObject) && _Callback) _Callback->ObjectEnd();
    } else {
        Parser_SetNotifySyntaxError(errorQuotedKeystringExpected);
    }
}

void Parser::ParseStep_ObjectExpectKeySeparator(CharacterClass cls, char32_t) {
    if (IsWhitespace(cls)) return;
    if (cls == charColon)
        _ParserState = &Parser::ParseStep_ExpectValue;
    else
        Parser_SetNotifySyntaxError(errorColonSeparatorExpected);
}

void Parser::ParseStep_ObjectExpectValueSeparator(CharacterClass cls, char32_t) {
    if (IsWhitespace(cls)) return;
    if (cls == charComma) {
        _ParserState = &Parser::ParseStep_ObjectExpectKey;
        if (_Callback) _Callback->ObjectNext();
    } else if (cls == charRightBrace) {
        if (Parser_HandleEndNesting(ParsingObject) && _Callback) _Callback->ObjectEnd();
    } else {
        Parser_SetNotifySyntaxError(errorCommaOrRBraceExpected);
    }
}

void Parser::ParseStep_StringNextChar(CharacterClass cls, char32_t character) {
    switch (cls) {
    case charBackSlash:
        _CharAccum = 0;
        _ParserState = &Parser::ParseStep_StringEscapeChar;
        return;
    case charQuotaMark:
        if (_KeyStringFlag) {
            _KeyStringFlag = false;
            _ParserState = &Parser::ParseStep_ObjectExpectKeySeparator;
            if (_Callback) _Callback->KeyStringEnd();
        } else {
            Parser_HandleEndValue();
            if (_Callback) _Callback->ValueStringEnd();
        }
        return;
    case charEndStream: Parser_SetNotifySyntaxError(errorUnclosedString); return;
    case charCtlNonPrint:
    case charTAB:
    case charLF:
    case charCR: Parser_SetNotifySyntaxError(errorInvalidCharacterInString); return;
    default:
        if (!_Callback) return;
        if (_KeyStringFlag)
            _Callback->KeyStringChar(character);
        else
            _Callback->ValueStringChar(character);
    }
}

void Parser::ParseStep_StringEscapeChar(CharacterClass, char32_t character) {
    switch (character) {
    case U'b': Parser_HandleEndStringEscape(0x08); return;
    case U'f': Parser_HandleEndStringEscape(0x0C); return;
    case U'n': Parser_HandleEndStringEscape(0x0A); return;
    case U'r': Parser_HandleEndStringEscape(0x0D); return;
    case U't': Parser_HandleEndStringEscape(0x09); return;
    case U'"':
    case U'/':
    case U'\\': Parser_HandleEndStringEscape(character); return;
    case U'u':
        _CharAccum = 0;
        _TokenCharCounter = 0;
        _ParserState = &Parser::ParseStep_StringEscapeDigits;
        return;
    default: Parser_SetNotifySyntaxError(errorInvalidEscapeSequence);
    }
}

void Parser::ParseStep_StringEscapeDigits(CharacterClass cls, char32_t character) {
    uint32_t digit;
    if (IsDigit(cls))
        digit = character - U'0';
    else if (cls == charLetter_HEX)
        digit = character - U'A' + 10;
    else
        return Parser_SetNotifySyntaxError(errorInvalidEscapeSequence);
    _CharAccum = _CharAccum * 16 + digit;
    if (++_TokenCharCounter == 4) Parser_HandleEndStringEscape(_CharAccum);
}

void Parser::ParseStep_NumberExpectIntDigit(CharacterClass cls, char32_t character) {
    if (cls == charDigit_Zero) {
        _ParserState = &Parser::ParseStep_NumberExpectDot;
    } else if (cls == charDigits_1_9) {
        _Number._Integer = character - U'0';
        _ParserState = &Parser::ParseStep_NumberRemIntDigits;
    } else {
        Parser_SetNotifySyntaxError(errorNumberDigitExpected);
    }
}

void Parser::ParseStep_NumberRemIntDigits(CharacterClass cls, char32_t character) {
    if (IsDigit(cls)) {
        if (!AddDigitToAccumulator(_Number._Integer, character - U'0', _Number._NumSign))
            Parser_SetNotifySyntaxError(errorIntegerDigitsOverflow);
        return;
    }
    ParseStep_NumberExpectDot(cls, character);
}

void Parser::ParseStep_NumberExpectDot(CharacterClass cls, char32_t character) {
    if (cls == charDot)
        _ParserState = &Parser::ParseStep_NumberFracDigits;
    else if (character == U'e' || character == U'E')
        _ParserState = &Parser::ParseStep_NumberExpoDigits;
    else
        ParseStep_NumberEndToken(cls, character);
}

void Parser::ParseStep_NumberFracDigits(CharacterClass cls, char32_t character) {
    if (IsDigit(cls)) {
        if (!AddDigitToAccumulator(_Number._Fraction, character - U'0', false))
            Parser_SetNotifySyntaxError(errorFractionDigitsOverflow);
        else
            ++_Number._FracDigits;
        return;
    }
    if (_Number._FracDigits == 0) return Parser_SetNotifySyntaxError(errorNumberDigitExpected);
    if (character == U'e' || character == U'E')
        _ParserState = &Parser::ParseStep_NumberExpoDigits;
    else
        ParseStep_NumberEndToken(cls, character);
}

void Parser::ParseStep_NumberExpoDigits(CharacterClass cls, char32_t character) {
    if (cls == charPlus) return;
    if (cls == charMinus) {
        _Number._LogSign = true;
        return;
    }
    if (IsDigit(cls)) {
        if (!AddDigitToAccumulator(_Number._Exp10, character - U'0', false))
            Parser_SetNotifySyntaxError(errorExponentDigitsOverflow);
        else
            ++_Number._ExpoDigits;
        return;
    }
    if (_Number._ExpoDigits == 0) return Parser_SetNotifySyntaxError(errorNumberDigitExpected);
    ParseStep_NumberEndToken(cls, character);
}

void Parser::ParseStep_NumberEndToken(CharacterClass cls, char32_t) {
    switch (cls) {
    case charEndStream:
        Parser_HandleEndValue();
        Parser_HandleCompletedNumber();
        if (!_Nesting.empty()) Parser_SetNotifySyntaxError(errorUnclosedBracketOrBrace);
        return;
    case charTAB:
    case charLF:
    case charCR:
    case charSpace:
        Parser_HandleEndValue();
        Parser_HandleCompletedNumber();
        return;
    case charComma:
        Parser_CountEndValue();
        Parser_HandleCompletedNumber();
        if (_Nesting.empty()) return Parser_SetNotifySyntaxError(errorInvalidCommaChar);
        if (_Nesting.back()._type == ParsingObject) {
            _ParserState = &Parser::ParseStep_ObjectExpectKey;
            if (_Callback) _Callback->ObjectNext();
        } else {
            _ParserState = &Parser::ParseStep_ArrayExpectValue;
            if (_Callback) _Callback->ArrayNext();
        }
        return;
    case charRightBracket:
        Parser_CountEndValue();
        Parser_HandleCompletedNumber();
        if (Parser_HandleEndNesting(ParsingArray) && _Callback) _Callback->ArrayEnd();
        return;
    case charRightBrace:
        Parser_CountEndValue();
        Parser_HandleCompletedNumber();
        if (Parser_HandleEndNesting(ParsingObject) && _Callback) _Callback->ObjectEnd();
        return;
    default: Parser_SetNotifySyntaxError(errorWrongNumberSyntax);
    }
}

void Parser::ParseLiteral(const char* word, size_t length, LiteralValue_t literal, char32_t character) {
    if (_ErrorFlag) return;
    if (character != static_cast<unsigned char>(word[_TokenCharCounter]))
        return Parser_SetNotifySyntaxError(errorWrongLiteralChar);
    if (++_TokenCharCounter < length) return;
    Parser_HandleEndValue();
    if (_Callback) _Callback->ValueLiteral(literal);
}

void Parser::ParseStep_Literal_false(CharacterClass, char32_t character) {
    ParseLiteral("false", 5, LiteralFalse, character);
}

void Parser::ParseStep_Literal_true(CharacterClass, char32_t character) {
    ParseLiteral("true", 4, LiteralTrue, character);
}

void Parser::ParseStep_Literal_null(CharacterClass, char32_t character) {
    ParseLiteral("null", 4, LiteralNull, character);
}

void Parser::ParseStep_FinalState(CharacterClass cls, char32_t) {
    if (cls == charEndStream || IsWhitespace(cls)) return;
    Parser_SetNotifySyntaxError(errorInvalidEndStreamChars);
}

std::unique_ptr<IParser> CreateParser(IParserCallback* callback) {
    return std::unique_ptr<IParser>(new (std::nothrow) Parser(callback));
}

// --- builder ---------------------------------------------------------------------------------

ParsingBuilder::ParsingBuilder(Value* target) : _target(target) {
    if (_target) _target->Clear();
}

void ParsingBuilder::Reset() {
    if (!_stack.empty()) _target = _stack.front()._ptVal;
    _stack.clear();
    _keyAcc.clear();
    _pending.Clear();
    if (_target) _target->Clear();
}

void ParsingBuilder::Reset(Value* target) {
    Reset();
    _target = target;
    if (_target) _target->Clear();
}

void ParsingBuilder::SyntaxError(ParseError_t code) { throw Exception(ParseErrorText(code)); }

Value& ParsingBuilder::NewValue() {
    if (!_target || _target == &_pending) throw Exception("internal error");
    if (_target->_type != typeUndefined) throw Exception("value already assigned");
    return *_target;
}

Value& ParsingBuilder::TopContainer(ObjectType_t kind, const char* emptyText) {
    if (_stack.empty()) throw Exception(emptyText);
    Value& top = *_stack.back()._ptVal;
    if (top._type != kind) throw Exception("internal error");
    return top;
}

void ParsingBuilder::ObjectBegin() {
    Value& node = NewValue();
    node._type = typeObject;
    _stack.push_back({&node});
    BeginMember(node);
}

void ParsingBuilder::ObjectNext() { BeginMember(TopContainer(typeObject, "stack must not be empty within object")); }

// The member whose key comes next waits outside the map, as _pending, until its key ends and it
// is filed under that key. (Parking it in the map under a placeholder key instead would make a
// real member of that name collide with it and refuse valid text.)
void ParsingBuilder::BeginMember(Value&) {
    _pending.Clear();
    _target = &_pending;
}

void ParsingBuilder::KeyStringBegin() { _keyAcc.clear(); }

void ParsingBuilder::KeyStringChar(char32_t character) {
    if (character > 0x10FFFF) throw Exception("illegal UTF-32 character");
    if (character > 0xFFFF) {
        const char32_t c = character - 0x10000;
        _keyAcc.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
        _keyAcc.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    } else {
        _keyAcc.push_back(static_cast<wchar_t>(character));
    }
}

namespace {

// Appends characters, a character above U+FFFF as its surrogate pair.
void AppendUtf16(MyString_t& s, const wchar_t* chars, size_t count) {
    size_t plain = 0;
    while (plain < count && static_cast<uint32_t>(chars[plain]) <= 0xFFFF) ++plain;
    s.append(chars, plain);
    for (size_t i = plain; i < count; ++i) {
        const uint32_t c = static_cast<uint32_t>(chars[i]);
        if (c <= 0xFFFF) {
            s.push_back(static_cast<wchar_t>(c));
            continue;
        }
        if (c > 0x10FFFF) throw Exception("illegal UTF-32 character");
        s.push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
        s.push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
}

} // namespace

void ParsingBuilder::KeyStringChars(const wchar_t* chars, size_t count) { AppendUtf16(_keyAcc, chars, count); }

void ParsingBuilder::ValueStringChars(const wchar_t* chars, size_t count) {
    if (!_target) throw Exception("internal error");
    AppendUtf16(_target->_string, chars, count);
}

void ParsingBuilder::KeyStringEnd() {
    Value& top = TopContainer(typeObject, "stack must not be empty within object");
    if (_target != &_pending) throw Exception("internal error");
    // Copied rather than moved: the key gets a buffer of its own size and _keyAcc keeps its
    // buffer for the next key.
    auto [it, inserted] = top._keyMap.try_emplace(_keyAcc);
    if (!inserted) it->second.Clear();  // a repeated key: the later value wins
    _target = &it->second;
    _keyAcc.clear();
}

void ParsingBuilder::ArrayBegin() {
    Value& node = NewValue();
    node._type = typeArray;
    node._array.emplace_back();
    _stack.push_back({&node});
    _target = &node._array.back();
}

void ParsingBuilder::ArrayNext() {
    Value& top = TopContainer(typeArray, "stack must not be empty within array");
    top._array.emplace_back();
    _target = &top._array.back();
}

void ParsingBuilder::EndContainer() {
    if (_stack.empty()) throw Exception("stack exhausted");
    // "[]" leaves its placeholder element behind ("{}" only a pending member that was never
    // filed); nothing else can be undefined here.
    const bool placeholderLeft = _target && _target != &_pending && _target->_type == typeUndefined;
    Value& container = *_stack.back()._ptVal;
    _stack.pop_back();
    _target = &container;
    if (!placeholderLeft) return;
    if (container._type == typeObject && container._keyMap.size() == 1)
        container._keyMap.clear();
    else if (container._type == typeArray && container._array.size() == 1)
        container._array.clear();
}

void ParsingBuilder::ObjectEnd() { EndContainer(); }

void ParsingBuilder::ArrayEnd() { EndContainer(); }

void ParsingBuilder::ValueStringBegin() {
    Value& node = NewValue();
    node._type = typeString;
}

void ParsingBuilder::ValueStringChar(char32_t character) {
    if (!_target) throw Exception("internal error");
    MyString_t& s = _target->_string;
    if (character > 0xFFFF) {
        if (character > 0x10FFFF) throw Exception("illegal UTF-32 character");
        const char32_t c = character - 0x10000;
        s.push_back(static_cast<wchar_t>(0xD800 + (c >> 10)));
        s.push_back(static_cast<wchar_t>(0xDC00 + (c & 0x3FF)));
    } else {
        s.push_back(static_cast<wchar_t>(character));
    }
}

void ParsingBuilder::ValueStringEnd() {}

void ParsingBuilder::ValueLiteral(LiteralValue_t literal) {
    Value& node = NewValue();
    node._type = typeLiteral;
    node._literal = literal;
}

void ParsingBuilder::ValueNumberInt(int64_t value) {
    Value& node = NewValue();
    node._type = typeIntNumber;
    node._numberInt = value;
}

void ParsingBuilder::ValueNumberDbl(double value) {
    Value& node = NewValue();
    node._type = typeDblNumber;
    node._numberDbl = value;
}

// --- whole-text entry points -----------------------------------------------------------------

bool Value::Parse(std::wstring_view text, Value& node) {
    ParsingBuilder builder(&node);
    Parser parser(&builder);
    parser.SetMaxNesting(MaxParseNesting);
    return parser.Parse(text, true);
}

bool Value::Parse(std::string_view utf8, Value& node) {
    // A text that does not decode reads as empty, so it fails as an empty text does.
    if (!text::IsValidUTF8(utf8)) utf8 = std::string_view();
    ParsingBuilder builder(&node);
    Parser parser(&builder);
    parser.SetMaxNesting(MaxParseNesting);
    // Decoded and fed piece by piece: a large text never exists as wide text in full.
    wchar_t chunk[1024];
    while (!utf8.empty()) {
        std::wstring_view piece(chunk, text::DecodeUTF8Prefix(utf8, chunk, std::size(chunk)));
        const size_t zero = piece.find(L'\0');
        if (zero != std::wstring_view::npos) {
            // Text ends at its first zero character.
            piece = piece.substr(0, zero);
            utf8 = std::string_view();
        }
        if (!parser.Parse(piece, false)) return false;
        if (parser.IsFinalState()) return true;
    }
    return parser.Parse(std::wstring_view(), true);
}

bool Value::ParseFile(const std::wstring& path, Value& node) {
    std::wstring text;
    // false is the whole answer here; the reading error's record is not logged as well.
    if (!fs::ReadStringFromFile(path, text).Silent().IsOk()) return false;
    if (text.empty()) return false;  // empty, or not UTF-8
    std::wstring_view content(text);
    if (content.front() == 0xFEFF) content.remove_prefix(1);
    return Parse(content, node);
}

} // namespace JSON
