#pragma once

// The whole program: the application, the one window on COM3, and its event loop. Returns the
// exit status: 0 when the operator closes the window or the instrument aborts; 1 after a
// fatal failure, and when it cannot start (no display, a configuration it cannot read, no
// drive C, reccap already running for this user and display); 128 + the signal's number after
// SIGTERM, SIGINT or SIGHUP, which close the window first. --help and --version are answered
// without a window (commandline.h); other arguments are the toolkit's or ignored.
int runProgram(int& argc, char** argv, bool pacedPolling = true);
