#pragma once

// The whole program: the application, the one window on COM3, and its event loop. Returns the
// exit status: 0 when the operator closes the window or the instrument aborts, 1 after a
// fatal failure. --help and --version are answered without a window (commandline.h); other
// arguments are the toolkit's or ignored.
int runProgram(int& argc, char** argv, bool pacedPolling = true);
