#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class SerialControl;

// reccap has three arguments of its own. --help and --version only answer a question; they
// are answered before any application exists: the window's application needs a display, and
// an administrator asks from a shell on a machine that may have none. --trace FILE (or
// RECCAP_TRACE=FILE in the environment, for a shortcut or desktop entry an administrator
// edits) records the serial line for a maintainer. Every other argument is the toolkit's
// (-platform xcb) or ignored, so that a launcher passing something unexpected still gets the
// window.

// The text to print for these arguments (the first one is the program), or nothing when the
// window should start. The usage line names the program only while a QCoreApplication exists.
std::optional<QString> commandLineAnswer(const QStringList& arguments);

// Prints the answer to --help or --version on standard output and returns the exit status;
// returns nothing, having created nothing, when the window should start.
std::optional<int> answerCommandLine(int argc, char** argv);

// The trace file asked for: --trace's value, else `environment` (RECCAP_TRACE's). Empty when
// none is; `problem` says so when --trace came without a file name.
QString traceFileName(const QStringList& arguments, const QString& environment, QString* problem);

// The port, or a TracingSerialControl around it when the application's arguments or
// RECCAP_TRACE ask for a trace. A trace that cannot be opened is reported once on standard
// error and the port is returned as it was: capturing never depends on the trace.
SerialControl* traceLineIfAsked(SerialControl* port);
