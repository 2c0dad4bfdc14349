#include "host/qt/qt_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QFont>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <QTranslator>

#include "host/main_form.h"
#include "host/qt/main_window.h"
#include "host/qt/qt_ui.h"

namespace {

// The child that tried the display, holding its connection, and the pipe
// whose closing lets it go.
pid_t probeChild = -1;
int probeHold = -1;

void releaseProbe()
{
    if (probeHold >= 0) close(probeHold);
    probeHold = -1;
    if (probeChild > 0) waitpid(probeChild, nullptr, 0);
    probeChild = -1;
}

}  // namespace

bool windowCanOpen()
{
    releaseProbe();
    int report[2], hold[2];
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    if (pipe2(hold, O_CLOEXEC) != 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        close(report[0]);
        close(hold[1]);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        int argc = 1;
        char name[] = "tarnwicke";
        char* argv[] = {name, nullptr};
        QGuiApplication probe(argc, argv);  // a display that cannot be opened ends the child here
        char ok = 1;
        if (write(report[1], &ok, 1) != 1) _exit(1);
        // An X server resets when its last client leaves, and refuses
        // connections meanwhile: keep this one until the program has its own.
        char byte;
        while (read(hold[0], &byte, 1) > 0) {
        }
        _exit(0);
    }
    close(report[1]);
    close(hold[0]);
    if (child < 0) {
        close(report[0]);
        close(hold[1]);
        return false;
    }
    probeChild = child;
    probeHold = hold[1];
    // A display that never answers counts as none.
    pollfd wait{report[0], POLLIN, 0};
    char ok = 0;
    bool opened = poll(&wait, 1, 15000) == 1 && read(report[0], &ok, 1) == 1 && ok == 1;
    close(report[0]);
    if (!opened) {
        kill(child, SIGKILL);
        releaseProbe();
    }
    return opened;
}

void prepareApplication(QApplication& app)
{
    app.setApplicationName("tarnwicke");
    // Qt's own dialogs (the file dialogs) in Traditional Chinese too.
    auto* translator = new QTranslator(&app);
    if (translator->load(QLocale(QLocale::Chinese, QLocale::TraditionalChineseScript, QLocale::Taiwan), "qtbase", "_",
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        app.installTranslator(translator);
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
    releaseProbe();
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

    // Maximised by the window manager; where there is none, the window
    // still covers the screen.
    if (QScreen* screen = QGuiApplication::primaryScreen()) window.setGeometry(screen->availableGeometry());
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
