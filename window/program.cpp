#include "program.h"

#include "applicationstart.h"
#include "commandline.h"
#include "cp932decoder.h"
#include "fatalreport.h"
#include "form1.h"
#include "portcontrol.h"
#include "sessionwatch.h"
#include "singleinstance.h"
#include "startupchecks.h"
#include "terminationsignals.h"

#include <QApplication>
#include <cstdlib>

namespace {

// When the display goes away with the session, Qt ends the program with exit() from inside the
// event loop: the window and its port on runProgram's stack are never destroyed, and the port's
// lock file would outlive the program and keep the next user off the port. exit() still runs
// the handlers registered with atexit().
SerialControl* portToRelease = nullptr;

void releasePort()
{
    if (portToRelease)
        portToRelease->setPortOpen(false);
}

}

int runProgram(int& argc, char** argv, bool pacedPolling)
{
    if (const std::optional<int> status = answerCommandLine(argc, argv))
        return *status;

    const std::unique_ptr<QApplication> app = createApplication(argc, argv);
    QApplication::setApplicationName(QStringLiteral("reccap"));
    QApplication::setApplicationVersion(QStringLiteral(RECCAP_VERSION));

    // Without a code page 932 converter no record could be read or written correctly.
    if (!Cp932Decoder().isValid()) {
        reportFatal(nullptr,
            QCoreApplication::translate(
                "Program", "No code page 932 (windows-31j) converter is available"));
        return 1;
    }
    if (const QString problem = configurationProblem(); !problem.isEmpty()) {
        reportFatal(nullptr, problem);
        return 1;
    }
    SingleInstance instance;
    if (const SingleInstance::Claim claim = instance.claim();
        claim != SingleInstance::Claim::Claimed) {
        // The operator who starts reccap again is looking for its window: it comes forward
        // before the message says why no second one opens.
        if (claim == SingleInstance::Claim::HeldByAnother)
            instance.callHolder();
        reportFatal(nullptr, instance.problem());
        return 1;
    }

    SerialControl* port = newPortControl();
    port = traceLineIfAsked(port);
    Form1 form(port);
    form.setPollPacing(pacedPolling);
    static const bool releaseRegistered = std::atexit(releasePort) == 0;
    portToRelease = releaseRegistered ? port : nullptr;
    struct Released {
        ~Released() { portToRelease = nullptr; }
    } released;

    // A signal ends the program the way closing the window does, and the status says which
    // signal it was, as a shell would report a program that the signal had ended.
    int signalStatus = 0;
    TerminationSignals terminations;
    QObject::connect(&terminations, &TerminationSignals::received, &form, [&](int signalNumber) {
        signalStatus = 128 + signalNumber;
        form.close();
        QCoreApplication::exit(signalStatus);
    });

    instance.answerCalls([&form] {
        form.setWindowState((form.windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        form.show();
        form.raise();
        form.activateWindow();
    });
    form.show();
    SessionWatch::instance()->watch(&form);
    const int status = QApplication::exec();
    return signalStatus != 0 ? signalStatus : status;
}
