// The window's dialogs on their own: keys and results of the yes/no
// dialog (through the window's HostUi), its geometry rules, the server
// setup dialog's actions and the folder chooser.

#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

#include "engine286/database.h"
#include "host/qt/folder_select_dialog.h"
#include "host/qt/qt_host.h"
#include "host/qt/qt_ui.h"
#include "host/qt/server_setup_dialog.h"
#include "host/qt/yes_no_dialog.h"
#include "modal_robot.h"

namespace {

// Does to a dialog what the user does: a key, a button or the close box.
void act(QWidget* dialog, const QString& action)
{
    static const QHash<QString, Qt::Key> keys{
        {"F4", Qt::Key_F4},   {"F5", Qt::Key_F5},         {"F12", Qt::Key_F12},      {"Y", Qt::Key_Y},
        {"N", Qt::Key_N},     {"Esc", Qt::Key_Escape},    {"Enter", Qt::Key_Return},
    };
    if (keys.contains(action))
        QTest::keyClick(dialog, keys[action]);
    else if (action == "close box")
        dialog->close();
    else if (auto* button = dialog->findChild<QPushButton*>(action))
        button->click();
    else
        QFAIL(qPrintable("no such action: " + action));
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { prepareApplication(*qApp); }

    void questionAnswers_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("yes");
        QTest::newRow("F4") << "F4" << true;
        QTest::newRow("Y") << "Y" << true;
        QTest::newRow("yes button") << "YesButton" << true;
        QTest::newRow("Esc") << "Esc" << false;
        QTest::newRow("N") << "N" << false;
        QTest::newRow("no button") << "NoButton" << false;
        QTest::newRow("close box") << "close box" << false;
        QTest::newRow("Enter on the first focus") << "Enter" << false;
    }
    void questionAnswers()
    {
        QFETCH(QString, action);
        QFETCH(bool, yes);
        QtUi ui;
        ModalRobot robot;
        robot.on<QtYesNoDialog>([&](QtYesNoDialog* dialog) {
            if (dialog->focusWidget() != dialog->noButton()) robot.fail("the focus does not start on NoButton");
            act(dialog, action);
        });
        QCOMPARE(ui.confirmDialog("關閉系統?"), yes);
        QVERIFY(robot.done());
        QCOMPARE(robot.failures, QStringList());
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
    }

    // The one-button message and the volume request with its own captions.
    void messageAndVolumeRequestForms()
    {
        QtUi ui;
        ModalRobot robot;
        robot.on<QtYesNoDialog>([&](QtYesNoDialog* dialog) {
            if (dialog->windowTitle() != "信息" || dialog->size() != QSize(559, 220)) robot.fail("caption or size");
            if (messageOf(dialog) != "備份完成.") robot.fail("message text");
            if (!dialog->noButton()->isHidden()) robot.fail("NoButton shown in a message");
            if (dialog->yesButton()->text() != "確定" || dialog->yesButton()->geometry() != QRect(220, 155, 120, 33))
                robot.fail("the single button is not 確定 in the middle");
            act(dialog, "Enter");
        });
        robot.on<QtYesNoDialog>([&](QtYesNoDialog* dialog) {
            if (dialog->yesButton()->text() != "確定" || dialog->noButton()->text() != "取消") robot.fail("captions");
            if (dialog->messageLabel()->y() != 24) robot.fail("the volume request moved its message");
            act(dialog, "Y");
        });
        robot.on<QtYesNoDialog>([&](QtYesNoDialog* dialog) { act(dialog, "Esc"); });
        ui.messageDialog("備份完成.");
        QVERIFY(ui.askYesNo("請輸入磁碟片#2", "確定", "取消"));
        QVERIFY(!ui.askYesNo("請輸入磁碟片#3", "確定", "取消"));
        QVERIFY(robot.done());
        QCOMPARE(robot.failures, QStringList());
    }

    // An exception that escapes an event handler is shown, and the program goes on.
    void handlerExceptionsAreShown()
    {
        QtUi ui;
        QStringList shown;
        ModalRobot robot;
        for (int i = 0; i < 3; i++)
            robot.on<QtYesNoDialog>([&](QtYesNoDialog* dialog) {
                shown << messageOf(dialog);
                act(dialog, "F4");
            });
        runGuarded([] { throw std::runtime_error("磁碟已滿"); });
        runGuarded([] { throw dbException(dbDatabase::errFile, "檔案錯誤"); });
        runGuarded([] { throw dbException(dbDatabase::errNone); });
        bool ran = false;
        runGuarded([&] { ran = true; });
        QVERIFY(ran);
        QCOMPARE(shown, (QStringList{"磁碟已滿", "檔案錯誤", "資料庫錯誤 (0)"}));
        QCOMPARE(robot.failures, QStringList());
    }

    // Questions shorter than 50 bytes (a Chinese character counts two) sit
    // one line lower; longer ones keep the design place and wrap.
    void messagePosition_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("top");
        QTest::newRow("short question") << "關閉系統?" << 40;
        QTest::newRow("49 ASCII") << QString(49, 'x') << 40;
        QTest::newRow("50 ASCII") << QString(50, 'x') << 24;
        QTest::newRow("24 Chinese + 1 ASCII") << QString(24, QChar(0x5099)) + "." << 40;
        QTest::newRow("25 Chinese") << QString(25, QChar(0x5099)) << 24;
        QTest::newRow("17 Chinese: 51 bytes in UTF-8, 34 here") << QString(17, QChar(0x5099)) << 40;
        QTest::newRow("file name question") << "/home/staff/backup/daily/Tarnwicke.zrb已存在, 取代它嗎?" << 24;
    }
    void messagePosition()
    {
        QFETCH(QString, text);
        QFETCH(int, top);
        QtYesNoDialog dialog;
        dialog.setupQuestion(text.toStdString());
        QCOMPARE(dialog.messageLabel()->geometry(), QRect(32, top, 489, 113));
        QVERIFY(dialog.messageLabel()->wordWrap());
        QCOMPARE(dialog.yesButton()->geometry(), QRect(157, 155, 120, 33));
        QCOMPARE(dialog.noButton()->geometry(), QRect(293, 155, 120, 33));
    }

    void serverSetupActions_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("startEnabled");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<int>("result");
        QTest::newRow("F4 saves") << "F4" << true << true << int(TServerSetupForm::OK);
        QTest::newRow("save button") << "YesButton" << true << true << int(TServerSetupForm::OK);
        QTest::newRow("F5 saves and starts") << "F5" << true << true << int(TServerSetupForm::Yes);
        QTest::newRow("start button") << "startServerButton" << true << true << int(TServerSetupForm::Yes);
        QTest::newRow("F5 while the server runs") << "F5" << false << false << -1;
        QTest::newRow("F12 cancels") << "F12" << true << true << int(TServerSetupForm::Cancel);
        QTest::newRow("cancel button") << "NoButton" << true << true << int(TServerSetupForm::Cancel);
        QTest::newRow("close box") << "close box" << true << true << int(TServerSetupForm::Cancel);
    }
    void serverSetupActions()
    {
        QFETCH(QString, action);
        QFETCH(bool, startEnabled);
        QFETCH(bool, closes);
        QFETCH(int, result);
        TServerSetupForm form;
        form.port = "8001";
        form.autoStart = true;
        form.startEnabled = startEnabled;
        QtServerSetupDialog dialog(form);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QCOMPARE(dialog.findChild<QPushButton*>("startServerButton")->isEnabled(), startEnabled);
        auto* port = dialog.findChild<QLineEdit*>("port");
        QCOMPARE(port->text(), "8001");
        port->setText("8080");
        dialog.findChild<QCheckBox*>("autoStart")->setChecked(false);

        act(&dialog, action);
        QCOMPARE(dialog.isVisible(), !closes);
        if (!closes) return;
        QCOMPARE(dialog.result(), result);
        bool stored = result != TServerSetupForm::Cancel;
        QCOMPARE(QString::fromStdString(form.port), stored ? "8080" : "8001");
        QCOMPARE(form.autoStart, !stored);
    }

    void folderChooser()
    {
        QTemporaryDir root;
        QDir(root.path()).mkpath("b/inner");
        QDir(root.path()).mkpath("a");
        QDir(root.path()).mkpath(".hidden");
        // A folder that is gone starts the chooser at its nearest parent.
        QtFolderSelectDialog dialog(root.path() + "/gone/deeper");
        QCOMPARE(dialog.windowTitle(), "資料");
        QCOMPARE(dialog.folder(), root.path());
        auto* tree = dialog.findChild<QListWidget*>("DirectoryListBox1");
        QStringList below;
        for (int i = tree->currentRow() + 1; i < tree->count(); i++) below << tree->item(i)->text().trimmed();
        QCOMPARE(below, (QStringList{"a", "b"}));

        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QListWidgetItem* b = tree->item(tree->currentRow() + 2);
        Q_EMIT tree->itemActivated(b);
        QCOMPARE(dialog.folder(), root.path() + "/b");
        QCOMPARE(tree->item(tree->count() - 1)->text().trimmed(), "inner");
        act(&dialog, "F4");
        QCOMPARE(dialog.result(), int(QDialog::Accepted));

        QtFolderSelectDialog cancelled(root.path());
        cancelled.show();
        QVERIFY(QTest::qWaitForWindowActive(&cancelled));
        act(&cancelled, "Esc");
        QVERIFY(!cancelled.isVisible());
        QCOMPARE(cancelled.result(), int(QDialog::Rejected));
    }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
