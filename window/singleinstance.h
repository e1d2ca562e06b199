#pragma once

#include <QFileSystemWatcher>
#include <QLockFile>
#include <functional>
#include <memory>

// One reccap per user and display. A second window would only fail once its operator pressed
// "Comm Open", on a port the first one holds, and two programs rewriting one result file would
// interleave their records. A lock file in the user's own lock folder (LockFiles::userFolder()),
// named for the display, tells them apart; the system forgets the lock of a reccap that was
// killed, because the lock names a process that no longer runs. Without the lock reccap does
// not run at all: a guard that may be missing guards nothing.
class SingleInstance {
public:
    enum class Claim { Claimed, HeldByAnother, Unavailable };

    SingleInstance();

    // Makes the lock folder when need be, checks it and the lock, and takes the lock.
    Claim claim();
    QString lockPath() const { return m_lock->fileName(); }
    // Why the last claim() did not return Claimed, for the operator: the path, and what to do.
    QString problem() const { return m_problem; }

    // A second start asks the running reccap to show its window, through a file beside the lock
    // in the user's own lock folder, where no other user can write; the holder of the lock
    // calls `answer` each time it is asked.
    QString callPath() const { return m_callPath; }
    void callHolder();
    void answerCalls(std::function<void()> answer);

private:
    Claim unavailable(const QString& reason);
    bool callFileFit() const;

    QString m_folder;
    std::unique_ptr<QLockFile> m_lock;
    QString m_callPath;
    QFileSystemWatcher m_calls;
    QString m_problem;
};
