#pragma once

#include <functional>

// A stack of its own for a piece of work that waits by yielding (the capture loop), so that
// the work's waits are served from the window's stack instead of from beneath the work.
//
// On one stack a wait is a nested turn of the event loop, and the work resumes only when
// that turn returns. Windows runs loops of its own inside a turn: while the operator holds or
// drags the title bar, or has the system menu open, the turn that dispatched the mouse press
// or the key does not return, so the work below it cannot poll or answer the line. On a
// stack of its own the work can be resumed from a timer inside such a loop, as any handler
// can. Windows gives every thread such stacks (fibers); elsewhere no system loop holds the
// window's thread, and the work runs on the caller's stack as it always did.
//
// Everything stays on the window's thread: the work and the handlers still take turns, never
// run at once, and the work is switched to only from the places it suspended.
class WorkStack {
public:
    WorkStack();
    ~WorkStack();
    WorkStack(const WorkStack&) = delete;
    WorkStack& operator=(const WorkStack&) = delete;

    bool isAvailable() const { return m_handle != nullptr; }

    // Runs the work until it first suspends or ends. Only when not busy.
    void start(std::function<void()> work);
    // Runs the work from where it suspended until it suspends again or ends. Only from outside
    // it.
    void resume();
    // From inside the work: back to where it was started or resumed from.
    void suspend();

    // Started and not ended.
    bool isBusy() const { return m_busy; }
    // The caller is on the work's stack.
    bool isRunning() const { return m_running; }

    // `entering` is called when the system is about to run a loop of its own on this thread
    // (a window moved or a menu tracked), from inside whichever turn of the event loop
    // dispatched what starts it. Never called where the system has no such loops.
    void watchSystemLoops(std::function<void()> entering);

private:
    struct Handle;
    static void runWork(WorkStack* stack);

    Handle* m_handle { nullptr };
    std::function<void()> m_work;
    bool m_busy { false };
    bool m_running { false };
};
