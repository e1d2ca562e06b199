#pragma once

#include <QLockFile>
#include <memory>

// One reccap per user and display. A second window would only fail once its operator pressed
// "Comm Open", on a port the first one holds, and two programs rewriting one result file would
// interleave their records. A lock file in the user's runtime folder, named for the display,
// tells them apart; the system forgets the lock of a reccap that was killed, because the lock
// names a process that no longer runs.
class SingleInstance {
public:
    enum class Claim { Claimed, HeldByAnother, Unavailable };

    SingleInstance();

    Claim claim();
    QString lockPath() const { return m_lock->fileName(); }

private:
    std::unique_ptr<QLockFile> m_lock;
};
