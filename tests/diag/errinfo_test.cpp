// Error records: texts, nesting, the duty to log a dropped failure exactly once, ErrorState's
// transitions on an injected clock, and the system error texts.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <list>
#include <string>

#include "diag/ErrInfo.h"
#include "diag/IEnvironment.h"
#include "diag/SysErrors.h"
#include "support/log_capture.h"

namespace {

using test_support::LogCapture;

// Watches the process log, where dropped records go. Each test tags its records with a text of
// its own and, to see that nothing more arrives, ends with a marker record and waits for it:
// the log writes in order, so whatever was logged before the marker has been seen then.
class ProcessLogTest : public ::testing::Test {
protected:
    ProcessLogTest() : capture(Environment()->DebugLog()) {}

    size_t CountAfterMarker(const std::wstring& part) {
        const std::wstring marker = L"marker " + part;
        capture.Log()->LogRecord(marker);
        EXPECT_TRUE(capture.WaitForMatching(marker));
        return capture.Matching(part).size() - 1;  // the marker contains part too
    }

    LogCapture capture;
};

ErrInfo Failing(const wchar_t* text) { return MAKE_ERR_INFO().StrError(text); }

TEST_F(ProcessLogTest, DroppedFailureLogsItselfOnceWithItsLocation) {
    { ErrInfo err = Failing(L"dropped-once"); }
    EXPECT_EQ(CountAfterMarker(L"dropped-once"), 1u);
    const auto lines = capture.Matching(L"ErrStr=dropped-once");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find(L" Method=Failing File="), std::wstring::npos) << "the making function's bare name";
    EXPECT_NE(lines[0].find(L"errinfo_test.cpp Line="), std::wstring::npos);
}

TEST_F(ProcessLogTest, CopiesShareOneDutyToLog) {
    {
        ErrInfo first = Failing(L"copied-kept-first");
        ErrInfo copy(first);
        ErrInfo assigned;
        assigned = copy;
        EXPECT_TRUE(first.IsSilent());
        EXPECT_TRUE(copy.IsSilent());
        EXPECT_FALSE(assigned.IsSilent());
        copy.AddError(L"seen by all copies");
        EXPECT_EQ(first.GetErrorStr(), assigned.GetErrorStr());
    }
    {
        auto* outer = new ErrInfo(Failing(L"copied-destroyed-last"));
        { ErrInfo inner(*outer); }  // the copy dies first and logs
        delete outer;
    }
    EXPECT_EQ(CountAfterMarker(L"copied-kept-first"), 1u);
    EXPECT_EQ(CountAfterMarker(L"copied-destroyed-last"), 1u);
}

TEST_F(ProcessLogTest, SilentRecordsAndTheirNestedOnesNeverLog) {
    {
        ErrInfo ok = MAKE_ERR_INFO().SetErrorDirect();
        EXPECT_TRUE(ok.IsOk());
        ErrInfo outer = Failing(L"silent-outer");
        outer += Failing(L"silent-nested");
        outer.Silent();
    }
    EXPECT_EQ(CountAfterMarker(L"silent-"), 0u);
}

TEST_F(ProcessLogTest, CombinedRecordStaysLoggable) {
    {
        ErrInfo ok = MAKE_ERR_INFO();
        ok += Failing(L"combined-into-success");
        EXPECT_FALSE(ok.IsOk());
        ErrInfo err = Failing(L"combined-outer");
        err += Failing(L"combined-nested");
        std::list<std::wstring> texts;
        EXPECT_EQ(err.GetErrorsStrList(texts), 2u);
        EXPECT_EQ(texts, (std::list<std::wstring>{L"combined-outer", L"combined-nested"}));
    }
    EXPECT_EQ(CountAfterMarker(L"combined-into-success"), 1u);
    // The text of a record leaves its nested errors out; each of them logs its own text.
    EXPECT_EQ(CountAfterMarker(L"combined-outer"), 1u);
    EXPECT_EQ(CountAfterMarker(L"combined-nested"), 1u);
}

TEST(ErrInfo, TextsByKind) {
    struct Case {
        const char* name;
        ErrInfo err;
        std::wstring shortText;
    };
    ErrInfo empty = MAKE_ERR_INFO();
    empty.StrError(L"");
    Case cases[] = {
        {"string", MAKE_ERR_INFO().StrError("a text"), L" ErrStr=a text"},
        {"empty string", empty, L""},
        {"hres", MAKE_ERR_INFO().HResError(0x80004005u, L"failed"), L" ErrType=2 ErrCode=2147500037/80004005h ErrStr=failed"},
        {"custom", MAKE_ERR_INFO().GenericError(42, std::string("own code")), L" ErrType=6 ErrCode=42/2Ah ErrStr=own code"},
        {"utf-8", MAKE_ERR_INFO().StrError("caf\xC3\xA9"), L" ErrStr=caf\u00E9"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(c.err.IsOk());
        EXPECT_EQ(c.err.GetErrorTextShort(), c.shortText);
        EXPECT_EQ(c.err.GetErrorText().rfind(c.shortText + L" Method=TestBody File=", 0), 0u);
        c.err.Silent();
    }

    ErrInfo api = MAKE_ERR_INFO().ApiError(111, "connect");
    EXPECT_EQ(api.GetErrorTextShort(), L" ErrType=1 ErrCode=111/6Fh (" + os::SystemErrCodeTextW(111) + L") ErrStr=connect");
    ErrInfo zero = MAKE_ERR_INFO().ApiError(0, L"");
    EXPECT_EQ(zero.GetErrorTextShort().rfind(L" ErrType=1 ErrCode=0/0h (0: ", 0), 0u);
    errno = ENOENT;
    ErrInfo last = MAKE_ERR_INFO().ApiLastError(L"open");
    EXPECT_EQ(last.GetErrorCode(), static_cast<uint32_t>(ENOENT));
    api.Silent();
    zero.Silent();
    last.Silent();

    ErrInfo ok = MAKE_ERR_INFO();
    std::list<std::wstring> texts{L"stale"};
    EXPECT_EQ(ok.GetErrorsStrList(texts), 0u);
    EXPECT_TRUE(texts.empty());
    EXPECT_EQ(ok.GetErrorText(), L"");
}

TEST(ErrInfo, AddErrorAppendsLinesAndKeepsTheKind) {
    ErrInfo err = MAKE_ERR_INFO();
    err.AddError("first");
    EXPECT_EQ(err.GetErrorType(), EIT_STRING);
    EXPECT_EQ(err.GetErrorStr(), L"first");
    err.AddError(L"second");
    EXPECT_EQ(err.GetErrorStr(), L"first" + Environment()->DebugLog()->GetNl() + L"second");

    ErrInfo api = MAKE_ERR_INFO().ApiError(13, L"open");
    api.AddError(L"while reading settings");
    EXPECT_EQ(api.GetErrorType(), EIT_API);
    EXPECT_EQ(api.GetErrorCode(), 13u);
    err.Silent();
    api.Silent();
    EXPECT_STREQ(ErrException(api).what(), ErrException(api.GetErrorText()).what());
}

// ErrorState on a clock the test moves: first failure, failures within the minute, one in a
// later minute, and the return to success, as the log and the records show them.
TEST_F(ProcessLogTest, ErrorStateLetsTransitionsAndOneReminderAMinuteThrough) {
    int64_t now = 1'700'000'000 / 60 * 60 + 10;
    ErrorState state(L"errstate-test");
    state.SetClockForTest([&] { return now; });

    ErrInfo success = MAKE_ERR_INFO();
    state.SetState(success);
    EXPECT_TRUE(state.IsOk());

    ErrInfo first = Failing(L"send failed");
    state.SetState(first);
    EXPECT_FALSE(first.IsSilent());
    EXPECT_NE(first.GetErrorStr().find(L"ErrState: Ok->Error, Info='errstate-test', ErrCount = 1"), std::wstring::npos);
    first.Silent();

    for (int i = 0; i < 2; ++i) {
        now += 10;
        ErrInfo again = Failing(L"send failed");
        state.SetState(again);
        EXPECT_TRUE(again.IsSilent()) << "within the same minute";
    }
    now += 60;
    ErrInfo later = Failing(L"send failed");
    state.SetState(later);
    EXPECT_FALSE(later.IsSilent());
    EXPECT_NE(later.GetErrorStr().find(L"ErrState: Error->Error, Info='errstate-test', ErrCount = 4"), std::wstring::npos);
    later.Silent();

    ErrInfo back = MAKE_ERR_INFO();
    state.SetState(back);
    EXPECT_TRUE(state.IsOk());
    EXPECT_EQ(CountAfterMarker(L"ErrState: Error->OK, Info='errstate-test', ErrCount = 4"), 1u);
}

TEST(SysErrors, TextHasTheNumberOnlyWhenThereIsRoom) {
    const std::string message = std::strerror(ENOENT);
    char small[12];
    os::SystemErrCodeText(ENOENT, small, sizeof small);
    EXPECT_EQ(std::string(small), message.substr(0, sizeof small - 1));
    char room[13];
    os::SystemErrCodeText(ENOENT, room, sizeof room);
    EXPECT_EQ(std::string(room), ("2: " + message).substr(0, sizeof room - 1));
    EXPECT_EQ(os::SystemErrCodeText(ENOENT), "2: " + message);
    EXPECT_EQ(os::SystemErrCodeTextW(99999).rfind(L"99999: ", 0), 0u) << "unknown numbers still get a text";
    EXPECT_TRUE(os::isPathOrFileNotFound(ENOTDIR));
    EXPECT_FALSE(os::isPathOrFileNotFound(ENOENT));
    EXPECT_TRUE(os::isInvalid(os::getInvalidSysErrCode()));
}

} // namespace
