#include "workstack.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <qt_windows.h>

namespace {

// What starts one of the system's own loops on the window's thread: a press on the caption or
// the frame (the move loop begins there, before the pointer moves), the system commands that
// move the window or open its menu by key or by a right click, and the loops' own entry
// notices, which also cover a loop begun some other way.
bool startsSystemLoop(const MSG& message)
{
    switch (message.message) {
    case WM_NCLBUTTONDOWN:
    case WM_NCRBUTTONDOWN:
    case WM_NCRBUTTONUP:
    case WM_CONTEXTMENU:
    case WM_SYSCOMMAND:
    case WM_ENTERSIZEMOVE:
    case WM_ENTERMENULOOP:
        return true;
    default:
        return false;
    }
}

// GetCurrentFiber reads the thread's block through the segment register, which GCC takes for
// a read past a zero-length array.
void* currentFiber()
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    return GetCurrentFiber();
#pragma GCC diagnostic pop
}

class SystemLoopFilter : public QAbstractNativeEventFilter {
public:
    explicit SystemLoopFilter(std::function<void()> entering)
        : m_entering(std::move(entering))
    {
    }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override
    {
        if (eventType.startsWith("windows_") && startsSystemLoop(*static_cast<MSG*>(message)))
            m_entering();
        return false;
    }

private:
    std::function<void()> m_entering;
};

}

struct WorkStack::Handle {
    void* fiber { nullptr };
    void* resumer { nullptr };
    SystemLoopFilter* filter { nullptr };
};

void WorkStack::runWork(WorkStack* stack)
{
    // A fiber's function must never return: that would end the thread.
    for (;;) {
        stack->m_work();
        stack->m_work = nullptr;
        stack->m_busy = false;
        SwitchToFiber(stack->m_handle->resumer);
    }
}

WorkStack::WorkStack()
{
    // The window's thread becomes a fiber once, and stays one; nothing else notices. The
    // floating-point state is switched along, as the work and the handlers may each set it.
    if (!IsThreadAFiber() && !ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH))
        return;
    // The executable's own stack size: the work shows message boxes, as the window's stack
    // does.
    void* fiber = CreateFiberEx(
        0, 0, FIBER_FLAG_FLOAT_SWITCH, [](void* stack) { runWork(static_cast<WorkStack*>(stack)); },
        this);
    if (fiber)
        m_handle = new Handle { fiber };
}

WorkStack::~WorkStack()
{
    if (!m_handle)
        return;
    if (m_handle->filter) {
        if (QCoreApplication* app = QCoreApplication::instance())
            app->removeNativeEventFilter(m_handle->filter);
        delete m_handle->filter;
    }
    // Only an idle fiber is deleted: a busy one would have the window's stack below it.
    DeleteFiber(m_handle->fiber);
    delete m_handle;
}

void WorkStack::start(std::function<void()> work)
{
    m_work = std::move(work);
    m_busy = true;
    resume();
}

void WorkStack::resume()
{
    if (!m_busy || m_running)
        return;
    m_handle->resumer = currentFiber();
    m_running = true;
    SwitchToFiber(m_handle->fiber);
    m_running = false;
}

void WorkStack::suspend()
{
    if (m_running)
        SwitchToFiber(m_handle->resumer);
}

void WorkStack::watchSystemLoops(std::function<void()> entering)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!m_handle || m_handle->filter || !app)
        return;
    m_handle->filter = new SystemLoopFilter(std::move(entering));
    app->installNativeEventFilter(m_handle->filter);
}
