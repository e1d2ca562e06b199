#pragma once

#include <QProcess>

// Ends a helper process the test started: asked first, as its desk would end it, then killed
// if it does not go.
inline void endProcess(QProcess& process, int waitMs = 5000)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(waitMs)) {
        process.kill();
        process.waitForFinished(waitMs);
    }
}
