#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

class QWidget;

// Answers the message boxes and file dialogs that the code under test opens
// modally. Queue what is expected before triggering the action; every box
// or dialog that appears is recorded and answered in queue order. Anything
// unexpected is recorded and closed, so a test can never hang on a dialog.
class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    struct Seen
    {
        QString kind; // "message", "file" or "unexpected"
        QString className;
        QString title;
        QString text;            // message box text, as shown
        QString copied;          // what Ctrl+C in a message box put on the clipboard
        QString selectionCopied; // what copying its whole text selected in the label gives
        bool textFits = false;   // no line of a message box's text cut at its edge
        QString details;         // a message box's text under Show Details
        QString directory;       // file dialog start folder
        QStringList nameFilters;
        bool saveDialog = false;
        QString defaultSuffix;
        bool parentIsModal = false;
        bool onScreen = false; // the frame inside its screen's available area
    };

    explicit ModalAnswerer(QObject *parent = nullptr);
    ~ModalAnswerer() override;

    // A message box, answered by pressing `answer`, or its first button.
    void expectMessageBox(QMessageBox::StandardButton answer = QMessageBox::NoButton);
    // A message box, answered by pressing Return where the focus is, as a
    // user who just confirms does.
    void expectMessageBoxReturn();
    // A file dialog, answered with `paths` (several for a multi-file pick,
    // one file or folder otherwise); no paths means Cancel. A save dialog
    // asks before replacing a file only with Overwrite::Ask, and then only
    // as the code under test set it up; queue the answer to that question
    // with expectMessageBox.
    enum class Overwrite { DontAsk, Ask };
    void expectFileDialog(const QStringList &paths, Overwrite overwrite = Overwrite::DontAsk);
    void expectFileDialogCancel() { expectFileDialog({}); }

    // True when everything queued has been answered and nothing unexpected
    // appeared. Processes events for up to `timeoutMs` while waiting.
    bool waitAllAnswered(int timeoutMs = 5000);
    QString report() const;

    const QVector<Seen> &seen() const { return m_seen; }
    Seen last() const { return m_seen.value(m_seen.size() - 1); }
    int pending() const { return m_expected.size(); }

private:
    struct Expectation
    {
        bool messageBox = true;
        QStringList paths;
        QMessageBox::StandardButton button = QMessageBox::NoButton;
        Overwrite overwrite = Overwrite::DontAsk;
        bool pressReturn = false;
    };

    void poll();
    void answer(QWidget *widget);

    QTimer m_timer;
    QVector<Expectation> m_expected;
    QVector<Seen> m_seen;
    bool m_unexpected = false;
    bool m_accepting = false;
};

// Names of visible top-level windows, for checking that a test left none.
QStringList visibleTopLevels();
