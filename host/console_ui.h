#pragma once
// The console front end of the host: the log goes to standard output; on a
// terminal the dialogs are text forms and questions are answered there; as a
// service (no terminal) nothing is asked.

#include <chrono>
#include <iosfwd>
#include <optional>
#include <string>

#include "host/host_ui.h"

class ConsoleUi : public HostUi {
public:
    ConsoleUi(std::istream& in, std::ostream& out, bool interactive, bool browserAllowed);

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
    void setBusy(bool) override {}
    void showAbout() override;
    void openUrl(const std::string& url) override;
    void startTimer(int64_t intervalMs) override;
    void endProcess(int code) override;

    // The main menu of the four buttons.
    void printMenu();
    bool isInteractive() const { return interactive; }
    // Standard input has ended: ask nothing from now on.
    void inputClosed() { interactive = false; }
    // Milliseconds until the timer fires (-1: not armed).
    int64_t timerRemainingMs() const;
    void timerFired() { timerArmed = false; }

private:
    std::optional<std::string> readLine(const std::string& prompt);
    bool readYesNo(const std::string& prompt, bool defaultValue);

    std::istream& in;
    std::ostream& out;
    bool interactive;
    bool browserAllowed;
    bool progressVisible = false;
    bool timerArmed = false;
    std::chrono::steady_clock::time_point timerDeadline;
};

// Whether a desktop session is there to show a browser in.
bool displayAvailable();
