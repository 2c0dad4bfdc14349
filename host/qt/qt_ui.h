#pragma once
// The desktop window's implementation of HostUi: the main window's log,
// modal dialogs, file and folder choosers, progress of long work and the
// daily timer.

#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>

#include "host/host_ui.h"

class QWidget;
class QtBackupDialog;
class QtMainWindow;

// Runs an event handler of the window; an exception that escapes it is
// shown to the user with its text, and the program keeps running.
void runGuarded(const std::function<void()>& handler);

class QtUi : public QObject, public HostUi {
    Q_OBJECT
public:
    explicit QtUi(QObject* parent = nullptr);
    ~QtUi() override;

    // The window that owns the dialogs and shows the log.
    void setMainWindow(QtMainWindow* window) { mainWindow = window; }
    // Log lines also go to standard output (for a terminal or a service log).
    void setLogEcho(bool value) { logEcho = value; }
    // What runs when the daily timer fires.
    void setTimerHandler(std::function<void()> handler) { onTimer = std::move(handler); }
    // Nobody is there to answer any more (the program is being stopped):
    // messages go to standard error, questions answer no, nothing waits.
    void setUnattended(bool value) { unattended = value; }
    bool isUnattended() const { return unattended; }
    // Long work is running or a dialog is open: the daily timer and a stop
    // request wait for the window to be idle.
    bool isOccupied() const;
    // Closes every open dialog as if cancelled.
    void closeDialogs();
    // The daily timer (armed by startTimer).
    const QTimer& dailyTimer() const { return backupTimer; }

    void appendLog(const std::string& line) override;
    void messageDialog(const std::string& text) override;
    bool confirmDialog(const std::string& text) override;
    bool askYesNo(const std::string& text, const std::string& yesCaption, const std::string& noCaption) override;
    std::optional<std::string> chooseSaveFile(const std::string& title, const std::string& startFolder,
                                              const std::string& defaultName) override;
    std::optional<std::string> chooseOpenFile(const std::string& startFolder, const std::string& defaultName) override;
    std::optional<std::string> chooseFolder(const std::string& startFolder) override;
    int showServerSetup(TServerSetupForm& form) override;
    void showBackupDialog(TBackupForm& form) override;
    void showAutoBackupPanel(bool visible) override;
    void showProgress(bool visible) override;
    void setProgress(int percent) override;
    void setBusy(bool busy) override;
    void showAbout() override;
    void openUrl(const std::string& url) override;
    void startTimer(int64_t intervalMs) override;
    void endProcess(int code) override;

private:
    QWidget* dialogOwner() const;
    // Shows a dialog modally, centred on the screen, with the normal cursor
    // while it waits; returns its result.
    int runModal(QWidget& dialog);
    void timerFired();
    QtBackupDialog* progressDialog();

    QtMainWindow* mainWindow = nullptr;
    std::function<void()> onTimer;
    QTimer backupTimer;
    QPointer<QtBackupDialog> backupDialog;  // the one shown, or the automatic-backup notice
    QtBackupDialog* autoDialog = nullptr;   // owned while an automatic backup runs
    int busyDepth = 0;
    bool progressVisible = false;
    bool unattended = false;
    bool logEcho = false;
};
