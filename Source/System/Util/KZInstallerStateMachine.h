#pragma once
// The installer's states as a table: which changes are allowed, what must hold before a change (a
// guard, which may refuse it with an error code) and what entering a state does. Every change goes
// through GoTo, which answers whether it happened and writes one trace line; a refused change is
// traced too. A failed installer never leaves its last state.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

class CKZInstallerStateMachine
{
public:
    // Answers an error code: 0 lets the change happen, anything else fails the run with that code.
    typedef std::function<int32_t()> Action;

    struct STransition
    {
        uint32_t from;
        uint32_t to;
        Action guard; // may be empty
    };

    // failedState is entered from every state, and left by none.
    CKZInstallerStateMachine(uint32_t initialState, uint32_t failedState, std::vector<STransition> transitions);
    CKZInstallerStateMachine(const CKZInstallerStateMachine&) = delete;
    CKZInstallerStateMachine& operator=(const CKZInstallerStateMachine&) = delete;

    // What entering a state does; it runs after the state is set, so that pollers see the state
    // while it works. A non-zero answer fails the run.
    void SetEntryAction(uint32_t state, Action action);
    // What leaving a state does, whatever the next one is; it runs before the change's guard.
    void SetExitAction(uint32_t state, std::function<void()> action);

    // True when the installer is now in the target state (also when it already was).
    bool GoTo(uint32_t target);
    // Sets the error code and enters the failed state.
    void Fail(int32_t errorCode);
    // Decides the code a failure reports (a run that was cancelled fails as cancelled, whatever
    // broke off in it).
    void SetErrorFilter(std::function<int32_t(int32_t)> filter) { m_errorFilter = std::move(filter); }

    uint32_t State() const { return m_state; }
    int32_t ErrorCode() const { return m_errorCode; }

private:
    const STransition* Find(uint32_t from, uint32_t to) const;
    void Leave(uint32_t from);
    void Enter(uint32_t from, uint32_t to);
    void SetError(int32_t errorCode) { m_errorCode = m_errorFilter ? m_errorFilter(errorCode) : errorCode; }

    std::atomic<uint32_t> m_state;
    std::atomic<int32_t> m_errorCode{0};
    const uint32_t m_failedState;
    const std::vector<STransition> m_transitions;
    std::map<uint32_t, Action> m_entryActions;
    std::map<uint32_t, std::function<void()>> m_exitActions;
    std::function<int32_t(int32_t)> m_errorFilter;
    // One change at a time: the main worker makes them, the init worker before it, and a failure may
    // come from another worker.
    std::recursive_mutex m_changeMutex;
};
