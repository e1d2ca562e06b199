#pragma once

// The whole program: the application, the one window on COM3, and its event loop. Returns the
// exit status: 0 when the operator closes the window or the instrument aborts; 1 after a
// fatal failure, and when it cannot start (no display, a configuration it cannot read, no
// drive C, reccap already running for this user and display); 128 + the signal's number after
// SIGTERM, SIGINT or SIGHUP, which close the window first. Arguments meant for the toolkit are
// the toolkit's; there are no others.
int runProgram(int& argc, char** argv, bool pacedPolling = true);
