#pragma once
// The program's main window: the top bar of four buttons over the read-only
// log. What the buttons and the close do is handed in by the host.

#include <QMainWindow>
#include <functional>

class QPlainTextEdit;

class QtMainWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr const char* caption = "客戶管理系統 (網上版)";

    explicit QtMainWindow(QWidget* parent = nullptr);

    void appendLog(const QString& line);
    QString logText() const;

    std::function<void()> onServerSetup;
    std::function<void()> onBackup;
    std::function<void()> onHelp;
    // The close sequence: false keeps the window open.
    std::function<bool()> onClose;

    // Lets the next close through without running the close sequence (it
    // has run, or the program ends without it).
    void allowClose() { closeAllowed = true; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QPlainTextEdit* log;
    int logLines = 0;
    bool closeAllowed = false;
};
