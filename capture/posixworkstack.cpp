#include "workstack.h"

// No system loop holds the window's thread here: a window is moved by the window manager, a
// menu is the toolkit's own. The work runs on the caller's stack.
struct WorkStack::Handle { };

WorkStack::WorkStack() = default;

WorkStack::~WorkStack() = default;

void WorkStack::start(std::function<void()> work) { work(); }

void WorkStack::resume() { }

void WorkStack::suspend() { }

void WorkStack::watchSystemLoops(std::function<void()>) { }

void WorkStack::runWork(WorkStack*) { }
