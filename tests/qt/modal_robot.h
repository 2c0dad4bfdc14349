#pragma once
// Plays the user for modal dialogs in the window tests: each prepared step
// runs once, in order, while a modal dialog is open (also inside the nested
// event loops that dialogs start). A step that finds the wrong dialog, or a
// robot that still waits after its time, records a failure and closes the
// dialogs so that no test hangs.

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QStringList>
#include <QTimer>
#include <deque>
#include <functional>

class ModalRobot {
public:
    using Step = std::function<void(QWidget* modal)>;

    ModalRobot()
    {
        clock.start();
        QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
        timer.start(5);
    }
    ~ModalRobot() { timer.stop(); }

    ModalRobot& then(Step step)
    {
        steps.push_back(std::move(step));
        return *this;
    }
    // A step for a dialog of type T (a failure for any other).
    template <class T>
    ModalRobot& on(std::function<void(T*)> step)
    {
        return then([this, step](QWidget* modal) {
            if (auto* dialog = qobject_cast<T*>(modal))
                step(dialog);
            else
                fail(QString("expected %1, found %2").arg(T::staticMetaObject.className(), modal->metaObject()->className()));
        });
    }
    void fail(const QString& text) { failures.append(text); }

    bool done() const { return steps.empty(); }
    QStringList failures;

private:
    void tick()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (clock.elapsed() > 30000) {
            if (modal == nullptr) return;
            fail("gave up waiting with steps left");
            steps.clear();
            if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->done(QDialog::Rejected);
            return;
        }
        if (modal == nullptr || steps.empty() || pending) return;
        // The step runs from a timer of its own: a dialog it opens starts a
        // nested loop, in which this timer must go on ticking.
        pending = true;
        QTimer::singleShot(0, &timer, [this] {
            pending = false;
            QWidget* current = QApplication::activeModalWidget();
            if (current == nullptr || steps.empty()) return;
            Step step = std::move(steps.front());
            steps.pop_front();
            step(current);
        });
    }

    std::deque<Step> steps;
    bool pending = false;
    QTimer timer;
    QElapsedTimer clock;
};

// The text of a yes/no dialog's message.
inline QString messageOf(QWidget* modal)
{
    auto* label = modal->findChild<QLabel*>("msg");
    return label != nullptr ? label->text() : QString();
}
