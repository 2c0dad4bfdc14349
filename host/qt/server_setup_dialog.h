#pragma once
// The server setup window: the port, the automatic start and the three
// actions save (F4), start the server (F5) and cancel (F12).

#include <QDialog>

#include "host/server_setup_form.h"

class QAction;
class QCheckBox;
class QLineEdit;

class QtServerSetupDialog : public QDialog {
    Q_OBJECT
public:
    // Shows the form's controls; the form gets the edited values back when
    // the dialog closes with OK or Yes.
    QtServerSetupDialog(TServerSetupForm& form, QWidget* parent = nullptr);

    // Closes the dialog with one of TServerSetupForm's results.
    void finish(int result);

private:
    TServerSetupForm& form;
    QLineEdit* port;
    QCheckBox* autoStart;
    QAction* startAction;
};
