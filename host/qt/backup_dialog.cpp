#include "host/qt/backup_dialog.h"

#include <algorithm>

#include <QAction>
#include <QCheckBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "host/backup_form.h"
#include "host/qt/qt_ui.h"

namespace {

QPushButton* button(const char* text, const char* name, QWidget* parent)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

QToolButton* folderButton(const char* name, QWidget* parent)
{
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setIcon(parent->style()->standardIcon(QStyle::SP_DirOpenIcon));
    b->setToolTip("設定Excel檔");
    return b;
}

bool isFolder(const QString& text)
{
    return !text.isEmpty() && QFileInfo(text).isDir();
}

}  // namespace

QtBackupDialog::QtBackupDialog(TBackupForm* backupForm, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      form(backupForm)
{
    setObjectName("TBackupForm");
    setWindowTitle("備份");

    controls = new QWidget(this);
    controls->setObjectName("controls");

    auto* group = new QGroupBox("自動備份", controls);
    group->setObjectName("GroupBox4");
    everyday = new QCheckBox("每日", group);
    everyday->setObjectName("everyday");
    everyday->setChecked(true);
    everytime = new QCheckBox("每次離開", group);
    everytime->setObjectName("everytime");
    auto* countLabel = new QLabel("保留數目:", group);
    countLabel->setObjectName("Label24");
    totalBackup = new QSpinBox(group);
    totalBackup->setObjectName("totalBackup");
    totalBackup->setRange(1, 100);
    totalBackup->setValue(7);
    totalBackup->setMinimumWidth(70);
    // The number changes only by the arrows: its text is read-only.
    if (auto* number = totalBackup->findChild<QLineEdit*>()) {
        number->setObjectName("remainEdit");
        number->setReadOnly(true);
    }
    countLabel->setBuddy(totalBackup);
    auto* groupLayout = new QHBoxLayout(group);
    groupLayout->addWidget(everyday);
    groupLayout->addSpacing(16);
    groupLayout->addWidget(everytime);
    groupLayout->addStretch(1);
    groupLayout->addWidget(countLabel);
    groupLayout->addWidget(totalBackup);

    backupPath = new QCheckBox("備份位置一:", controls);
    backupPath->setObjectName("backupPath");
    path = new QLineEdit(controls);
    path->setObjectName("path");
    path->setMinimumWidth(320);
    auto* pathButton = folderButton("pathButton", controls);
    backupPath2 = new QCheckBox("備份位置二:", controls);
    backupPath2->setObjectName("backupPath2");
    path2 = new QLineEdit(controls);
    path2->setObjectName("path2");
    auto* path2Button = folderButton("path2Button", controls);
    auto* locations = new QGridLayout;
    locations->addWidget(backupPath, 0, 0);
    locations->addWidget(path, 0, 1);
    locations->addWidget(pathButton, 0, 2);
    locations->addWidget(backupPath2, 1, 0);
    locations->addWidget(path2, 1, 1);
    locations->addWidget(path2Button, 1, 2);
    locations->setColumnStretch(1, 1);

    timePanel = new QWidget(controls);
    timePanel->setObjectName("timePanel");
    auto* timeLabel = new QLabel("備份時間:", timePanel);
    backupTime = new QLineEdit("00:00", timePanel);
    backupTime->setObjectName("backupTime");
    backupTime->setInputMask("99:99");
    auto* timeLayout = new QHBoxLayout(timePanel);
    timeLayout->setContentsMargins(0, 0, 0, 0);
    timeLayout->addWidget(timeLabel);
    timeLayout->addWidget(backupTime);
    timeLayout->addStretch(1);
    timePanel->hide();

    auto* note = new QLabel(
        "如果選擇兩個備份位置, 自動備份會建立兩份備份檔在兩個位置. 如果兩個都不選擇, 自動備份會在資料庫位置建立一份備份.",
        controls);
    note->setObjectName("Label1");
    note->setWordWrap(true);

    auto* backupButton = button("執行備份", "backup", controls);
    auto* restoreButton = button("執行修復 (會取代現有資料庫)", "restore", controls);
    auto* helpButton = button("說明 F1", "helpButton", controls);
    auto* noButton = button("關閉 Esc", "NoButton", controls);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(backupButton);
    buttons->addWidget(restoreButton);
    buttons->addStretch(1);
    buttons->addWidget(helpButton);
    buttons->addWidget(noButton);

    auto* controlsLayout = new QVBoxLayout(controls);
    controlsLayout->setContentsMargins(0, 0, 0, 0);
    controlsLayout->setSpacing(12);
    controlsLayout->addWidget(group);
    controlsLayout->addLayout(locations);
    controlsLayout->addWidget(timePanel);
    controlsLayout->addWidget(note);
    controlsLayout->addStretch(1);
    controlsLayout->addLayout(buttons);

    progressBar = new QProgressBar(this);
    progressBar->setObjectName("ProgressBar1");
    progressBar->setRange(0, 100);
    QSizePolicy keepPlace = progressBar->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    progressBar->setSizePolicy(keepPlace);
    progressBar->hide();

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 10);
    layout->addWidget(controls, 1);
    layout->addWidget(progressBar);

    autoBackupPanel = new QLabel("資料庫備份中，請稍後.... ", this);
    autoBackupPanel->setObjectName("autoBackupPanel");
    autoBackupPanel->setAlignment(Qt::AlignCenter);
    autoBackupPanel->setAutoFillBackground(true);
    autoBackupPanel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    autoBackupPanel->setLineWidth(2);
    QFont large = autoBackupPanel->font();
    large.setPointSizeF(large.pointSizeF() * 1.5);
    large.setBold(true);
    autoBackupPanel->setFont(large);
    autoBackupPanel->hide();

    auto* helpAction = new QAction(this);
    helpAction->setObjectName("helpAction");
    helpAction->setShortcut(Qt::Key_F1);
    addAction(helpAction);

    auto folderChosen = [this](QLineEdit* edit, void (TBackupForm::*handler)()) {
        run([this, handler] { (form->*handler)(); });
        edit->setFocus();
    };
    connect(backupButton, &QPushButton::clicked, this, [this] { run([this] { form->backupClick(); }); });
    connect(restoreButton, &QPushButton::clicked, this, [this] { run([this] { form->restoreClick(); }); });
    connect(pathButton, &QToolButton::clicked, this,
            [this, folderChosen] { folderChosen(path, &TBackupForm::pathButtonClick); });
    connect(path2Button, &QToolButton::clicked, this,
            [this, folderChosen] { folderChosen(path2, &TBackupForm::path2ButtonClick); });
    auto help = [this] { run([this] { form->helpActionExecute(); }); };
    connect(helpButton, &QPushButton::clicked, this, help);
    connect(helpAction, &QAction::triggered, this, help);
    connect(noButton, &QPushButton::clicked, this, &QtBackupDialog::reject);

    loadControls();
    updateEnabled();
    adjustSize();
    setMinimumSize(size());
}

void QtBackupDialog::loadControls()
{
    if (form == nullptr) return;
    everyday->setChecked(form->everyday);
    everytime->setChecked(form->everytime);
    totalBackup->setValue(form->totalBackup);
    backupPath->setChecked(form->backupPath);
    path->setText(QString::fromStdString(form->path));
    backupPath2->setChecked(form->backupPath2);
    path2->setText(QString::fromStdString(form->path2));
    backupTime->setText(QString::fromStdString(form->backupTime));
}

void QtBackupDialog::storeControls()
{
    if (form == nullptr) return;
    form->everyday = everyday->isChecked();
    form->everytime = everytime->isChecked();
    form->totalBackup = totalBackup->value();
    form->backupPath = backupPath->isChecked();
    form->path = path->text().toStdString();
    form->backupPath2 = backupPath2->isChecked();
    form->path2 = path2->text().toStdString();
    form->backupTime = backupTime->text().toStdString();
}

template <class Handler>
void QtBackupDialog::run(Handler handler)
{
    if (form == nullptr || busyDepth > 0) return;
    storeControls();
    runGuarded(handler);
    loadControls();
}

void QtBackupDialog::updateEnabled()
{
    bool idle = form != nullptr && busyDepth == 0 && autoBackupPanel->isHidden();
    controls->setEnabled(idle);
}

void QtBackupDialog::showAutoBackupPanel(bool visible)
{
    autoBackupPanel->setVisible(visible);
    if (visible) autoBackupPanel->raise();
    updateEnabled();
}

void QtBackupDialog::showProgress(bool visible)
{
    progressBar->setValue(0);
    progressBar->setVisible(visible);
}

void QtBackupDialog::setProgress(int percent)
{
    progressBar->setValue(std::clamp(percent, 0, 100));
}

void QtBackupDialog::setBusy(bool busy)
{
    busyDepth = std::max(0, busyDepth + (busy ? 1 : -1));
    updateEnabled();
}

bool QtBackupDialog::isBusy() const
{
    return busyDepth > 0 || !progressBar->isHidden();
}

void QtBackupDialog::abandon()
{
    abandoned = true;
    QDialog::reject();
}

void QtBackupDialog::reject()
{
    if (abandoned) {
        QDialog::reject();
        return;
    }
    // Not during long work, and the notice of an automatic backup goes
    // away by itself when the backup ends.
    if (busyDepth > 0 || form == nullptr) return;
    storeControls();
    bool closing = false;
    runGuarded([this, &closing] { closing = form->FormClose(); });
    if (closing) {
        QDialog::reject();
        return;
    }
    // The check that failed keeps the dialog open; the folder it names gets the focus.
    if (backupPath->isChecked() && !isFolder(path->text()))
        path->setFocus();
    else if (backupPath2->isChecked() && !isFolder(path2->text()))
        path2->setFocus();
}

void QtBackupDialog::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    autoBackupPanel->setGeometry(controls->geometry());
}
