#include "support/modalanswerer.h"
#include "support/testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>

ModalAnswerer::ModalAnswerer(QObject *parent) : QObject(parent)
{
    // The platform's own dialogs cannot be driven from a test.
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &ModalAnswerer::poll);
    m_timer.start();
}

ModalAnswerer::~ModalAnswerer() = default;

void ModalAnswerer::expectMessageBox(QMessageBox::StandardButton answer)
{
    m_expected.append(Expectation{true, {}, answer, Overwrite::DontAsk});
}

void ModalAnswerer::expectMessageBoxReturn()
{
    m_expected.append(Expectation{true, {}, QMessageBox::NoButton, Overwrite::DontAsk, true});
}

void ModalAnswerer::expectFileDialog(const QStringList &paths, Overwrite overwrite)
{
    m_expected.append(Expectation{false, paths, QMessageBox::NoButton, overwrite});
}

bool ModalAnswerer::waitAllAnswered(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while ((!m_expected.isEmpty() || m_accepting) && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return m_expected.isEmpty() && !m_unexpected;
}

QString ModalAnswerer::report() const
{
    QStringList lines;
    lines << QStringLiteral("%1 answer(s) still expected").arg(m_expected.size());
    for (const Seen &s : m_seen)
        lines << QStringLiteral("%1 %2 \"%3\": %4").arg(s.kind, s.className, s.title, s.text);
    return lines.join(QLatin1Char('\n'));
}

void ModalAnswerer::poll()
{
    if (m_accepting)
        return;
    // A box that a dialog opens over itself comes first.
    QWidget *modal = QApplication::activeModalWidget();
    if (modal && modal->isVisible() &&
        (qobject_cast<QMessageBox *>(modal) || qobject_cast<QFileDialog *>(modal))) {
        answer(modal);
        return;
    }
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible())
            continue;
        if (qobject_cast<QMessageBox *>(widget) || qobject_cast<QFileDialog *>(widget)) {
            answer(widget);
            return; // answering may have ended a nested loop; look again later
        }
    }
}

void ModalAnswerer::answer(QWidget *widget)
{
    Seen seen;
    seen.className = QString::fromLatin1(widget->metaObject()->className());
    seen.title = widget->windowTitle();
    seen.parentIsModal = widget->parentWidget() && widget->parentWidget()->isModal();
    seen.onScreen =
        widget->screen() && widget->screen()->availableGeometry().contains(widget->frameGeometry());
    auto *box = qobject_cast<QMessageBox *>(widget);
    auto *dialog = qobject_cast<QFileDialog *>(widget);
    if (box) {
        seen.text = shownText(box->text(), box->textFormat());
        seen.details = box->detailedText();
        // The label cuts a line that has no break chance within its width.
        if (const auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label")))
            seen.textFits = label->minimumSizeHint().width() <= label->width();
        QGuiApplication::clipboard()->clear();
        QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
        QCoreApplication::sendEvent(box->focusWidget() ? box->focusWidget() : box, &copy);
        seen.copied = QGuiApplication::clipboard()->text();
        // As a user copies the text selected with the mouse.
        if (auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
            label && (label->textInteractionFlags() & Qt::TextSelectableByMouse)) {
            label->setSelection(0, label->text().size());
            QCoreApplication::sendEvent(label, &copy);
            seen.selectionCopied = QGuiApplication::clipboard()->text();
        }
    }
    if (dialog) {
        seen.directory = dialog->directory().absolutePath();
        seen.nameFilters = dialog->nameFilters();
        seen.saveDialog = dialog->acceptMode() == QFileDialog::AcceptSave;
        seen.defaultSuffix = dialog->defaultSuffix();
    }

    const bool matches = !m_expected.isEmpty() && m_expected.first().messageBox == (box != nullptr);
    if (!matches) {
        seen.kind = QStringLiteral("unexpected");
        m_seen.append(seen);
        m_unexpected = true;
        if (box)
            box->reject();
        else
            dialog->reject();
        return;
    }

    const Expectation expectation = m_expected.takeFirst();
    seen.kind = box ? QStringLiteral("message") : QStringLiteral("file");
    m_seen.append(seen);
    if (box && expectation.pressReturn) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QCoreApplication::sendEvent(box->focusWidget() ? box->focusWidget() : box, &press);
        if (box->isVisible())
            box->reject();
        return;
    }
    if (box) {
        const QList<QAbstractButton *> buttons = box->buttons();
        QAbstractButton *button = expectation.button == QMessageBox::NoButton
                                      ? buttons.value(0)
                                      : box->button(expectation.button);
        if (button)
            button->click();
        else
            box->reject();
        return;
    }
    if (expectation.paths.isEmpty()) {
        dialog->reject();
        return;
    }
    // Type the answer as a user would; several names are quoted.
    // Ask leaves the option as the code under test set it.
    if (expectation.overwrite == Overwrite::DontAsk)
        dialog->setOption(QFileDialog::DontConfirmOverwrite, true);
    QString typed;
    if (expectation.paths.size() == 1) {
        typed = expectation.paths.first();
    } else {
        QStringList quoted;
        for (const QString &path : expectation.paths)
            quoted << QLatin1Char('"') + path + QLatin1Char('"');
        typed = quoted.join(QLatin1Char(' '));
    }
    if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
        edit->setText(typed);
    // accept() may ask about replacing a file in a nested event loop, which
    // this timer must be free to answer: accept later, from the event loop.
    // accept() is protected; it is a slot, so reach it the way a button does.
    m_accepting = true;
    QPointer<QFileDialog> target(dialog);
    QTimer::singleShot(0, this, [this, target] {
        m_accepting = false;
        if (target)
            QMetaObject::invokeMethod(target, "accept");
    });
}

QStringList visibleTopLevels()
{
    QStringList names;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible())
            names << QString::fromLatin1(widget->metaObject()->className()) + QLatin1Char(' ') +
                         widget->windowTitle();
    }
    return names;
}
