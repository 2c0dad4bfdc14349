#pragma once
// The about window shown when the program ends: the program's name and its
// version, closed by its button or Esc.

#include <QDialog>

class QtAboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit QtAboutDialog(QWidget* parent = nullptr);
};
