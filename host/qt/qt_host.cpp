#include "host/qt/qt_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFont>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <thread>

#include "host/main_form.h"
#include "host/qt/main_window.h"
#include "host/qt/qt_ui.h"

bool windowCanOpen()
{
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        int argc = 1;
        char name[] = "tarnwicke";
        char* argv[] = {name, nullptr};
        QGuiApplication probe(argc, argv);
        _exit(0);
    }
    // A display that never answers counts as none.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (done < 0) return false;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void prepareApplication(QApplication& app)
{
    app.setApplicationName("tarnwicke");
    app.setApplicationDisplayName(QtMainWindow::caption);
    // The program ends by its close sequence, not when its last window goes.
    app.setQuitOnLastWindowClosed(false);
    // Traditional Chinese glyph shapes where the font is there.
    QFont font = QApplication::font();
    QStringList families{"Noto Sans CJK TC", "Noto Sans TC"};
    families.append(font.families());
    font.setFamilies(families);
    QApplication::setFont(font);
}

int runWindowHost(int& argc, char** argv, int signalFd,
                  const std::function<std::unique_ptr<TMainForm>(HostUi&)>& makeForm)
{
    QApplication app(argc, argv);
    prepareApplication(app);
    QtUi ui;
    ui.setLogEcho(true);
    QtMainWindow window;
    ui.setMainWindow(&window);
    std::unique_ptr<TMainForm> form = makeForm(ui);

    window.onServerSetup = [&] { runGuarded([&] { form->serverSetupButtonClick(); }); };
    window.onBackup = [&] { runGuarded([&] { form->backupButtonClick(); }); };
    window.onHelp = [&] { runGuarded([&] { form->helpButtonClick(); }); };
    window.onClose = [&] {
        bool closing = false;
        runGuarded([&] { closing = form->FormClose(true); });
        if (closing) QCoreApplication::exit(0);
        return closing;
    };
    ui.setTimerHandler([&] { form->backupTimerTimer(); });

    // A stop request (a signal) closes the dialogs and waits for long work
    // to end, then runs the close sequence without asking anybody.
    bool stopping = false;
    std::function<void()> stop = [&] {
        if (ui.isOccupied()) {
            ui.closeDialogs();
            QTimer::singleShot(100, &window, stop);
            return;
        }
        runGuarded([&] { form->FormClose(false); });
        window.allowClose();
        window.close();
        QCoreApplication::exit(0);
    };
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (signalFd >= 0) {
        signalNotifier = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, &window, [&] {
            signalfd_siginfo info;
            if (read(signalFd, &info, sizeof info) < 0 || stopping) return;
            stopping = true;
            ui.setUnattended(true);
            stop();
        });
    }

    window.showMaximized();
    // The start-up sequence runs once the window is on the screen.
    QTimer::singleShot(0, &window, [&] {
        if (stopping) return;
        bool started = false;
        runGuarded([&] { started = form->FormShow(); });
        if (!started) {
            window.allowClose();
            window.close();
            QCoreApplication::exit(1);
        }
    });
    return app.exec();
}
