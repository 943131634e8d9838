#pragma once
// Wall-clock timing shared by the benchmark programs.

#include <chrono>
#include <functional>

// Seconds that work takes to run once.
inline double KZBenchmarkSeconds(const std::function<void()>& work)
{
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}
