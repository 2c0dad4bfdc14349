#pragma once
// Runs the host in the desktop window: the entry the program's main calls
// when it has chosen the window over the console.

#include <functional>
#include <memory>

class HostUi;
class QApplication;
class TMainForm;

// Whether Qt can open its display (the platform QT_QPA_PLATFORM names, or
// the one DISPLAY / WAYLAND_DISPLAY lead to). Tried in a child process: Qt
// ends a process whose display cannot be opened. The child keeps its
// connection until runWindowHost has its own (or this process ends). Call
// before any thread starts.
bool windowCanOpen();

// Fonts and application settings shared by the program and the window tests.
void prepareApplication(QApplication& app);

// Runs the window until the program ends and returns the exit code.
// `makeForm` builds the host's logic around the window's user interface.
// SIGTERM, SIGINT and SIGHUP, read from `signalFd` (a signalfd, or -1),
// run the close sequence without the question.
int runWindowHost(int& argc, char** argv, int signalFd,
                  const std::function<std::unique_ptr<TMainForm>(HostUi&)>& makeForm);
