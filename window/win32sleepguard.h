#pragma once

#include "sleepguard.h"

// The thread's execution state keeps Windows awake while it says ES_SYSTEM_REQUIRED with
// ES_CONTINUOUS; ES_CONTINUOUS alone gives the machine back to its power plan. The state
// belongs to the thread that set it, the window's. Tests hand in their own setter, since
// nothing under Wine shows the state.
class ExecutionStateSleepGuard : public SleepGuard {
public:
    using Setter = unsigned long (*)(unsigned long state);

    explicit ExecutionStateSleepGuard(Setter setter);
    ~ExecutionStateSleepGuard() override;

    void hold() override;
    void release() override;

private:
    Setter m_setter;
    bool m_held { false };
};
