#include "host/qt/folder_select_dialog.h"

#include <algorithm>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStorageInfo>
#include <QStyle>
#include <QVBoxLayout>

namespace {

// The mounted file system that holds `path`: the longest root that begins it.
QString driveOf(const QString& path, const QStringList& roots)
{
    QString best = "/";
    for (const QString& root : roots) {
        QString prefix = root.endsWith('/') ? root : root + '/';
        if ((path == root || path.startsWith(prefix)) && root.size() > best.size()) best = root;
    }
    return best;
}

QPushButton* actionButton(QAction* action, const char* name, const char* hint, QWidget* parent)
{
    auto* button = new QPushButton(action->text(), parent);
    button->setObjectName(name);
    button->setToolTip(hint);
    button->setAutoDefault(false);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    return button;
}

}  // namespace

QtFolderSelectDialog::QtFolderSelectDialog(const QString& startFolder, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setObjectName("TFolderSelectForm");
    setWindowTitle("資料");

    auto* driveLabel = new QLabel("磁碟:", this);
    driveLabel->setObjectName("Label39");
    drives = new QComboBox(this);
    drives->setObjectName("DriveComboBox1");
    driveLabel->setBuddy(drives);
    auto* treeLabel = new QLabel("選擇:", this);
    treeLabel->setObjectName("Label2");
    tree = new QListWidget(this);
    tree->setObjectName("DirectoryListBox1");
    tree->setMinimumSize(380, 260);
    treeLabel->setBuddy(tree);
    auto* folderLabel = new QLabel("資料夾:", this);
    folderLabel->setObjectName("Label10");
    folderText = new QLabel(this);
    folderText->setObjectName("folder");
    folderText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    folderText->setWordWrap(true);

    auto* saveAction = new QAction("確定 F4", this);
    saveAction->setObjectName("saveAction");
    saveAction->setShortcut(Qt::Key_F4);
    auto* exitAction = new QAction("取消 Esc", this);
    exitAction->setObjectName("exitAction");
    exitAction->setShortcut(Qt::Key_Escape);
    addActions({saveAction, exitAction});
    connect(saveAction, &QAction::triggered, this, &QDialog::accept);
    connect(exitAction, &QAction::triggered, this, &QDialog::reject);

    auto* grid = new QGridLayout;
    grid->addWidget(driveLabel, 0, 0);
    grid->addWidget(drives, 0, 1);
    grid->addWidget(treeLabel, 1, 0, Qt::AlignTop);
    grid->addWidget(tree, 1, 1);
    grid->addWidget(folderLabel, 2, 0, Qt::AlignTop);
    grid->addWidget(folderText, 2, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(actionButton(saveAction, "XiButton2", "確定", this));
    buttons->addWidget(actionButton(exitAction, "XiButton1", "取消", this));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);

    connect(tree, &QListWidget::itemActivated, this, &QtFolderSelectDialog::openItem);
    connect(drives, &QComboBox::activated, this,
            [this](int index) { setCurrentFolder(drives->itemData(index).toString()); });

    QString start = QDir::cleanPath(QDir(startFolder).absolutePath());
    while (!startFolder.isEmpty() && !QFileInfo(start).isDir() && start != "/") start = QFileInfo(start).path();
    if (startFolder.isEmpty() || !QFileInfo(start).isDir()) start = QDir::homePath();
    fillDrives();
    setCurrentFolder(start);
    tree->setFocus();
}

QString QtFolderSelectDialog::folder() const
{
    return folderText->text();
}

void QtFolderSelectDialog::fillDrives()
{
    QStringList roots{"/"};
    for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
        // Disks and network shares, not the kernel's own file systems.
        QString device = QString::fromUtf8(volume.device());
        bool real = device.startsWith("/dev/") || device.startsWith("//") || device.contains(":/");
        if (volume.isValid() && volume.isReady() && real && !roots.contains(volume.rootPath()))
            roots.append(volume.rootPath());
    }
    std::sort(roots.begin(), roots.end());
    for (const QString& root : roots) drives->addItem(style()->standardIcon(QStyle::SP_DriveHDIcon), root, root);
}

void QtFolderSelectDialog::setCurrentFolder(const QString& path)
{
    current = QDir::cleanPath(path);
    folderText->setText(current);
    QStringList roots;
    for (int i = 0; i < drives->count(); i++) roots.append(drives->itemData(i).toString());
    QString drive = driveOf(current, roots);
    int index = drives->findData(drive);
    if (index < 0) {
        drives->addItem(style()->standardIcon(QStyle::SP_DriveHDIcon), drive, drive);
        index = drives->count() - 1;
    }
    drives->setCurrentIndex(index);
    fillTree();
}

void QtFolderSelectDialog::fillTree()
{
    tree->clear();
    QString drive = drives->currentData().toString();
    // The chain of open folders from the drive's root down to the current one.
    QStringList chain;
    for (QString p = current;; p = QFileInfo(p).path()) {
        chain.prepend(p);
        if (p == drive || p == "/" || QFileInfo(p).path() == p) break;
    }
    QIcon open = style()->standardIcon(QStyle::SP_DirOpenIcon);
    QIcon closed = style()->standardIcon(QStyle::SP_DirClosedIcon);
    int depth = 0;
    QListWidgetItem* currentItem = nullptr;
    for (const QString& p : chain) {
        QString name = depth == 0 ? p : QFileInfo(p).fileName();
        auto* item = new QListWidgetItem(open, QString(depth * 3, ' ') + name, tree);
        item->setData(Qt::UserRole, p);
        currentItem = item;
        depth++;
    }
    QDir dir(current);
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase)) {
        auto* item = new QListWidgetItem(closed, QString(depth * 3, ' ') + name, tree);
        item->setData(Qt::UserRole, dir.filePath(name));
    }
    tree->setCurrentItem(currentItem);
}

void QtFolderSelectDialog::openItem(QListWidgetItem* item)
{
    if (item != nullptr) setCurrentFolder(item->data(Qt::UserRole).toString());
}
