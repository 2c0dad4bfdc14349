// The window around the host's logic, on a real database in a fresh program
// folder: the log after start-up, the close sequence, the backup dialog's
// closing checks, progress during an automatic backup, the daily timer, and
// screenshots of the windows (saved under artifacts/ in the build folder).

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/backup_form.h"
#include "host/main_form.h"
#include "host/qt/about_dialog.h"
#include "host/qt/backup_dialog.h"
#include "host/qt/folder_select_dialog.h"
#include "host/qt/main_window.h"
#include "host/qt/qt_host.h"
#include "host/qt/qt_ui.h"
#include "host/qt/server_setup_dialog.h"
#include "host/qt/yes_no_dialog.h"
#include "modal_robot.h"

namespace {

class RecordingServer : public ServerControl {
public:
    std::vector<int> started;
    int stops = 0;
    bool start(int port, std::string&) override
    {
        started.push_back(port);
        return true;
    }
    void stop() override { stops++; }
};

// Texts that do not fit their buttons and labels, as "name: text".
QStringList clippedTexts(QWidget* window)
{
    QStringList clipped;
    auto check = [&](QWidget* w, const QString& text) {
        if (!w->isVisibleTo(window) || text.isEmpty()) return;
        QSize hint = w->sizeHint();
        if (w->width() < hint.width() || w->height() < w->minimumSizeHint().height())
            clipped << w->objectName() + ": " + text;
    };
    for (auto* button : window->findChildren<QAbstractButton*>()) check(button, button->text());
    for (auto* label : window->findChildren<QLabel*>())
        if (!label->wordWrap()) check(label, label->text());
    return clipped;
}

void saveArtifact(QWidget* widget, const QString& name)
{
    QDir().mkpath(TARNWICKE_ARTIFACT_DIR);
    QImage image = widget->grab().toImage();
    QVERIFY(!image.isNull());
    QVERIFY(image.save(QString(TARNWICKE_ARTIFACT_DIR) + "/" + name));
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> folder;
    QString savedFolder;
    RecordingServer server;
    std::unique_ptr<QtUi> ui;
    std::unique_ptr<QtMainWindow> window;
    std::unique_ptr<vordaDatabase> db;
    std::unique_ptr<TMainForm> form;
    time_t now = 0;

    // The program folder's backup record, changed in place.
    void changeBackupRecord(const std::function<void(BackupRecord&)>& change)
    {
        dbCursor<BackupRecord> cursor(dbCursorForUpdate);
        QCOMPARE(cursor.selectAll(), 1u);
        change(*cursor.get());
        cursor.update();
        db->commit();
    }

private Q_SLOTS:
    void initTestCase()
    {
        prepareApplication(*qApp);
        setenv("TZ", "Asia/Hong_Kong", 1);
        tzset();
    }

    void init()
    {
        savedFolder = QDir::currentPath();
        folder = std::make_unique<QTemporaryDir>();
        QVERIFY(folder->isValid());
        QVERIFY(QDir::setCurrent(folder->path()));
        QFile login("login.htm");
        QVERIFY(login.open(QIODevice::WriteOnly));
        login.write("<html>login</html>");
        login.close();
        server = RecordingServer();
        ui = std::make_unique<QtUi>();
        window = std::make_unique<QtMainWindow>();
        ui->setMainWindow(window.get());
        db = makeHostDatabase();
        form = std::make_unique<TMainForm>(*db, *ui, server);
        form->openBrowser = false;
        now = dbDateTime(2024, 3, 1, 10, 0, 0).stamp;
        form->clock = [this] { return now; };
        window->resize(1000, 640);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(form->FormShow());
    }

    void cleanup()
    {
        if (db && db->isOpen()) db->close();
        form.reset();
        db.reset();
        window.reset();
        ui.reset();
        QDir::setCurrent(savedFolder);
        folder.reset();
    }

    void startupFillsTheLogAndArmsTheDailyTimer()
    {
        QStringList expected{
            "",
            "Vorda客戶管理系統 (網上版)伺服器已開啟, 你可以用Internet Explorer 輸入以下網站連接這個伺服器:",
            QString::fromStdString("http://" + localAddressList()),
            "請在IP後面加上 Port, 例如 http://203.123.1.2:8001",
            "",
            "歡迎使用Vorda客戶管理系統 (網上版).",
        };
        QCOMPARE(window->logText().split('\n'), expected);
        QCOMPARE(server.started, std::vector<int>{8001});
        QVERIFY(ui->dailyTimer().isActive());
        QCOMPARE(ui->dailyTimer().interval(), int(msUntilAfterMidnight(now)));
        QCOMPARE(ui->dailyTimer().timerType(), Qt::PreciseTimer);
    }

    void closeAnsweredNoKeepsEverythingAndYesEndsWithTheAboutWindow()
    {
        window->onClose = [this] { return form->FormClose(true); };
        ModalRobot robot;
        robot.on<QtYesNoDialog>([&](QtYesNoDialog* dialog) {
            if (messageOf(dialog) != "關閉系統?") robot.fail("question: " + messageOf(dialog));
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        QVERIFY(!window->close());
        QVERIFY(window->isVisible());
        QCOMPARE(server.stops, 0);
        QVERIFY(db->isOpen());

        robot.on<QtYesNoDialog>([](QtYesNoDialog* dialog) { QTest::keyClick(dialog, Qt::Key_Y); });
        robot.on<QtAboutDialog>([&](QtAboutDialog* about) {
            QStringList texts;
            for (auto* label : about->findChildren<QLabel*>()) texts << label->text();
            if (about->windowTitle() != "關於我們" || !texts.contains(QtMainWindow::caption) ||
                !texts.contains("版本 2013"))
                robot.fail("about window: " + texts.join(" | "));
            if (window->isVisible()) robot.fail("the main window stays visible behind the about window");
            QTest::keyClick(about, Qt::Key_Escape);
        });
        QVERIFY(window->close());
        QVERIFY(robot.done());
        QCOMPARE(robot.failures, QStringList());
        QCOMPARE(server.stops, 1);
    }

    void backupDialogKeepsItselfOpenUntilTheLocationsAreValid()
    {
        QString good = folder->path() + "/copies";
        QVERIFY(QDir().mkpath(good));
        QStringList messages;
        QStringList focus;
        ModalRobot robot;
        auto answer = [&](QtYesNoDialog* dialog) {
            messages << messageOf(dialog);
            QTest::keyClick(dialog, Qt::Key_Return);
        };
        auto noteFocus = [&](QtBackupDialog* dialog) {
            if (!dialog->isVisible()) robot.fail("the dialog closed");
            focus << (dialog->focusWidget() ? dialog->focusWidget()->objectName() : QString());
        };
        robot.on<QtBackupDialog>([&](QtBackupDialog* dialog) {
            if (!dialog->findChild<QCheckBox*>("everyday")->isChecked() ||
                dialog->findChild<QSpinBox*>("totalBackup")->value() != 7)
                robot.fail("the controls were not loaded from the record");
            dialog->findChild<QCheckBox*>("backupPath")->setChecked(true);
            dialog->findChild<QLineEdit*>("path")->clear();
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        robot.on<QtYesNoDialog>(answer);
        robot.on<QtBackupDialog>([&](QtBackupDialog* dialog) {
            noteFocus(dialog);
            dialog->findChild<QLineEdit*>("path")->setText(good);
            dialog->findChild<QCheckBox*>("backupPath2")->setChecked(true);
            dialog->findChild<QLineEdit*>("path2")->setText(good + "/missing");
            dialog->findChild<QPushButton*>("NoButton")->click();
        });
        robot.on<QtYesNoDialog>(answer);
        robot.on<QtBackupDialog>([&](QtBackupDialog* dialog) {
            noteFocus(dialog);
            dialog->findChild<QLineEdit*>("path2")->setText(good);
            dialog->close();
        });
        robot.on<QtYesNoDialog>(answer);
        robot.on<QtBackupDialog>([&](QtBackupDialog* dialog) {
            noteFocus(dialog);
            dialog->findChild<QCheckBox*>("backupPath2")->setChecked(false);
            dialog->findChild<QCheckBox*>("everytime")->setChecked(true);
            QSpinBox* count = dialog->findChild<QSpinBox*>("totalBackup");
            count->setFocus();
            QTest::keyClick(count, Qt::Key_Down);  // the arrows change the read-only number
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        form->backupButtonClick();
        QVERIFY(robot.done());
        QCOMPARE(robot.failures, QStringList());
        QCOMPARE(messages, (QStringList{"資料夾不存在.", good + "/missing資料夾不存在.", "兩個備份位置不能相同."}));
        QCOMPARE(focus, (QStringList{"path", "path2", "path2"}));

        TBackupForm stored(*db, *ui, form->clock);
        QCOMPARE(stored.totalBackup, 6);
        QVERIFY(stored.everytime);
        QVERIFY(stored.backupPath);
        QVERIFY(!stored.backupPath2);
        QCOMPARE(QString::fromStdString(stored.path), good);
    }

    // The automatic backup on leaving: its notice and progress are shown,
    // and the event loop runs between the chunks of the archive.
    void automaticBackupShowsProgressAndKeepsTheLoopRunning()
    {
        changeBackupRecord([](BackupRecord& r) { r.everytime = true; });
        int ticks = 0;
        bool panelSeen = false;
        int progress = 0;
        QImage shot;
        QTimer probe;
        probe.setInterval(0);
        connect(&probe, &QTimer::timeout, [&] {
            ticks++;
            for (QWidget* top : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<QtBackupDialog*>(top);
                if (dialog == nullptr || !dialog->isVisible()) continue;
                panelSeen = panelSeen || dialog->findChild<QLabel*>("autoBackupPanel")->isVisible();
                auto* bar = dialog->findChild<QProgressBar*>("ProgressBar1");
                if (bar->isVisible()) progress = std::max(progress, bar->value());
                if (shot.isNull() && bar->isVisible() && bar->value() >= 30) shot = dialog->grab().toImage();
            }
        });
        probe.start();
        {
            TBackupForm backup(*db, *ui, form->clock);
            backup.runExitBackup();
        }
        probe.stop();
        QVERIFY(ticks > 2);
        QVERIFY(panelSeen);
        QVERIFY(progress >= 30);
        QVERIFY(QFile::exists("Tarnwicke0.zrb"));
        for (QWidget* top : QApplication::topLevelWidgets())
            QVERIFY(qobject_cast<QtBackupDialog*>(top) == nullptr || !top->isVisible());
        QVERIFY(!ui->isOccupied());
        QVERIFY(!shot.isNull());
        QDir().mkpath(TARNWICKE_ARTIFACT_DIR);
        QVERIFY(shot.save(QString(TARNWICKE_ARTIFACT_DIR) + "/automatic_backup.png"));
    }

    void dailyTimerWaitsWhileADialogIsOpen()
    {
        int fired = 0;
        ui->setTimerHandler([&] { fired++; });
        ui->startTimer(1);
        ModalRobot robot;
        robot.on<QtYesNoDialog>([&](QtYesNoDialog* dialog) {
            QTest::qWait(50);
            if (fired != 0) robot.fail("the timer ran over an open dialog");
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        ui->confirmDialog("關閉系統?");
        QCOMPARE(robot.failures, QStringList());
        QTRY_COMPARE_WITH_TIMEOUT(fired, 1, 5000);
    }

    void screenshots()
    {
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(clippedTexts(window.get()), QStringList());
        saveArtifact(window.get(), "main_window.png");

        TServerSetupForm setup;
        setup.port = "8001";
        setup.autoStart = true;
        setup.startEnabled = false;
        QtServerSetupDialog setupDialog(setup);
        setupDialog.show();
        QCOMPARE(clippedTexts(&setupDialog), QStringList());
        saveArtifact(&setupDialog, "server_setup.png");

        TBackupForm backup(*db, *ui, form->clock);
        backup.backupPath = true;
        backup.path = "/srv/backup/tarnwicke";
        QtBackupDialog backupDialog(&backup);
        backupDialog.show();
        QCOMPARE(clippedTexts(&backupDialog), QStringList());
        saveArtifact(&backupDialog, "backup_dialog.png");

        QtYesNoDialog question;
        question.setupQuestion("修復會取代現有的資料庫, 確定嗎?");
        question.show();
        QCOMPARE(clippedTexts(&question), QStringList());
        saveArtifact(&question, "yes_no_question.png");

        QtYesNoDialog message;
        message.setupMessage("修復失敗, 現有的資料庫沒有改變. 請重新執行程式.");
        message.show();
        saveArtifact(&message, "message.png");

        QtFolderSelectDialog chooser(folder->path());
        chooser.show();
        QCOMPARE(clippedTexts(&chooser), QStringList());
        saveArtifact(&chooser, "folder_select.png");

        QtAboutDialog about;
        about.show();
        QCOMPARE(clippedTexts(&about), QStringList());
        saveArtifact(&about, "about.png");
    }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
