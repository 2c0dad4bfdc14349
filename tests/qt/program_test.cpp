// The program itself: which front end it picks, and a stop signal in the
// window, which runs the close sequence (with the backup on leaving) and
// asks nothing.

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "app/tables.h"
#include "engine286/cursor.h"
#include "host/backup_form.h"
#include "host/main_form.h"
#include "host/qt/qt_ui.h"

namespace {

const char* welcome = "歡迎使用Vorda客戶管理系統 (網上版).";

// The environment of a machine without a display.
QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    env.remove("QT_QPA_PLATFORM");
    return env;
}

}  // namespace

class ProgramTest : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> folder;

    // Starts the program in the test's folder; its input is closed.
    void start(QProcess& program, const QStringList& arguments, const QProcessEnvironment& env)
    {
        program.setProcessEnvironment(env);
        program.setProgram(QString(TARNWICKE_BINARY_DIR) + "/tarnwicke");
        program.setArguments(QStringList{"--folder", folder->path(), "--no-browser"} + arguments);
        program.start();
        QVERIFY(program.waitForStarted());
        program.closeWriteChannel();
    }
    void waitForOutput(QProcess& program, const QString& text, QString& output)
    {
        for (int i = 0; i < 600 && !output.contains(text); i++) {
            program.waitForReadyRead(100);
            output += QString::fromUtf8(program.readAllStandardOutput());
            if (program.state() == QProcess::NotRunning) break;
        }
        QVERIFY2(output.contains(text), qPrintable(output + QString::fromUtf8(program.readAllStandardError())));
    }

private Q_SLOTS:
    void init()
    {
        folder = std::make_unique<QTemporaryDir>();
        QFile login(folder->filePath("login.htm"));
        QVERIFY(login.open(QIODevice::WriteOnly));
        login.write("<html>login</html>");
    }
    void cleanup() { folder.reset(); }

    void windowAskedForWithoutADisplayEndsTheProgram()
    {
        QProcessEnvironment env = withoutDisplay();
        env.insert("QT_QPA_PLATFORM", "xcb");
        QProcess program;
        start(program, {"--gui"}, env);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitCode(), 1);
        QVERIFY(QString::fromUtf8(program.readAllStandardError()).contains("無法開啟視窗"));
        QVERIFY(!QFile::exists(folder->filePath("Tarnwicke.zrt")));
    }

    void withoutADisplayTheConsoleRunsUntilASignal()
    {
        QProcess program;
        start(program, {}, withoutDisplay());
        QString output;
        waitForOutput(program, welcome, output);
        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
    }

    void signalInTheWindowRunsTheCloseSequenceWithoutAsking()
    {
        // A database whose settings ask for a backup on leaving.
        {
            QString saved = QDir::currentPath();
            QDir::setCurrent(folder->path());
            std::unique_ptr<vordaDatabase> db = makeHostDatabase();
            QVERIFY(db->open("Tarnwicke"));
            QtUi ui;
            { TBackupForm backup(*db, ui, [] { return time(nullptr); }); }
            {
                dbCursor<BackupRecord> record(dbCursorForUpdate);
                QCOMPARE(record.selectAll(), 1u);
                record->everytime = true;
                record->everyday = false;
                record.update();
            }
            db->commit();
            db->close();
            QDir::setCurrent(saved);
        }
        QProcessEnvironment env = withoutDisplay();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess program;
        start(program, {"--gui"}, env);
        QString output;
        waitForOutput(program, welcome, output);
        ::kill(pid_t(program.processId()), SIGTERM);
        QVERIFY(program.waitForFinished(60000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QVERIFY(QFile::exists(folder->filePath("Tarnwicke0.zrb")));
    }
};

QTEST_GUILESS_MAIN(ProgramTest)
#include "program_test.moc"
