#include "host/qt/qt_ui.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileDialog>
#include <QScreen>
#include <QUrl>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "engine286/database.h"
#include "host/qt/about_dialog.h"
#include "host/qt/backup_dialog.h"
#include "host/qt/folder_select_dialog.h"
#include "host/qt/main_window.h"
#include "host/qt/server_setup_dialog.h"
#include "host/qt/yes_no_dialog.h"

namespace {

QtUi* activeUi = nullptr;

const char* backupFilter = "備份檔案 (*.zrb)";

}  // namespace

void runGuarded(const std::function<void()>& handler)
{
    std::string text;
    try {
        handler();
        return;
    } catch (const dbException& e) {
        text = e.getMsg() != nullptr ? e.getMsg() : "資料庫錯誤 (" + std::to_string(e.getErrCode()) + ")";
    } catch (const std::exception& e) {
        text = e.what();
    }
    if (activeUi != nullptr)
        activeUi->messageDialog(text);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

QtUi::QtUi(QObject* parent) : QObject(parent)
{
    activeUi = this;
    backupTimer.setObjectName("backupTimer");
    backupTimer.setSingleShot(true);
    // A coarse timer may fire minutes early over a day: the backup must come
    // after midnight.
    backupTimer.setTimerType(Qt::PreciseTimer);
    connect(&backupTimer, &QTimer::timeout, this, &QtUi::timerFired);
}

QtUi::~QtUi()
{
    delete autoDialog;
    if (activeUi == this) activeUi = nullptr;
}

QWidget* QtUi::dialogOwner() const
{
    if (QWidget* modal = QApplication::activeModalWidget()) return modal;
    if (mainWindow != nullptr && mainWindow->isVisible()) return mainWindow;
    return nullptr;
}

int QtUi::runModal(QWidget& widget)
{
    auto& dialog = static_cast<QDialog&>(widget);
    dialog.adjustSize();
    QScreen* screen = dialog.parentWidget() != nullptr ? dialog.parentWidget()->screen() : QGuiApplication::primaryScreen();
    if (screen != nullptr) dialog.move(screen->availableGeometry().center() - dialog.rect().center());
    // The hourglass of long work is not for the question asked meanwhile.
    bool waiting = QApplication::overrideCursor() != nullptr;
    if (waiting) QApplication::setOverrideCursor(Qt::ArrowCursor);
    int result = dialog.exec();
    if (waiting) QApplication::restoreOverrideCursor();
    return result;
}

bool QtUi::isOccupied() const
{
    return busyDepth > 0 || progressVisible || autoDialog != nullptr || QApplication::activeModalWidget() != nullptr;
}

void QtUi::closeDialogs()
{
    for (int tries = 0; tries < 100; tries++) {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal == autoDialog) return;
        if (auto* backup = qobject_cast<QtBackupDialog*>(modal)) {
            if (backup->isBusy()) return;  // its work ends first
            backup->abandon();
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            dialog->reject();
        } else {
            modal->close();
        }
        if (QApplication::activeModalWidget() == modal) return;
    }
}

void QtUi::appendLog(const std::string& line)
{
    if (mainWindow != nullptr) mainWindow->appendLog(QString::fromStdString(line));
    if (logEcho || mainWindow == nullptr) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

void QtUi::messageDialog(const std::string& text)
{
    if (unattended) {
        std::fprintf(stderr, "%s\n", text.c_str());
        return;
    }
    QtYesNoDialog dialog(dialogOwner());
    dialog.setupMessage(text);
    runModal(dialog);
}

bool QtUi::confirmDialog(const std::string& text)
{
    if (unattended) return false;
    QtYesNoDialog dialog(dialogOwner());
    dialog.setupQuestion(text);
    runModal(dialog);
    return dialog.answeredYes();
}

bool QtUi::askYesNo(const std::string& text, const std::string& yesCaption, const std::string& noCaption)
{
    if (unattended) return false;
    QtYesNoDialog dialog(dialogOwner());
    dialog.setupCustom(text, yesCaption, noCaption);
    runModal(dialog);
    return dialog.answeredYes();
}

std::optional<std::string> QtUi::chooseSaveFile(const std::string& title, const std::string& startFolder,
                                                const std::string& defaultName)
{
    if (unattended) return std::nullopt;
    QFileDialog dialog(dialogOwner(), QString::fromStdString(title), QString::fromStdString(startFolder));
    dialog.setObjectName("SaveDialog1");
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(backupFilter);
    dialog.setDefaultSuffix("zrb");
    // The backup asks itself before it replaces a file.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    dialog.selectFile(QString::fromStdString(defaultName));
    if (runModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

std::optional<std::string> QtUi::chooseOpenFile(const std::string& startFolder, const std::string& defaultName)
{
    if (unattended) return std::nullopt;
    QFileDialog dialog(dialogOwner(), "選擇備份檔案", QString::fromStdString(startFolder));
    dialog.setObjectName("OpenDialog1");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Any name may be typed: the restore itself tells when the file is missing.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(backupFilter);
    dialog.setDefaultSuffix("zrb");
    dialog.selectFile(QString::fromStdString(defaultName));
    if (runModal(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
}

std::optional<std::string> QtUi::chooseFolder(const std::string& startFolder)
{
    if (unattended) return std::nullopt;
    QtFolderSelectDialog dialog(QString::fromStdString(startFolder), dialogOwner());
    if (runModal(dialog) != QDialog::Accepted) return std::nullopt;
    return dialog.folder().toStdString();
}

int QtUi::showServerSetup(TServerSetupForm& form)
{
    if (unattended) return 0;
    QtServerSetupDialog dialog(form, dialogOwner());
    return runModal(dialog);
}

void QtUi::showBackupDialog(TBackupForm& form)
{
    if (unattended) return;
    QtBackupDialog dialog(&form, dialogOwner());
    QPointer<QtBackupDialog> previous = backupDialog;
    backupDialog = &dialog;
    runModal(dialog);
    backupDialog = previous;
}

QtBackupDialog* QtUi::progressDialog()
{
    return backupDialog.data();
}

void QtUi::showAutoBackupPanel(bool visible)
{
    if (visible) {
        if (backupDialog == nullptr) {
            // The notice over which the backup runs; it blocks the other
            // windows, yet lets the event loop paint while the work goes on.
            autoDialog = new QtBackupDialog(nullptr, dialogOwner());
            autoDialog->setWindowModality(Qt::ApplicationModal);
            autoDialog->adjustSize();
            if (QScreen* screen = QGuiApplication::primaryScreen())
                autoDialog->move(screen->availableGeometry().center() - autoDialog->rect().center());
            autoDialog->show();
            backupDialog = autoDialog;
        }
        backupDialog->showAutoBackupPanel(true);
        QCoreApplication::processEvents();
        return;
    }
    if (backupDialog != nullptr) backupDialog->showAutoBackupPanel(false);
    if (autoDialog != nullptr) {
        if (backupDialog == autoDialog) backupDialog = nullptr;
        autoDialog->hide();
        delete autoDialog;
        autoDialog = nullptr;
    }
}

void QtUi::showProgress(bool visible)
{
    progressVisible = visible;
    if (QtBackupDialog* dialog = progressDialog()) dialog->showProgress(visible);
    QCoreApplication::processEvents();
}

void QtUi::setProgress(int percent)
{
    if (QtBackupDialog* dialog = progressDialog()) dialog->setProgress(percent);
    // Called after every chunk of the archive: the window keeps painting
    // and answering while the work goes on.
    QCoreApplication::processEvents();
}

void QtUi::setBusy(bool busy)
{
    if (busy) {
        busyDepth++;
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else if (busyDepth > 0) {
        busyDepth--;
        QApplication::restoreOverrideCursor();
    }
    if (QtBackupDialog* dialog = progressDialog()) dialog->setBusy(busy);
}

void QtUi::showAbout()
{
    if (mainWindow != nullptr) mainWindow->hide();
    if (unattended) return;
    QtAboutDialog dialog;
    runModal(dialog);
}

void QtUi::openUrl(const std::string& url)
{
    QString text = QString::fromStdString(url);
    bool web = text.startsWith("http://") || text.startsWith("https://");
    QDesktopServices::openUrl(web ? QUrl(text) : QUrl::fromLocalFile(text));
}

void QtUi::startTimer(int64_t intervalMs)
{
    backupTimer.start(int(std::clamp<int64_t>(intervalMs, 0, INT_MAX)));
}

void QtUi::timerFired()
{
    // Not in the middle of other work or while a dialog waits: try again shortly.
    if (isOccupied()) {
        backupTimer.start(1000);
        return;
    }
    if (onTimer) runGuarded(onTimer);
}

void QtUi::endProcess(int code)
{
    std::fflush(nullptr);
    std::_Exit(code);
}
