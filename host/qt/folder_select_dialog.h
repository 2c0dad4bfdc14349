#pragma once
// The folder chooser: a drive (mounted file system), the folder tree from
// its root down to the chosen folder with that folder's subfolders, and the
// chosen folder's full name.

#include <QDialog>
#include <QString>

class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;

class QtFolderSelectDialog : public QDialog {
    Q_OBJECT
public:
    // Starts in `startFolder`, or in its nearest existing parent, or in the
    // home folder.
    explicit QtFolderSelectDialog(const QString& startFolder, QWidget* parent = nullptr);

    // The text of `folder`: the chosen folder.
    QString folder() const;
    void setCurrentFolder(const QString& path);

private:
    void fillDrives();
    void fillTree();
    void openItem(QListWidgetItem* item);

    QComboBox* drives;
    QListWidget* tree;
    QLabel* folderText;
    QString current;
};
