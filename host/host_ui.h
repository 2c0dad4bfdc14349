#pragma once
// What the host's logic needs of a user interface. The console and a
// desktop window both implement it, so the same logic drives either.

#include <cstdint>
#include <optional>
#include <string>

class TServerSetupForm;
class TBackupForm;

class HostUi {
public:
    virtual ~HostUi() = default;

    // The log panel of the main window.
    virtual void appendLog(const std::string& line) = 0;
    // A modal message with one button ("確定").
    virtual void messageDialog(const std::string& text) = 0;
    // A modal yes/no question; true only when answered yes (Esc and closing
    // the dialog answer no).
    virtual bool confirmDialog(const std::string& text) = 0;
    // The yes/no dialog with its own button captions (the request for the
    // next backup volume).
    virtual bool askYesNo(const std::string& text, const std::string& yesCaption, const std::string& noCaption) = 0;

    // File and folder choosers; empty when cancelled.
    virtual std::optional<std::string> chooseSaveFile(const std::string& title, const std::string& startFolder,
                                                      const std::string& defaultName) = 0;
    virtual std::optional<std::string> chooseOpenFile(const std::string& startFolder, const std::string& defaultName) = 0;
    virtual std::optional<std::string> chooseFolder(const std::string& startFolder) = 0;

    // The server setup dialog: shows the form, lets the user edit its
    // controls and returns the result it closed with.
    virtual int showServerSetup(TServerSetupForm& form) = 0;
    // The backup dialog: shows the form and dispatches its buttons until its
    // FormClose lets it close.
    virtual void showBackupDialog(TBackupForm& form) = 0;
    // The panel "資料庫備份中，請稍後.... " shown during automatic backups.
    virtual void showAutoBackupPanel(bool visible) = 0;
    virtual void showProgress(bool visible) = 0;
    virtual void setProgress(int percent) = 0;
    virtual void setBusy(bool busy) = 0;
    virtual void showAbout() = 0;

    // Opens a URL or a file in the default browser.
    virtual void openUrl(const std::string& url) = 0;
    // (Re)arms the daily timer; the UI calls TMainForm::backupTimerTimer when it fires.
    virtual void startTimer(int64_t intervalMs) = 0;
    // Ends the program at once with the exit code.
    virtual void endProcess(int code) = 0;
};

// The embedded web server as the host controls it.
class ServerControl {
public:
    virtual ~ServerControl() = default;
    // Starts listening on the port; false with a reason when it cannot.
    virtual bool start(int port, std::string& error) = 0;
    // No new request is served afterwards.
    virtual void stop() = 0;
};
