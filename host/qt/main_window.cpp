#include "host/qt/main_window.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTextCursor>
#include <QVBoxLayout>

QtMainWindow::QtMainWindow(QWidget* parent) : QMainWindow(parent)
{
    setObjectName("TMainForm");
    setWindowTitle(caption);

    auto* central = new QWidget(this);
    auto* bar = new QWidget(central);
    bar->setObjectName("topBar");
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(6, 6, 6, 6);
    struct ButtonInfo {
        const char* name;
        const char* text;
        QStyle::StandardPixmap icon;
        std::function<void()> QtMainWindow::*handler;
    };
    const ButtonInfo infos[] = {
        {"serverSetupButton", "伺服器設定", QStyle::SP_ComputerIcon, &QtMainWindow::onServerSetup},
        {"backupButton", "資料庫備份", QStyle::SP_DialogSaveButton, &QtMainWindow::onBackup},
        {"helpButton", "說明", QStyle::SP_DialogHelpButton, &QtMainWindow::onHelp},
        {"closeButton", "離開", QStyle::SP_DialogCloseButton, nullptr},
    };
    for (const ButtonInfo& info : infos) {
        auto* button = new QPushButton(style()->standardIcon(info.icon), info.text, bar);
        button->setObjectName(info.name);
        button->setMinimumSize(120, 36);
        barLayout->addWidget(button);
        if (info.handler == nullptr) {
            connect(button, &QPushButton::clicked, this, &QWidget::close);
        } else {
            auto handler = info.handler;
            connect(button, &QPushButton::clicked, this, [this, handler] {
                if (this->*handler) (this->*handler)();
            });
        }
    }
    barLayout->addStretch(1);

    log = new QPlainTextEdit(central);
    log->setObjectName("log");
    log->setReadOnly(true);
    log->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QFont logFont = log->font();
    logFont.setPointSizeF(logFont.pointSizeF() * 1.15);
    log->setFont(logFont);

    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(log, 1);
    setCentralWidget(central);
    resize(1000, 700);
}

void QtMainWindow::appendLog(const QString& line)
{
    // One paragraph per entry, empty ones included (appending to an empty
    // document would fill its first paragraph and lose a leading empty line).
    QScrollBar* scroll = log->verticalScrollBar();
    bool atEnd = scroll->value() == scroll->maximum();
    QTextCursor end(log->document());
    end.movePosition(QTextCursor::End);
    if (logLines > 0) end.insertBlock();
    end.insertText(line);
    logLines++;
    if (atEnd) scroll->setValue(scroll->maximum());
}

QString QtMainWindow::logText() const
{
    return log->toPlainText();
}

void QtMainWindow::closeEvent(QCloseEvent* event)
{
    if (closeAllowed || !onClose || onClose()) {
        closeAllowed = true;
        event->accept();
    } else {
        event->ignore();
    }
}
