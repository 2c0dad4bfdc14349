#pragma once
// The backup window: the automatic-backup settings, the two backup
// locations, manual backup and restore, and the progress of long work.
// Shown modally around a TBackupForm, or without a form as the notice over
// which an automatic backup runs.

#include <QDialog>

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QSpinBox;
class QWidget;
class TBackupForm;

class QtBackupDialog : public QDialog {
    Q_OBJECT
public:
    // `form` may be null: the dialog then only carries the automatic-backup
    // panel and the progress bar.
    explicit QtBackupDialog(TBackupForm* form, QWidget* parent = nullptr);

    // The panel "資料庫備份中，請稍後.... " over the controls.
    void showAutoBackupPanel(bool visible);
    void showProgress(bool visible);
    void setProgress(int percent);
    // Long work: the controls take no input meanwhile.
    void setBusy(bool busy);
    bool isBusy() const;
    // Closes without the closing checks (the program is being stopped).
    void abandon();

    // Runs the closing checks; the dialog closes when they pass. Esc, the
    // close button and the close box all come here.
    void reject() override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void loadControls();
    void storeControls();
    // Runs one of the form's handlers between storing and reloading the controls.
    template <class Handler>
    void run(Handler handler);
    void updateEnabled();

    TBackupForm* form;
    QWidget* controls;
    QCheckBox* everyday;
    QCheckBox* everytime;
    QSpinBox* totalBackup;
    QCheckBox* backupPath;
    QLineEdit* path;
    QCheckBox* backupPath2;
    QLineEdit* path2;
    QWidget* timePanel;
    QLineEdit* backupTime;
    QProgressBar* progressBar;
    QLabel* autoBackupPanel;
    int busyDepth = 0;
    bool abandoned = false;
};
