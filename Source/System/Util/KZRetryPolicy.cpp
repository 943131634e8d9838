#include "System/Util/KZRetryPolicy.h"

#include <algorithm>

uint32_t CKZRetryPolicy::NextDelayMs(uint32_t dwLastDelayMs) const
{
    const uint64_t qwLimit = std::min<uint64_t>(kDelayLimitMs, uint64_t(m_dwFirstDelayMs) * kDelayLimitFactor);
    if (dwLastDelayMs == 0)
        return m_dwFirstDelayMs;
    return static_cast<uint32_t>(std::min<uint64_t>(uint64_t(dwLastDelayMs) * 2, qwLimit));
}

void SKZRetryState::CountFailure(bool bRefused, const CKZRetryPolicy& policy)
{
    ++(bRefused ? dwRefused : dwUnanswered);
    dwDelayMs = policy.NextDelayMs(dwDelayMs);
    nextTry = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwDelayMs);
}
