#include "System/Util/KZInstallerStateMachine.h"

#include "Base/Debug/KZOutput.h"

#include <utility>

CKZInstallerStateMachine::CKZInstallerStateMachine(uint32_t initialState, uint32_t failedState,
                                                   std::vector<STransition> transitions)
    : m_state(initialState), m_failedState(failedState), m_transitions(std::move(transitions))
{
}

void CKZInstallerStateMachine::SetEntryAction(uint32_t state, Action action)
{
    m_entryActions[state] = std::move(action);
}

void CKZInstallerStateMachine::SetExitAction(uint32_t state, std::function<void()> action)
{
    m_exitActions[state] = std::move(action);
}

void CKZInstallerStateMachine::Leave(uint32_t from)
{
    const auto action = m_exitActions.find(from);
    if (action != m_exitActions.end() && action->second)
        action->second();
}

const CKZInstallerStateMachine::STransition* CKZInstallerStateMachine::Find(uint32_t from, uint32_t to) const
{
    for (const STransition& transition : m_transitions)
        if (transition.from == from && transition.to == to)
            return &transition;
    return nullptr;
}

bool CKZInstallerStateMachine::GoTo(uint32_t target)
{
    std::lock_guard<std::recursive_mutex> lock(m_changeMutex);
    const uint32_t current = m_state;
    if (current == target)
        return true;
    if (current == m_failedState)
        return false;
    if (target == m_failedState)
    {
        Leave(current);
        Enter(current, target);
        return true;
    }
    const STransition* pTransition = Find(current, target);
    if (!pTransition)
    {
        KZOutput::Print(KZOutput::LEVEL_TRACE, "WebInstaller: state %u -> %u refused", current, target);
        return false;
    }
    Leave(current);
    if (pTransition->guard)
    {
        const int32_t errorCode = pTransition->guard();
        if (m_state != current) // the guard failed the run itself
            return false;
        if (errorCode != 0)
        {
            SetError(errorCode);
            Enter(current, m_failedState);
            return false;
        }
    }
    Enter(current, target);
    return m_state == target;
}

void CKZInstallerStateMachine::Enter(uint32_t from, uint32_t to)
{
    m_state = to;
    KZOutput::Print(KZOutput::LEVEL_TRACE, "WebInstaller: state %u -> %u", from, to);
    const auto action = m_entryActions.find(to);
    if (action == m_entryActions.end() || !action->second)
        return;
    const int32_t errorCode = action->second();
    if (errorCode != 0 && m_state != m_failedState)
        Fail(errorCode);
}

void CKZInstallerStateMachine::Fail(int32_t errorCode)
{
    std::lock_guard<std::recursive_mutex> lock(m_changeMutex);
    const uint32_t current = m_state;
    if (current == m_failedState)
        return;
    SetError(errorCode);
    Leave(current);
    Enter(current, m_failedState);
}
