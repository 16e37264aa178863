#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The box an answer is typed in. Enter sends, Shift+Enter starts a new line, Escape closes
// (asking first when an answer is half written). The answer goes out signed with a sender
// name the user can change. It shows the status text of the send and stays usable while
// the send goes out.
class ReplyDialog : public QDialog
{
    Q_OBJECT

public:
    ReplyDialog(const QString& recipient, const QString& address, const QString& signature,
                QWidget* parent = nullptr);

    // The user's login name, as a sender name the messenger protocol takes.
    static QString defaultSignature();

    void showSending();
    // The text the send path reports for the result; a delivered answer is cleared.
    void showResult(bool delivered, const QString& statusText);

    QPlainTextEdit* answerBox() const { return m_answer; }
    QLabel* statusLabel() const { return m_status; }
    QPushButton* sendButton() const { return m_send; }
    QLineEdit* signatureBox() const { return m_signature; }

    void reject() override;

signals:
    // from is empty when the user wants the computer's name.
    void sendRequested(const QString& from, const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void requestSend();

    QPlainTextEdit* m_answer = nullptr;
    QLineEdit* m_signature = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_send = nullptr;
};
