#include "host/console_ui.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <thread>
#include <cstdlib>
#include <iostream>

#include "engine286/version.h"
#include "host/backup_form.h"
#include "host/server_setup_form.h"

extern char** environ;

bool displayAvailable()
{
    const char* x = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (x != nullptr && *x) || (wayland != nullptr && *wayland);
}

ConsoleUi::ConsoleUi(std::istream& input, std::ostream& output, bool isInteractive, bool browser)
    : in(input), out(output), interactive(isInteractive), browserAllowed(browser)
{
}

void ConsoleUi::appendLog(const std::string& line)
{
    if (progressVisible) out << "\n";
    out << line << std::endl;
}

void ConsoleUi::messageDialog(const std::string& text)
{
    out << "【信息】 " << text << std::endl;
    if (interactive) readLine("按 Enter 繼續 (確定) ");
}

std::optional<std::string> ConsoleUi::readLine(const std::string& prompt)
{
    if (!interactive) return std::nullopt;
    out << prompt << std::flush;
    std::string line;
    if (!std::getline(in, line)) {
        interactive = false;  // input is gone: behave as a service from now on
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

bool ConsoleUi::readYesNo(const std::string& prompt, bool defaultValue)
{
    for (;;) {
        std::optional<std::string> answer = readLine(prompt);
        if (!answer) return defaultValue;
        if (answer->empty()) return defaultValue;
        char c = char(std::tolower(static_cast<unsigned char>((*answer)[0])));
        if (c == 'y') return true;
        if (c == 'n') return false;
    }
}

bool ConsoleUi::confirmDialog(const std::string& text)
{
    out << "【信息】 " << text << std::endl;
    return readYesNo("是 (Y) / 否 (N) [N]: ", false);
}

bool ConsoleUi::askYesNo(const std::string& text, const std::string& yesCaption, const std::string& noCaption)
{
    out << "【信息】 " << text << std::endl;
    return readYesNo(yesCaption + " (Y) / " + noCaption + " (N) [N]: ", false);
}

std::optional<std::string> ConsoleUi::chooseSaveFile(const std::string& title, const std::string& startFolder,
                                                     const std::string& defaultName)
{
    std::string suggestion = startFolder.empty() ? defaultName : startFolder + "/" + defaultName;
    out << title << " (備份檔案 *.zrb)" << std::endl;
    std::optional<std::string> line = readLine("檔案 [" + suggestion + "] (輸入 - 取消): ");
    if (!line || *line == "-") return std::nullopt;
    return line->empty() ? suggestion : *line;
}

std::optional<std::string> ConsoleUi::chooseOpenFile(const std::string& startFolder, const std::string& defaultName)
{
    std::string suggestion = startFolder.empty() ? defaultName : startFolder + "/" + defaultName;
    out << "選擇備份檔案 (*.zrb)" << std::endl;
    std::optional<std::string> line = readLine("檔案 [" + suggestion + "] (輸入 - 取消): ");
    if (!line || *line == "-") return std::nullopt;
    return line->empty() ? suggestion : *line;
}

std::optional<std::string> ConsoleUi::chooseFolder(const std::string& startFolder)
{
    out << "資料" << std::endl;
    std::optional<std::string> line = readLine("資料夾 [" + startFolder + "] (輸入 - 取消): ");
    if (!line || *line == "-") return std::nullopt;
    return line->empty() ? startFolder : *line;
}

int ConsoleUi::showServerSetup(TServerSetupForm& form)
{
    if (!interactive) return TServerSetupForm::Cancel;
    out << "\n== " << TServerSetupForm::caption << " ==\n" << TServerSetupForm::note << std::endl;
    std::optional<std::string> port = readLine(std::string(TServerSetupForm::portLabel) + " [" + form.port + "]: ");
    if (port && !port->empty()) form.port = *port;
    form.autoStart = readYesNo(std::string(TServerSetupForm::autoStartLabel) + " (Y/N) [" +
                                   (form.autoStart ? "Y" : "N") + "]: ",
                               form.autoStart);
    for (;;) {
        out << "  1) " << TServerSetupForm::saveCaption << "\n";
        if (form.startEnabled) out << "  2) " << TServerSetupForm::startCaption << "\n";
        out << "  3) " << TServerSetupForm::cancelCaption << std::endl;
        std::optional<std::string> choice = readLine("> ");
        if (!choice) return TServerSetupForm::Cancel;
        if (*choice == "1" || *choice == "F4") return TServerSetupForm::OK;
        if (form.startEnabled && (*choice == "2" || *choice == "F5")) return TServerSetupForm::Yes;
        if (*choice == "3" || *choice == "F12") return TServerSetupForm::Cancel;
    }
}

void ConsoleUi::showBackupDialog(TBackupForm& form)
{
    if (!interactive) return;
    for (;;) {
        auto box = [](bool on) { return on ? "[x]" : "[ ]"; };
        out << "\n== 備份 ==\n"
            << "自動備份: a) 每日 " << box(form.everyday) << "   b) 每次離開 " << box(form.everytime) << "\n"
            << "c) 保留數目: " << form.totalBackup << "\n"
            << "d) 備份位置一: " << box(form.backupPath) << " " << form.path << "\n"
            << "e) 備份位置二: " << box(form.backupPath2) << " " << form.path2 << "\n"
            << "如果選擇兩個備份位置, 自動備份會建立兩份備份檔在兩個位置. 如果兩個都不選擇, 自動備份會在資料庫位置建立一份備份.\n"
            << "f) 執行備份   g) 執行修復 (會取代現有資料庫)   h) 說明 F1   i) 關閉 Esc" << std::endl;
        std::optional<std::string> choice = readLine("> ");
        if (!choice) {
            form.FormClose();
            return;
        }
        const std::string& c = *choice;
        if (c == "a") {
            form.everyday = !form.everyday;
        } else if (c == "b") {
            form.everytime = !form.everytime;
        } else if (c == "c") {
            std::optional<std::string> n = readLine("保留數目 (1-100): ");
            if (n && !n->empty()) {
                int value = std::atoi(n->c_str());
                if (value >= 1 && value <= 100) form.totalBackup = value;
            }
        } else if (c == "d" || c == "e") {
            bool& use = c == "d" ? form.backupPath : form.backupPath2;
            use = readYesNo("使用這個位置 (Y/N) [" + std::string(use ? "Y" : "N") + "]: ", use);
            if (use) {
                if (c == "d")
                    form.pathButtonClick();
                else
                    form.path2ButtonClick();
            }
        } else if (c == "f") {
            form.backupClick();
        } else if (c == "g") {
            form.restoreClick();
        } else if (c == "h" || c == "F1") {
            form.helpActionExecute();
        } else if (c == "i" || c == "Esc") {
            if (form.FormClose()) return;
        }
    }
}

void ConsoleUi::showAutoBackupPanel(bool visible)
{
    if (visible) out << "資料庫備份中，請稍後.... " << std::endl;
}

void ConsoleUi::showProgress(bool visible)
{
    if (!visible && progressVisible && interactive) out << std::endl;
    progressVisible = visible;
}

void ConsoleUi::setProgress(int percent)
{
    if (!progressVisible || !interactive) return;
    percent = std::clamp(percent, 0, 100);
    int filled = percent / 5;
    out << "\r[" << std::string(size_t(filled), '#') << std::string(size_t(20 - filled), ' ') << "] " << percent << "%"
        << std::flush;
}

void ConsoleUi::showAbout()
{
    out << "\n== 關於我們 ==\n客戶管理系統 (網上版)\n版本 " << versionText() << std::endl;
}

void ConsoleUi::openUrl(const std::string& url)
{
    if (!browserAllowed) return;
    pid_t pid;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
    if (posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ) == 0) {
        // Reap it in the background so no zombie stays behind.
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    }
    posix_spawn_file_actions_destroy(&actions);
}

void ConsoleUi::startTimer(int64_t intervalMs)
{
    timerArmed = true;
    timerDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(intervalMs);
}

int64_t ConsoleUi::timerRemainingMs() const
{
    if (!timerArmed) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(timerDeadline - std::chrono::steady_clock::now());
    return std::max<int64_t>(0, left.count());
}

void ConsoleUi::endProcess(int code)
{
    out << std::flush;
    std::fflush(nullptr);
    std::_Exit(code);
}

void ConsoleUi::printMenu()
{
    if (!interactive) return;
    out << "\n客戶管理系統 (網上版): 1) 伺服器設定  2) 資料庫備份  3) 說明  4) 離開" << std::endl;
}
