#include "host/qt/yes_no_dialog.h"

#include <QAction>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>

int messageByteLength(const std::string& text)
{
    int bytes = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        bytes += c < 0x80 ? 1 : 2;
        i += length;
    }
    return bytes;
}

QtYesNoDialog::QtYesNoDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint)
{
    setObjectName("TYesNoForm");
    setWindowTitle("信息");
    setFixedSize(clientWidth, clientHeight);

    msg = new QLabel(this);
    msg->setObjectName("msg");
    msg->setGeometry(32, 24, 489, 113);
    msg->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    msg->setWordWrap(true);
    msg->setTextFormat(Qt::PlainText);
    QFont large = msg->font();
    large.setPointSizeF(large.pointSizeF() * 1.3);
    msg->setFont(large);

    no = new QPushButton("否 Esc (&N)", this);
    no->setObjectName("NoButton");
    no->setGeometry(293, 155, 120, 33);
    yes = new QPushButton("是 F4 (&Y)", this);
    yes->setObjectName("YesButton");
    yes->setGeometry(157, 155, 120, 33);
    setTabOrder(no, yes);
    no->setFocus();

    auto* yesAction = new QAction(this);
    yesAction->setObjectName("YesAction");
    yesAction->setShortcuts({QKeySequence(Qt::Key_F4), QKeySequence(Qt::Key_Y)});
    addAction(yesAction);
    auto* noAction = new QAction(this);
    noAction->setObjectName("NoAction");
    noAction->setShortcuts({QKeySequence(Qt::Key_Escape), QKeySequence(Qt::Key_N)});
    addAction(noAction);

    connect(yesAction, &QAction::triggered, this, &QDialog::accept);
    connect(yes, &QPushButton::clicked, this, &QDialog::accept);
    connect(noAction, &QAction::triggered, this, &QDialog::reject);
    connect(no, &QPushButton::clicked, this, &QDialog::reject);
}

void QtYesNoDialog::setText(const std::string& text)
{
    msg->setText(QString::fromStdString(text));
}

void QtYesNoDialog::setupMessage(const std::string& text)
{
    setText(text);
    no->hide();
    yes->setText("確定");
    yes->move(220, yes->y());
    yes->setFocus();
}

void QtYesNoDialog::setupQuestion(const std::string& text, bool yesFirst)
{
    setText(text);
    if (messageByteLength(text) < shortMessageBytes) msg->move(msg->x(), 40);
    if (yesFirst) {
        setTabOrder(yes, no);
        yes->setFocus();
    }
}

void QtYesNoDialog::setupCustom(const std::string& text, const std::string& yesCaption, const std::string& noCaption)
{
    setText(text);
    yes->setText(QString::fromStdString(yesCaption));
    no->setText(QString::fromStdString(noCaption));
}
