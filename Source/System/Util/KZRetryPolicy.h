#pragma once
// How often, and how far apart, the tries of one transfer go. Every transfer of a run follows it:
// the catalogue probe, the catalogue, the client application, the size of a full-install zip, and
// each file of the run. A try fails refused (an answer that another try will not change: 300 to
// 499, a file over its bound, a disk that cannot take it, a peer not trusted) or unanswered (no
// answer, a server error, a body cut short, stalled or too slow). The wait before the next try
// starts at the first delay and doubles, up to 30 s and at most 60 first delays.

#include <chrono>
#include <cstdint>

class CKZRetryPolicy
{
public:
    struct SLimits
    {
        uint32_t dwRefused;
        uint32_t dwUnanswered;
    };
    // An exchange the run cannot go on without (the catalogue probe, the catalogue, the client
    // application, a zip's size): a refusal is final, and it is asked at most three times.
    static constexpr SLimits kExchange = {1, 3};
    // A file of the run: given up after 5 refusals, or after 16 tries without an answer (about five
    // minutes of waiting with the default delays).
    static constexpr SLimits kEntry = {5, 16};
    static constexpr uint32_t kDefaultFirstDelayMs = 500;
    static constexpr uint32_t kDelayLimitMs = 30000;
    static constexpr uint32_t kDelayLimitFactor = 60;

    explicit CKZRetryPolicy(uint32_t dwFirstDelayMs = kDefaultFirstDelayMs) : m_dwFirstDelayMs(dwFirstDelayMs) {}

    void SetFirstDelay(uint32_t dwMilliseconds) { m_dwFirstDelayMs = dwMilliseconds; }
    uint32_t FirstDelayMs() const { return m_dwFirstDelayMs; }
    // The wait after a failure that followed a wait of dwLastDelayMs (0: the first failure).
    uint32_t NextDelayMs(uint32_t dwLastDelayMs) const;

private:
    uint32_t m_dwFirstDelayMs;
};

// The tries of one transfer so far.
struct SKZRetryState
{
    uint32_t dwRefused = 0;
    uint32_t dwUnanswered = 0;
    uint32_t dwDelayMs = 0; // the wait before the next try
    std::chrono::steady_clock::time_point nextTry{};

    // Counts a failed try and puts the next one off.
    void CountFailure(bool bRefused, const CKZRetryPolicy& policy);
    // A try succeeded: the next failure waits the first delay again.
    void Succeeded() { dwDelayMs = 0; }
    bool Exhausted(const CKZRetryPolicy::SLimits& limits) const
    {
        return dwRefused >= limits.dwRefused || dwUnanswered >= limits.dwUnanswered;
    }
    bool Due(std::chrono::steady_clock::time_point now) const { return nextTry <= now; }
    uint32_t Tries() const { return dwRefused + dwUnanswered; }
};
