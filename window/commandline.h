#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// reccap has two arguments of its own, --help and --version, and both only answer a question.
// They are answered before any application exists: the window's application needs a display,
// and an administrator asks from a shell on a machine that may have none. Every other argument
// is the toolkit's (-platform xcb) or ignored, so that a launcher passing something unexpected
// still gets the window.

// The text to print for these arguments (the first one is the program), or nothing when the
// window should start. The usage line names the program only while a QCoreApplication exists.
std::optional<QString> commandLineAnswer(const QStringList& arguments);

// Prints the answer to --help or --version on standard output and returns the exit status;
// returns nothing, having created nothing, when the window should start.
std::optional<int> answerCommandLine(int argc, char** argv);
