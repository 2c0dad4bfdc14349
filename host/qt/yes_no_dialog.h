#pragma once
// The small message and question window of the host: one button for a
// message, two for a question, with fixed geometry so that the texts sit
// where the users know them.

#include <QDialog>
#include <string>

class QLabel;
class QPushButton;

// The length of a message in the double-byte code page its texts were
// written for: one byte for an ASCII character, two for any other (a Chinese
// character). That is also about its width in half-width columns.
int messageByteLength(const std::string& text);

class QtYesNoDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int clientWidth = 559;
    static constexpr int clientHeight = 220;
    // Messages shorter than this go one line lower, into the middle.
    static constexpr int shortMessageBytes = 50;

    explicit QtYesNoDialog(QWidget* parent = nullptr);

    // A message with the single button "確定" in the middle.
    void setupMessage(const std::string& text);
    // A question answered "是" or "否"; the focus starts on the no button
    // unless `yesFirst`.
    void setupQuestion(const std::string& text, bool yesFirst = false);
    // A question with its own button captions, the message at its design place.
    void setupCustom(const std::string& text, const std::string& yesCaption, const std::string& noCaption);

    // True when the dialog closed with OK (the yes button, F4 or Y).
    bool answeredYes() const { return result() == QDialog::Accepted; }

    QLabel* messageLabel() const { return msg; }
    QPushButton* yesButton() const { return yes; }
    QPushButton* noButton() const { return no; }

private:
    void setText(const std::string& text);

    QLabel* msg;
    QPushButton* yes;
    QPushButton* no;
};
