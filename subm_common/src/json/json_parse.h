// JSON text parser. JSON::Parser is a push parser fed one character at a time: its whole state is
// a small record (no recursion, so nesting costs heap, not machine stack) and it reports what it
// recognises as events to an IParserCallback. JSON::ParsingBuilder is the callback that builds a
// JSON::Value tree. The whole-text entry points are Value::Parse and Value::ParseFile.
//
// The grammar is strict JSON; one top-level value of any kind is a document, and an optional
// U+FEFF may come first.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "json/json_object.h"

namespace Parse {

// A parser fed one 32-bit character at a time.
class IGenericCharParser {
public:
    virtual ~IGenericCharParser() = default;
    virtual void Reset() = 0;
    // True while no error has occurred.
    virtual bool Parse(char32_t character) = 0;
    // Feeds the end of the text.
    virtual bool ParseEndStream() = 0;
    virtual bool IsError() const = 0;
    // True once one complete top-level value has been read.
    virtual bool IsFinalState() const = 0;
};

} // namespace Parse

namespace JSON {

enum ParseError_t : uint32_t {
    errorSuccess = 0,
    errorValueExpected = 1,
    errorInvalidEndStreamChars = 2,
    errorMismatchSquareBrackets = 3,
    errorCommaOrRBracketExpected = 4,
    errorMismatchCurlyBraces = 5,
    errorQuotedKeystringExpected = 6,
    errorColonSeparatorExpected = 7,
    errorCommaOrRBraceExpected = 8,
    errorInvalidCharacterInString = 9,
    errorInvalidEscapeSequence = 10,
    errorNumberDigitExpected = 11,
    errorIntegerDigitsOverflow = 12,
    errorFractionDigitsOverflow = 13,
    errorExponentDigitsOverflow = 14,
    errorWrongNumberSyntax = 15,
    errorInvalidCommaChar = 16,
    errorWrongLiteralChar = 17,
    errorExtraBraceOrBracket = 18,
    errorUnclosedString = 19,
    errorUnclosedBracketOrBrace = 20,
    // Raised when a parser with a nesting limit (SetMaxNesting) meets a deeper container.
    errorNestingTooDeep = 21,
};

// The text of an error code; codes without a text of their own give "unidentified parser error".
const char* ParseErrorText(ParseError_t code) noexcept;

// Events, in the order the parser raises them. Characters are 32-bit values. The default
// implementations ignore the event, so a receiver overrides only what it needs.
class IParserCallback {
public:
    virtual ~IParserCallback() = default;
    virtual void Reset() {}
    virtual void SyntaxError(ParseError_t /*code*/) {}
    virtual void ObjectBegin() {}
    virtual void ObjectNext() {}    // a comma inside an object
    virtual void ObjectEnd() {}
    virtual void ArrayBegin() {}
    virtual void ArrayNext() {}     // a comma inside an array
    virtual void ArrayEnd() {}
    virtual void KeyStringBegin() {}
    virtual void KeyStringChar(char32_t /*character*/) {}
    // A run of string characters without escapes, delivered at once by the whole-text parse;
    // the default hands them on one by one.
    virtual void KeyStringChars(const wchar_t* chars, size_t count) {
        for (size_t i = 0; i < count; ++i) KeyStringChar(static_cast<char32_t>(chars[i]));
    }
    virtual void KeyStringEnd() {}
    virtual void ValueStringBegin() {}
    virtual void ValueStringChar(char32_t /*character*/) {}
    virtual void ValueStringChars(const wchar_t* chars, size_t count) {
        for (size_t i = 0; i < count; ++i) ValueStringChar(static_cast<char32_t>(chars[i]));
    }
    virtual void ValueStringEnd() {}
    virtual void ValueLiteral(LiteralValue_t /*literal*/) {}
    virtual void ValueNumberInt(int64_t /*value*/) {}
    virtual void ValueNumberDbl(double /*value*/) {}
};

class IParser : public Parse::IGenericCharParser {
public:
    virtual void SetCallback(IParserCallback* callback) = 0;
    virtual IParserCallback* GetCallback() const = 0;
    // The first error, errorSuccess when none.
    virtual ParseError_t GetLastError() const = 0;
};

class Parser : public IParser {
public:
    enum CharacterClass : uint8_t {
        charEndStream = 0,
        charCtlNonPrint = 1,
        charTAB = 2,
        charLF = 3,
        charCR = 4,
        charSpace = 5,
        charQuotaMark = 6,
        charColon = 7,
        charSlash = 8,
        charBackSlash = 9,
        charComma = 10,
        charDot = 11,
        charPlus = 12,
        charMinus = 13,
        charLeftBracket = 14,
        charRightBracket = 15,
        charLeftBrace = 16,
        charRightBrace = 17,
        charDigit_Zero = 18,
        charDigits_1_9 = 19,
        charLetter_HEX = 20,
        charLatinLetter = 21,
        charOtherAscii = 22,
        charAnyOther = 23,
    };
    static constexpr uint32_t MaxTableCharacters = 128;

    enum ParserNestingType : uint32_t { ParsingObject = 1, ParsingArray = 2 };
    struct ParserNestingState {
        ParserNestingType _type;
        uint32_t _vcounter;  // values completed inside this container
    };

    struct ParsedNumber {
        uint64_t _Integer = 0;
        uint64_t _Fraction = 0;    // fraction digits read as an integer
        uint64_t _Exp10 = 0;       // exponent magnitude
        uint32_t _FracDigits = 0;
        uint32_t _ExpoDigits = 0;
        bool _NumSign = false;     // number negative
        bool _LogSign = false;     // exponent negative
    };

    explicit Parser(IParserCallback* callback = nullptr);

    void Reset() override;
    bool Parse(char32_t character) override;
    bool ParseEndStream() override { return Parse(U'\0'); }
    bool IsError() const override { return _ErrorFlag; }
    bool IsFinalState() const override;
    void SetCallback(IParserCallback* callback) override { _Callback = callback; }
    IParserCallback* GetCallback() const override { return _Callback; }
    ParseError_t GetLastError() const override { return _ErrorCode; }

    // Feeds a whole text up to its end or its first zero character, stopping at the first error
    // or once a complete value has been read (the rest is ignored). With complete set, the end of
    // the text is fed as well and the result is true only for a complete value. Exceptions thrown
    // by the callback end the parse with false.
    bool Parse(std::wstring_view text, bool complete);

    // Containers nested deeper than this raise errorNestingTooDeep; 0 (the default) is no limit.
    void SetMaxNesting(uint32_t levels) { _MaxNesting = levels; }

private:
    using ParseStep = void (Parser::*)(CharacterClass cls, char32_t character);

    static CharacterClass Classify(char32_t character) noexcept {
        return character < MaxTableCharacters ? _CharClassTable[character] : charAnyOther;
    }
    static const std::array<CharacterClass, MaxTableCharacters> _CharClassTable;

    void ParseStep_ExpectBomChar(CharacterClass cls, char32_t character);
    void ParseStep_ExpectValue(CharacterClass cls, char32_t character);
    void ParseStep_ArrayExpectValue(CharacterClass cls, char32_t character);
    void ParseStep_ArrayExpectValueSeparator(CharacterClass cls, char32_t character);
    void ParseStep_ObjectExpectKey(CharacterClass cls, char32_t character);
    void ParseStep_ObjectExpectKeySeparator(CharacterClass cls, char32_t character);
    void ParseStep_ObjectExpectValueSeparator(CharacterClass cls, char32_t character);
    void ParseStep_StringNextChar(CharacterClass cls, char32_t character);
    void ParseStep_StringEscapeChar(CharacterClass cls, char32_t character);
    void ParseStep_StringEscapeDigits(CharacterClass cls, char32_t character);
    void ParseStep_NumberExpectIntDigit(CharacterClass cls, char32_t character);
    void ParseStep_NumberRemIntDigits(CharacterClass cls, char32_t character);
    void ParseStep_NumberExpectDot(CharacterClass cls, char32_t character);
    void ParseStep_NumberFracDigits(CharacterClass cls, char32_t character);
    void ParseStep_NumberExpoDigits(CharacterClass cls, char32_t character);
    void ParseStep_NumberEndToken(CharacterClass cls, char32_t character);
    void ParseStep_Literal_false(CharacterClass cls, char32_t character);
    void ParseStep_Literal_true(CharacterClass cls, char32_t character);
    void ParseStep_Literal_null(CharacterClass cls, char32_t character);
    void ParseStep_FinalState(CharacterClass cls, char32_t character);

    void ParseLiteral(const char* word, size_t length, LiteralValue_t literal, char32_t character);
    bool PushNesting(ParserNestingType type);
    void Parser_HandleEndValue();
    bool Parser_HandleEndNesting(ParserNestingType type);
    void Parser_CountEndValue();
    void Parser_HandleCompletedNumber();
    void Parser_HandleEndStringEscape(char32_t character);
    void Parser_SetNotifySyntaxError(ParseError_t code);
    void ClearNumber() { _Number = ParsedNumber{}; }

    IParserCallback* _Callback = nullptr;
    ParseStep _ParserState;
    uint32_t _TokenCharCounter = 0;
    std::vector<ParserNestingState> _Nesting;
    ParsedNumber _Number;
    char32_t _CharAccum = 0;
    bool _KeyStringFlag = false;
    bool _ErrorFlag = false;
    ParseError_t _ErrorCode = errorSuccess;
    uint32_t _MaxNesting = 0;
};

// Creates a parser on the heap; none if it cannot be created.
std::unique_ptr<IParser> CreateParser(IParserCallback* callback);

// Builds a Value tree from parser events. Syntax errors and inconsistent event sequences are
// thrown as JSON::Exception.
class ParsingBuilder : public IParserCallback {
public:

    struct ParsingBuilderStateStruct {
        Value* _ptVal;
    };
    using ParsingObjectBuilderStack_t = std::vector<ParsingBuilderStateStruct>;

    // Clears target (when given) and makes it the node the next value fills.
    explicit ParsingBuilder(Value* target = nullptr);

    void Reset() override;
    void Reset(Value* target);

    void SyntaxError(ParseError_t code) override;
    void ObjectBegin() override;
    void ObjectNext() override;
    void ObjectEnd() override;
    void ArrayBegin() override;
    void ArrayNext() override;
    void ArrayEnd() override;
    void KeyStringBegin() override;
    void KeyStringChar(char32_t character) override;
    void KeyStringChars(const wchar_t* chars, size_t count) override;
    void KeyStringEnd() override;
    void ValueStringBegin() override;
    void ValueStringChar(char32_t character) override;
    void ValueStringChars(const wchar_t* chars, size_t count) override;
    void ValueStringEnd() override;
    void ValueLiteral(LiteralValue_t literal) override;
    void ValueNumberInt(int64_t value) override;
    void ValueNumberDbl(double value) override;

private:
    Value& NewValue();  // the target, checked to be still undefined
    Value& TopContainer(ObjectType_t kind, const char* emptyText);
    void BeginMember(Value& object);  // the next member of object, its key still to come
    void EndContainer();

    Value* _target = nullptr;
    ParsingObjectBuilderStack_t _stack;  // enclosing containers, outermost first
    MyString_t _keyAcc;                  // the member key being collected
    Value _pending;                      // the member whose key is being read (see BeginMember)
};

} // namespace JSON
