#include "host/qt/about_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine286/version.h"
#include "host/qt/main_window.h"

QtAboutDialog::QtAboutDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName("AboutBox");
    setWindowTitle("關於我們");

    auto* title = new QLabel(QtMainWindow::caption, this);
    title->setObjectName("title");
    title->setAlignment(Qt::AlignCenter);
    QFont large = title->font();
    large.setPointSizeF(large.pointSizeF() * 1.8);
    large.setBold(true);
    title->setFont(large);
    auto* version = new QLabel(QString("版本 ") + versionText(), this);
    version->setObjectName("version");
    version->setAlignment(Qt::AlignCenter);

    // Esc closes the dialog as the button does (QDialog's own key).
    auto* close = new QPushButton("關閉 Esc", this);
    close->setObjectName("closeButton");
    close->setMinimumWidth(120);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(close);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(40, 30, 40, 20);
    layout->setSpacing(14);
    layout->addWidget(title);
    layout->addWidget(version);
    layout->addSpacing(10);
    layout->addLayout(buttons);
    close->setFocus();
}
