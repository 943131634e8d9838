#include "Base/Serialize/KZKey.h"

#include "Base/Debug/KZLog.h"
#include "Base/Hash/KZStringHash.h"
#include "Base/Serialize/KZSerialize.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

namespace
{
// Prints every event's message on stderr, so a death test can see what the fatal event said.
class CPrintingHandler : public CKZLog::CLogHandler
{
public:
    bool Skippable() override { return false; }
    CKZLog::EEventResult OnEvent(const CKZLog::SEvent& event) override
    {
        fprintf(stderr, "[%s] %s\n", event.record.expression, event.message.c_str());
        return CKZLog::RESULT_NONE;
    }
};
}

TEST(KZKey, RegistryAndLookups)
{
    EXPECT_EQ(CKZKey::ToString(0), "");
    EXPECT_EQ(CKZKey::ms_KeyNull.GetId(), 0u);
    EXPECT_EQ(KZSerializeKeys::s_keyVecSize.GetId(), 0x0B65A8C5u);
    EXPECT_EQ(CKZKey::ToString(0x0B65A8C5u), "vec.size");
    EXPECT_EQ(CKZKey::ToKey("vec.size"), 0x0B65A8C5u);
    EXPECT_EQ(CKZKey::ToKey("never.declared"), KZEngine::Hash("never.declared"));
    EXPECT_EQ(CKZKey(0x0B65A8C5u).GetName(), "vec.size");

    // The same declaration seen again (a header key in another source file) registers once, silently.
    const size_t before = CKZKey::GetRegisteredCount();
    static const CKZKey s_again(KZEngine::Hash("vec.size"), "vec.size", "SOURCE/base/Serialize/KZSerialize.h", 89);
    EXPECT_EQ(CKZKey::GetRegisteredCount(), before);
    EXPECT_EQ(CKZKey::ToKey("vec.size"), 0x0B65A8C5u);
    // The same name declared in another place is no collision.
    static const CKZKey s_elsewhere(KZEngine::Hash("vec.size"), "vec.size", "Some/Other/File", 7);
    EXPECT_EQ(CKZKey::GetRegisteredCount(), before);
    std::string strName;
    EXPECT_FALSE(CKZKey::FindName(0x12345678, strName)) << "no event for an id the caller checks itself";
}

TEST(KZKeyDeathTest, CollisionIsFatalAndNamesBoth)
{
    ASSERT_EQ(KZEngine::Hash("aq"), KZEngine::Hash("ba"));
    EXPECT_DEATH(
        {
            CPrintingHandler printer;
            CKZLog::AddHandler(&printer, 1000);
            static const CKZKey s_first(KZEngine::Hash("aq"), "aq", "first.cpp", 10);
            static const CKZKey s_second(KZEngine::Hash("ba"), "ba", "second.cpp", 20);
        },
        "\\[it == GetMapKeyToString\\(\\).end\\(\\)\\] Key collision!!!\nKey A aq 1665 file first.cpp line 10\n"
        "Key B ba 1665 file second.cpp line 20");
}

TEST(KZKeyDeathTest, UnknownIdIsFatal)
{
    EXPECT_DEATH(
        {
            CPrintingHandler printer;
            CKZLog::AddHandler(&printer, 1000);
            CKZKey::ToString(0x12345678);
        },
        "No key found");
}

namespace
{
// A key of its own per thread, declared on first use the way member keys are.
template <int N>
const CKZKey& ThreadKey()
{
    static const std::string s_strName = "concurrent.key" + std::to_string(N);
    static const CKZKey s_key(KZEngine::Hash(s_strName.c_str()), s_strName.c_str(), __FILE__, __LINE__);
    return s_key;
}

template <int N>
void DeclareAndLookUp(std::atomic<int>& wrongAnswers)
{
    const CKZKey& key = ThreadKey<N>();
    for (int i = 0; i < 200; ++i)
    {
        std::string strName;
        if (CKZKey::ToString(key.GetId()) != key.GetName() || CKZKey::ToKey(key.GetName()) != key.GetId() ||
            !CKZKey::FindName(KZSerializeKeys::s_keyVecSize.GetId(), strName) || strName != "vec.size")
            ++wrongAnswers;
    }
}
} // namespace

TEST(KZKey, ConcurrentDeclarationsAndLookups)
{
    std::atomic<int> wrongAnswers{0};
    std::thread first(DeclareAndLookUp<0>, std::ref(wrongAnswers));
    std::thread second(DeclareAndLookUp<1>, std::ref(wrongAnswers));
    std::thread third(DeclareAndLookUp<2>, std::ref(wrongAnswers));
    DeclareAndLookUp<3>(wrongAnswers);
    first.join();
    second.join();
    third.join();
    EXPECT_EQ(wrongAnswers, 0);
}
