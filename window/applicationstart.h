#pragma once

#include <QApplication>
#include <memory>

// Creates the application. Without a display to open the window on, the toolkit would print a
// screenful about platform plugins and abort with a core dump; the program says instead, in one
// line on standard error, which display it could not open, and exits with status 1. Messages
// the toolkit prints while it starts are shown as usual once a display has been found.
std::unique_ptr<QApplication> createApplication(int& argc, char** argv);
