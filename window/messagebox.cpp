#include "window/messagebox.h"

#include "window/screenfit.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>
#include <QTextBoundaryFinder>
#include <QTextEdit>

namespace {

// Draws nothing and lets a line break after it.
constexpr QChar zeroWidthSpace(0x200B);
constexpr QChar ellipsis(0x2026);

// `text` with a break chance at each grapheme boundary inside every stretch
// without one that is wider than `width`, so a long path wraps at the
// box's edge instead of being cut there. Other text is left as it is.
QString breakLongRuns(const QString &text, const QFontMetrics &metrics, int width)
{
    QString result;
    QTextBoundaryFinder lines(QTextBoundaryFinder::Line, text);
    int start = 0;
    for (int end = lines.toNextBoundary(); end > 0; end = lines.toNextBoundary()) {
        const QString run = text.mid(start, end - start);
        if (metrics.horizontalAdvance(run.trimmed()) <= width) {
            result += run;
        } else {
            QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, run);
            int from = 0;
            for (int to = graphemes.toNextBoundary(); to > 0; to = graphemes.toNextBoundary()) {
                result += run.mid(from, to - from);
                if (to < run.size() && !run.at(to).isSpace())
                    result += zeroWidthSpace;
                from = to;
            }
        }
        start = end;
    }
    return result;
}

// `text` with "…" for its middle, keeping about `keep` / 2 characters on
// either side; never cuts within a grapheme.
QString elideMiddle(const QString &text, int keep)
{
    QTextBoundaryFinder graphemes(QTextBoundaryFinder::Grapheme, text);
    graphemes.setPosition(qMin(keep / 2, text.size()));
    const int head =
        graphemes.isAtBoundary() ? graphemes.position() : graphemes.toPreviousBoundary();
    graphemes.setPosition(qMax(text.size() - keep / 2, head));
    const int tail = graphemes.isAtBoundary() ? graphemes.position() : graphemes.toNextBoundary();
    return text.left(head) + ellipsis + text.mid(tail);
}

// A box that shows its plain text whole on its screen: a stretch without a
// break chance too wide for the box wraps anywhere, and text too tall for
// the screen is shortened in the middle, whole under Show Details. A text
// that fits is shown as given. Ctrl+C copies the text as given.
class TextBox : public QMessageBox
{
public:
    TextBox(Icon icon, const QString &title, const QString &text, StandardButtons buttons,
            QWidget *parent)
        : QMessageBox(icon, title, text, buttons, parent), m_text(text)
    {
        setTextFormat(Qt::PlainText);
    }

protected:
    void showEvent(QShowEvent *event) override
    {
        const QScreen *screen = this->screen();
        if (!event->spontaneous() && screen)
            shortenPastScreen(screen->availableGeometry().size());
        // QMessageBox sizes the box for its text here, and QDialog places it.
        QMessageBox::showEvent(event);
        if (event->spontaneous() || !screen)
            return;
        // The window manager's frame is not known before the box is mapped:
        // take the owner's.
        QSize frame = frameGeometry().size() - size();
        if (const QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr;
            owner && owner->isVisible())
            frame = frame.expandedTo(owner->frameGeometry().size() - owner->size());
        const QRect available = screen->availableGeometry();
        if (fitText(available.size() - frame))
            adjustPosition(parentWidget());
        const QRect placed =
            ScreenFit::fitInside(QRect(pos(), size() + frame), size() + frame, available);
        if (placed.topLeft() != pos())
            move(placed.topLeft());
    }

    void keyPressEvent(QKeyEvent *event) override
    {
        const bool copy = event == QKeySequence::Copy;
        QMessageBox::keyPressEvent(event);
        if (!copy)
            return;
        // Where Qt copies the box (title, text and buttons), the text in it
        // is the shown one; elsewhere it copies nothing.
        QClipboard *clipboard = QGuiApplication::clipboard();
        if (event->isAccepted()) {
            if (text() != m_text) {
                const QString copied = clipboard->text();
                const int at = copied.indexOf(text(), windowTitle().size());
                if (at >= 0)
                    clipboard->setText(QString(copied).replace(at, text().size(), m_text));
            }
        } else {
            clipboard->setText(m_text);
            event->accept();
        }
    }

private:
    QLabel *label() const { return findChild<QLabel *>(QStringLiteral("qt_msgbox_label")); }

    // More characters than a screen of `room` could show, with room to spare
    // for narrow ones: laying out a longer text is wasted time, seconds for
    // some hundred thousand characters.
    int screenfulOfCharacters(const QSize &room) const
    {
        const QFontMetrics metrics(label()->font());
        return 4 * (room.height() / metrics.lineSpacing() + 1) *
               (room.width() / qMax(1, metrics.averageCharWidth()) + 1);
    }

    // For a text shown with breaks or shortened: a selection of it would
    // copy them. Ctrl+C still copies the text as given. A plain label is
    // also laid out much faster than a selectable one.
    void makeUnselectable()
    {
        label()->setTextInteractionFlags(
            label()->textInteractionFlags() &
            ~(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard));
    }

    // Before the box is first sized: a text longer than a screenful is
    // shortened to one, whole under Show Details.
    void shortenPastScreen(const QSize &room)
    {
        if (!label() || !detailedText().isEmpty() || text() != m_text)
            return;
        const int most = screenfulOfCharacters(room);
        if (m_text.size() <= most)
            return;
        makeUnselectable();
        setText(elideMiddle(m_text, most));
        setDetailedText(m_text);
    }

    // Changes the shown text so that the box fits `room`; false when it
    // already did.
    bool fitText(const QSize &room)
    {
        QLabel *label = this->label();
        if (!label)
            return false;
        layout()->activate();
        // Qt cuts a line that has no break chance within the label's width.
        if (width() <= room.width() && height() <= room.height() &&
            label->minimumSizeHint().width() <= label->width())
            return false;

        makeUnselectable();

        const QFontMetrics metrics(label->font());
        const int labelWidth =
            qMax(metrics.averageCharWidth() * 8, label->width() - qMax(0, width() - room.width()));
        if (detailedText().isEmpty()) {
            const QString shown = breakLongRuns(m_text, metrics, labelWidth);
            if (shown != text()) {
                setText(shown);
                layout()->activate();
            }
            if (height() <= room.height())
                return true;
            // Shortened in the middle to what fits with the details opened.
            setDetailedText(m_text);
        } else {
            setText(breakLongRuns(text(), metrics, labelWidth));
        }
        // The box takes its width from the text it is given: searched again
        // at the label's new width where that no longer fits.
        for (int pass = 0; pass < 3; ++pass) {
            layout()->activate();
            int details = 0;
            if (const auto *edit = findChild<QTextEdit *>())
                details = edit->parentWidget()->sizeHint().height() + qMax(0, layout()->spacing());
            const int labelRoom = room.height() - (height() - label->height()) - details;
            setText(longestFitting(label, qMin<int>(m_text.size(), screenfulOfCharacters(room)),
                                   labelRoom));
            layout()->activate();
            if (height() <= room.height() && label->minimumSizeHint().width() <= label->width())
                break;
        }
        return true;
    }

    // The longest middle-shortened text, with at most `most` characters
    // kept, that fits `height` at the label's width.
    QString longestFitting(QLabel *label, int most, int height) const
    {
        const QFontMetrics metrics(label->font());
        const int width = label->width();
        int low = 0;
        int high = most;
        QString shown = breakLongRuns(elideMiddle(m_text, 0), metrics, width);
        while (low < high) {
            const int keep = (low + high + 1) / 2;
            const QString candidate = breakLongRuns(elideMiddle(m_text, keep), metrics, width);
            label->setText(candidate);
            if (label->heightForWidth(width) <= height) {
                low = keep;
                shown = candidate;
            } else {
                high = keep - 1;
            }
        }
        return shown;
    }

    const QString m_text;
};

} // namespace

namespace Boxes {

QMessageBox *aboutBox(QWidget *parent, const QString &title, const QString &text)
{
    auto *box = new TextBox(QMessageBox::NoIcon, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    const QIcon icon = box->windowIcon();
    box->setIconPixmap(icon.pixmap(icon.actualSize(QSize(64, 64))));
    return box;
}

void about(QWidget *parent, const QString &title, const QString &text)
{
    aboutBox(parent, title, text)->exec();
}

void warn(QWidget *parent, const QString &title, const QString &text)
{
    TextBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.exec();
}

bool askYesNo(QWidget *parent, const QString &title, const QString &question)
{
    TextBox box(QMessageBox::Warning, title, question, QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace Boxes
