#pragma once
// A value with the one lock that guards it: every use goes through With, under the lock.

#include <mutex>
#include <utility>

template <typename T>
class CKZGuarded
{
public:
    CKZGuarded() = default;
    CKZGuarded(const CKZGuarded&) = delete;
    CKZGuarded& operator=(const CKZGuarded&) = delete;

    template <typename Function>
    auto With(Function&& function) -> decltype(function(std::declval<T&>()))
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return function(m_value);
    }
    // For the few members the value itself makes safe to read without the lock (atomics).
    const T& Unguarded() const { return m_value; }

private:
    std::mutex m_mutex;
    T m_value;
};
