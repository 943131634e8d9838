#include "Base/Debug/KZLog.h"

#include "Fixtures/KZTestEvents.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

namespace
{
const char* const kFile = "Tests/Base/Debug/KZLogTest";

// Records which handlers saw an event, in order, and answers a fixed result.
class CRecordingHandler : public CKZLog::CLogHandler
{
public:
    CRecordingHandler(std::vector<int>& seen, int id, CKZLog::EEventResult result, bool bSkippable = true)
        : m_seen(seen), m_id(id), m_result(result), m_bSkippable(bSkippable)
    {
    }
    bool Skippable() override { return m_bSkippable; }
    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        m_seen.push_back(m_id);
        m_strLastMessage = event.message;
        return m_result;
    }

    std::string m_strLastMessage;

private:
    std::vector<int>& m_seen;
    int m_id;
    CKZLog::EEventResult m_result;
    bool m_bSkippable;
};

class KZLogTest : public ::testing::Test
{
protected:
    void SetUp() override { CKZLog::Release(); }
    void TearDown() override { CKZLog::Release(); }

    static void Report(const CKZLog::SEventRecord& record, const char* szMessage = "")
    {
        CKZLog::TriggerEvent(record, "%s", szMessage);
    }

    std::vector<int> m_seen;
};

CKZLog::SEventRecord MakeRecord(CKZLog::EEventType type, uint32_t line, uint32_t flags = 0)
{
    return CKZLog::SEventRecord{kFile, "Test", "x == y", type, flags, line};
}
} // namespace

TEST_F(KZLogTest, HandlersAreAskedInDescendingPriorityNewestFirstAmongEquals)
{
    CRecordingHandler low(m_seen, 1, CKZLog::RESULT_NONE);
    CRecordingHandler firstTen(m_seen, 2, CKZLog::RESULT_NONE);
    CRecordingHandler secondTen(m_seen, 3, CKZLog::RESULT_NONE);
    CRecordingHandler high(m_seen, 4, CKZLog::RESULT_NONE);
    CKZLog::AddHandler(&low, 1);
    CKZLog::AddHandler(&firstTen, 10);
    CKZLog::AddHandler(&secondTen, 10);
    CKZLog::AddHandler(&high, 20000);
    Report(MakeRecord(CKZLog::EVENT_WARNING, 1), "hello 42");
    EXPECT_EQ((std::vector<int>{4, 3, 2, 1}), m_seen);
    EXPECT_EQ("hello 42", low.m_strLastMessage);
    EXPECT_TRUE(CKZLog::RemoveHandler(&low));
    EXPECT_FALSE(CKZLog::RemoveHandler(&low));
}

TEST_F(KZLogTest, RepeatedSiteSkipsSkippableHandlersOnly)
{
    CRecordingHandler skippable(m_seen, 1, CKZLog::RESULT_NONE, true);
    CRecordingHandler persistent(m_seen, 2, CKZLog::RESULT_NONE, false);
    CKZLog::AddHandler(&skippable, 50);
    CKZLog::AddHandler(&persistent, 40);
    const CKZLog::SEventRecord record = MakeRecord(CKZLog::EVENT_ASSERT, 2);
    Report(record);
    Report(record);
    EXPECT_EQ((std::vector<int>{1, 2, 2}), m_seen);

    // A site of another line is a new site; Warning sites are never repeats.
    m_seen.clear();
    Report(MakeRecord(CKZLog::EVENT_ASSERT, 3));
    const CKZLog::SEventRecord warning = MakeRecord(CKZLog::EVENT_WARNING, 4);
    Report(warning);
    Report(warning);
    EXPECT_EQ((std::vector<int>{1, 2, 1, 2, 1, 2}), m_seen);
}

TEST_F(KZLogTest, ResultStopEndsTheWalkAndBreakIsRequested)
{
    CRecordingHandler breaker(m_seen, 1, CKZLog::RESULT_BREAK);
    CRecordingHandler stopper(m_seen, 2, CKZLog::RESULT_STOP);
    CRecordingHandler after(m_seen, 3, CKZLog::RESULT_CONTINUE);
    CKZLog::AddHandler(&breaker, 30);
    CKZLog::AddHandler(&stopper, 20);
    CKZLog::AddHandler(&after, 10);
    Report(MakeRecord(CKZLog::EVENT_ERROR, 5));
    EXPECT_EQ((std::vector<int>{1, 2}), m_seen);
    EXPECT_TRUE(CKZLog::ShouldBreak());

    // The flag belongs to the last report: a report that continues clears it.
    CKZLog::RemoveHandler(&breaker);
    Report(MakeRecord(CKZLog::EVENT_ERROR, 6));
    EXPECT_FALSE(CKZLog::ShouldBreak());
}

TEST_F(KZLogTest, WithoutDebuggerAnAssertPrintsNothingAndDoesNotBreak)
{
    testing::internal::CaptureStdout();
    Report(MakeRecord(CKZLog::EVENT_ASSERT, 7));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_FALSE(CKZLog::ShouldBreak());
}

TEST_F(KZLogTest, VerbosityIsClampedAndFiltersInfoAndWarningSites)
{
    CKZLog::SetVerboseLevel(7);
    EXPECT_EQ(3, CKZLog::GetVerboseLevel());
    CKZLog::SetVerboseLevel(-1);
    EXPECT_EQ(0, CKZLog::GetVerboseLevel());

    CRecordingHandler handler(m_seen, 1, CKZLog::RESULT_NONE);
    CKZLog::AddHandler(&handler, 10);
    CKZLog::SetVerboseLevel(1);
    Report(MakeRecord(CKZLog::EVENT_WARNING, 8));                            // level 1: seen
    Report(MakeRecord(CKZLog::EVENT_WARNING, 9, CKZLog::FLAG_VERBOSE_2));    // level 2: filtered
    Report(MakeRecord(CKZLog::EVENT_ERROR, 10, CKZLog::FLAG_VERBOSE_3));     // errors ignore verbosity
    EXPECT_EQ((std::vector<int>{1, 1}), m_seen);
    CKZLog::SetVerboseLevel(3);
    Report(MakeRecord(CKZLog::EVENT_WARNING, 11, CKZLog::FLAG_VERBOSE_3));
    EXPECT_EQ(3u, m_seen.size());
}

TEST_F(KZLogTest, DisabledTypesReachNoHandler)
{
    CRecordingHandler handler(m_seen, 1, CKZLog::RESULT_NONE);
    CKZLog::AddHandler(&handler, 10);
    EXPECT_FALSE(CKZLog::IsEventTypeEnabled(CKZLog::EVENT_INFO));
    EXPECT_FALSE(CKZLog::IsEventTypeEnabled(CKZLog::EVENT_BREADCRUMB));
    Report(MakeRecord(CKZLog::EVENT_INFO, 12));
    EXPECT_TRUE(m_seen.empty());
    CKZLog::EnableEventType(CKZLog::EVENT_INFO, true);
    Report(MakeRecord(CKZLog::EVENT_INFO, 12));
    EXPECT_EQ(1u, m_seen.size());
    CKZLog::EnableEventType(CKZLog::EVENT_ASSERT, false);
    Report(MakeRecord(CKZLog::EVENT_ASSERT, 13));
    EXPECT_EQ(1u, m_seen.size());
}

TEST_F(KZLogTest, FormatsFileLineTypeExpressionAndMessage)
{
    const CKZLog::SEventRecord assertRecord = {"PatchLibrary/KZPatch", "TransitionFromTo", "result",
                                               CKZLog::EVENT_ASSERT, 0, 40};
    std::string strOut;
    CKZLog::FormatLogMessage(CKZLog::SEvent{assertRecord, "", "", 0}, strOut);
    EXPECT_EQ("PatchLibrary/KZPatch(40): Assert: (result) ", strOut);

    const CKZLog::SEventRecord errorRecord = {"Source/Base/Core/KZFile", "Open", "", CKZLog::EVENT_ERROR, 0, 7};
    CKZLog::FormatLogMessage(CKZLog::SEvent{errorRecord, "cannot open", "tag", 0}, strOut);
    EXPECT_EQ("Source/Base/Core/KZFile(7): \"tag\": Error: cannot open", strOut);
}

TEST_F(KZLogTest, EventTypeNamesAndPathHash)
{
    EXPECT_STREQ("Info", CKZLog::EventTypeName(CKZLog::EVENT_INFO));
    EXPECT_STREQ("Breadcrumb", CKZLog::EventTypeName(CKZLog::EVENT_BREADCRUMB));
    EXPECT_STREQ("?", CKZLog::EventTypeName(static_cast<CKZLog::EEventType>(3)));
    const CKZLog::SEventRecord record = {"dwmagic", "", "", CKZLog::EVENT_ASSERT, 0, 0x93};
    EXPECT_EQ(0x0BE37D93u ^ 0x93u, CKZLog::CalcPathHash(record));
}

TEST_F(KZLogTest, HandlerResultThreeEndsTheProcessWithStatusOne)
{
    EXPECT_EXIT(
        {
            std::vector<int> seen;
            CRecordingHandler exiter(seen, 1, CKZLog::RESULT_EXIT);
            CKZLog::AddHandler(&exiter, 10);
            Report(MakeRecord(CKZLog::EVENT_ERROR, 14));
        },
        testing::ExitedWithCode(1), "");
}

TEST_F(KZLogTest, FatalEventsWithoutDebuggerAbortTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(Report(MakeRecord(CKZLog::EVENT_FATALASSERT, 15)), testing::KilledBySignal(SIGABRT), "");
    EXPECT_EXIT(Report(MakeRecord(CKZLog::EVENT_CRASH, 16)), testing::KilledBySignal(SIGABRT), "");
}

TEST_F(KZLogTest, ReportingMacrosBuildTheirRecordAndCarryTheMessage)
{
    CRecordingHandler handler(m_seen, 1, CKZLog::RESULT_NONE);
    CKZLog::AddHandler(&handler, 10);
    const int value = 3;
    KZ_ASSERT(kFile, value == 3);
    EXPECT_TRUE(m_seen.empty());
    KZ_ASSERT(kFile, value == 4);
    KZ_ERROR(kFile, "value %d", value);
    EXPECT_EQ(2u, m_seen.size());
    EXPECT_EQ("value 3", handler.m_strLastMessage);
}

TEST_F(KZLogTest, BreakDecisionBelongsToTheReportingThread)
{
    CRecordingHandler breaker(m_seen, 1, CKZLog::RESULT_BREAK);
    CKZLog::AddHandler(&breaker, 50);
    const CKZLog::SEventRecord breakSite = MakeRecord(CKZLog::EVENT_ASSERT, 30);
    const CKZLog::SEventRecord quietSite = MakeRecord(CKZLog::EVENT_INFO, 31); // Info is disabled: no handler

    Report(breakSite);
    ASSERT_TRUE(CKZLog::ShouldBreak());
    bool bOtherThreadBreaks = true;
    std::thread([&] {
        Report(quietSite);
        bOtherThreadBreaks = CKZLog::ShouldBreak();
    }).join();
    EXPECT_FALSE(bOtherThreadBreaks);
    EXPECT_TRUE(CKZLog::ShouldBreak()) << "another thread's report does not clear this one's break";

    bool bFreshThreadBreaks = true;
    std::thread([&] { bFreshThreadBreaks = CKZLog::ShouldBreak(); }).join();
    EXPECT_FALSE(bFreshThreadBreaks) << "a thread that reported nothing has nothing to break for";
    Report(quietSite);
    EXPECT_FALSE(CKZLog::ShouldBreak());
}

TEST_F(KZLogTest, ConcurrentReportersEachSeeTheirOwnDecision)
{
    // Answers break for odd lines only, so each thread knows what its own report must decide.
    class CLineHandler : public CKZLog::CLogHandler
    {
    public:
        bool Skippable() override { return false; }
        CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
        {
            return event.record.line % 2 ? CKZLog::RESULT_BREAK : CKZLog::RESULT_CONTINUE;
        }
    } lineHandler;
    CKZLog::AddHandler(&lineHandler, 50);
    std::atomic<int> wrongDecisions{0};
    std::vector<std::thread> reporters;
    for (uint32_t thread = 0; thread < 4; ++thread)
        reporters.emplace_back([&, thread] {
            const CKZLog::SEventRecord site = MakeRecord(CKZLog::EVENT_ERROR, 40 + thread);
            for (int i = 0; i < 500; ++i)
            {
                Report(site);
                if (CKZLog::ShouldBreak() != (site.line % 2 == 1))
                    ++wrongDecisions;
            }
        });
    for (std::thread& reporter : reporters)
        reporter.join();
    EXPECT_EQ(wrongDecisions, 0);
    CKZLog::RemoveHandler(&lineHandler);
}

TEST_F(KZLogTest, TestRecorderTakesEventsFromManyThreads)
{
    CKZTestEventRecorder recorder;
    std::vector<std::thread> reporters;
    for (uint32_t thread = 0; thread < 4; ++thread)
        reporters.emplace_back([thread] {
            const CKZLog::SEventRecord site = MakeRecord(CKZLog::EVENT_ERROR, 50 + thread);
            for (int i = 0; i < 250; ++i)
                CKZLog::TriggerEvent(site, "report %d", i);
        });
    // Reads while the reporters write.
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(recorder.Saw("never reported") || recorder.Count() > 1000);
    for (std::thread& reporter : reporters)
        reporter.join();
    EXPECT_EQ(recorder.Count(), 1000);
    EXPECT_EQ(recorder.Count(CKZLog::EVENT_ERROR), 1000);
    EXPECT_EQ(recorder.LastMessage().rfind("report ", 0), 0u);
}
