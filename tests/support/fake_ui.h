#pragma once
// A user interface for tests of the host: records what the host shows and
// answers its questions from prepared answers.

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "host/host_ui.h"

class FakeUi : public HostUi {
public:
    std::vector<std::string> log;
    std::vector<std::string> messages;
    std::vector<std::string> questions;
    std::vector<std::string> opened;
    std::vector<int64_t> timers;
    std::deque<bool> answers;                      // confirm and yes/no answers; default no
    std::deque<std::optional<std::string>> files;  // save/open/folder choices; default cancel
    int serverSetupResult = 0;
    std::string serverSetupPort;                   // typed into the dialog when not empty
    bool serverSetupAutoStart = true;              // the check box as the user leaves it
    int endedWith = -1;
    bool aboutShown = false;

    void appendLog(const std::string& line) override { log.push_back(line); }
    void messageDialog(const std::string& text) override { messages.push_back(text); }
    bool confirmDialog(const std::string& text) override { return answer(text); }
    bool askYesNo(const std::string& text, const std::string&, const std::string&) override { return answer(text); }
    std::optional<std::string> chooseSaveFile(const std::string&, const std::string&, const std::string&) override
    {
        return choice();
    }
    std::optional<std::string> chooseOpenFile(const std::string&, const std::string&) override { return choice(); }
    std::optional<std::string> chooseFolder(const std::string&) override { return choice(); }
    int showServerSetup(TServerSetupForm& form) override;
    void showBackupDialog(TBackupForm&) override {}
    void showAutoBackupPanel(bool) override {}
    void showProgress(bool) override {}
    void setProgress(int) override {}
    void setBusy(bool) override {}
    void showAbout() override { aboutShown = true; }
    void openUrl(const std::string& url) override { opened.push_back(url); }
    void startTimer(int64_t ms) override { timers.push_back(ms); }
    void endProcess(int code) override { endedWith = code; }

private:
    bool answer(const std::string& text)
    {
        questions.push_back(text);
        if (answers.empty()) return false;
        bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::optional<std::string> choice()
    {
        if (files.empty()) return std::nullopt;
        auto c = files.front();
        files.pop_front();
        return c;
    }
};

// A web server that only records what the host asked of it.
class FakeServer : public ServerControl {
public:
    bool failNext = false;
    std::vector<int> started;
    int stops = 0;
    bool start(int port, std::string& error) override
    {
        if (failNext) {
            failNext = false;
            error = "連接埠已被使用";
            return false;
        }
        started.push_back(port);
        return true;
    }
    void stop() override { stops += 1; }
};
