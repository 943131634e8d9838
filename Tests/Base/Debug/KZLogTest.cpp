#include "Base/Debug/KZLog.h"

#include <gtest/gtest.h>

TEST(KZLog, PlaceholderBuilds)
{
    EXPECT_TRUE(CKZLog::IsEventTypeEnabled(CKZLog::EVENT_ASSERT));
}
