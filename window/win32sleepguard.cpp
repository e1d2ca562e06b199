#include "win32sleepguard.h"

#include <qt_windows.h>

namespace {

unsigned long setThreadExecutionState(unsigned long state)
{
    return SetThreadExecutionState(EXECUTION_STATE(state));
}

}

ExecutionStateSleepGuard::ExecutionStateSleepGuard(Setter setter)
    : m_setter(setter)
{
}

ExecutionStateSleepGuard::~ExecutionStateSleepGuard() { release(); }

void ExecutionStateSleepGuard::hold()
{
    if (m_held)
        return;
    // A refusal (a return of 0) changes nothing: capturing goes on, and the machine sleeps as
    // its power plan says.
    m_held = m_setter(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
}

void ExecutionStateSleepGuard::release()
{
    if (!m_held)
        return;
    m_setter(ES_CONTINUOUS);
    m_held = false;
}

std::unique_ptr<SleepGuard> newSleepGuard()
{
    return std::make_unique<ExecutionStateSleepGuard>(setThreadExecutionState);
}
