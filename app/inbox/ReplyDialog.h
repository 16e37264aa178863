#pragma once

#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

// The box an answer is typed in. Enter sends, Shift+Enter starts a new line, Escape closes.
// It shows the status text of the send and stays usable while the send goes out.
class ReplyDialog : public QDialog
{
    Q_OBJECT

public:
    ReplyDialog(const QString& recipient, const QString& address, QWidget* parent = nullptr);

    void showSending();
    // The text the send path reports for the result; a delivered answer is cleared.
    void showResult(bool delivered, const QString& statusText);

    QPlainTextEdit* answerBox() const { return m_answer; }
    QLabel* statusLabel() const { return m_status; }
    QPushButton* sendButton() const { return m_send; }

signals:
    void sendRequested(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void requestSend();

    QPlainTextEdit* m_answer = nullptr;
    QLabel* m_status = nullptr;
    QPushButton* m_send = nullptr;
};
