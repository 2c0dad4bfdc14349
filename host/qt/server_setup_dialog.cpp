#include "host/qt/server_setup_dialog.h"

#include <QAction>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QPushButton* actionButton(QAction* action, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(action->text(), parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    button->setMinimumWidth(130);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    QObject::connect(action, &QAction::enabledChanged, button, &QPushButton::setEnabled);
    button->setEnabled(action->isEnabled());
    return button;
}

}  // namespace

QtServerSetupDialog::QtServerSetupDialog(TServerSetupForm& serverForm, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      form(serverForm)
{
    setObjectName("TServerSetupForm");
    setWindowTitle(TServerSetupForm::caption);

    auto* note = new QLabel(TServerSetupForm::note, this);
    note->setObjectName("Label1");
    note->setStyleSheet("color: gray;");
    auto* portLabel = new QLabel(TServerSetupForm::portLabel, this);
    portLabel->setObjectName("Label3");
    port = new QLineEdit(QString::fromStdString(form.port), this);
    port->setObjectName("port");
    port->setMinimumWidth(120);
    portLabel->setBuddy(port);
    autoStart = new QCheckBox(TServerSetupForm::autoStartLabel, this);
    autoStart->setObjectName("autoStart");
    autoStart->setChecked(form.autoStart);

    auto* yesAction = new QAction(TServerSetupForm::saveCaption, this);
    yesAction->setObjectName("YesAction");
    yesAction->setShortcut(Qt::Key_F4);
    startAction = new QAction(TServerSetupForm::startCaption, this);
    startAction->setObjectName("startAction");
    startAction->setShortcut(Qt::Key_F5);
    startAction->setEnabled(form.startEnabled);
    auto* noAction = new QAction(TServerSetupForm::cancelCaption, this);
    noAction->setObjectName("NoAction");
    noAction->setShortcut(Qt::Key_F12);
    addActions({yesAction, startAction, noAction});
    connect(yesAction, &QAction::triggered, this, [this] { finish(TServerSetupForm::OK); });
    connect(startAction, &QAction::triggered, this, [this] { finish(TServerSetupForm::Yes); });
    connect(noAction, &QAction::triggered, this, [this] { finish(TServerSetupForm::Cancel); });

    auto* fields = new QGridLayout;
    fields->addWidget(portLabel, 0, 0);
    fields->addWidget(port, 0, 1);
    fields->addWidget(autoStart, 1, 0, 1, 2);
    fields->setColumnStretch(2, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(actionButton(yesAction, "YesButton", this));
    buttons->addWidget(actionButton(startAction, "startServerButton", this));
    buttons->addWidget(actionButton(noAction, "NoButton", this));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(12);
    layout->addWidget(note);
    layout->addLayout(fields);
    layout->addStretch(1);
    layout->addLayout(buttons);
    port->setFocus();
}

void QtServerSetupDialog::finish(int result)
{
    if (result == TServerSetupForm::Yes && !startAction->isEnabled()) return;
    if (result != TServerSetupForm::Cancel) {
        form.port = port->text().toStdString();
        form.autoStart = autoStart->isChecked();
    }
    done(result);
}
