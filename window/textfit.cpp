#include "window/textfit.h"

#include "window/screenfit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QVector>

#include <algorithm>

namespace {

// Overlap tolerated between neighbours in the forms (a field starting one
// pixel before its label ends).
constexpr int slack = 4;

// The size the widget's text needs; (0, 0) for anything without text.
QSize neededSize(QWidget *widget)
{
    if (auto *push = qobject_cast<QPushButton *>(widget)) {
        // Not sizeHint(): styles give text buttons a width of at least 75
        // or 80 pixels, which a "..." button does not need.
        const QSize text = push->fontMetrics().size(Qt::TextShowMnemonic, push->text());
        const int margin = push->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, push);
        const int frame = push->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, push);
        return text + QSize(margin + 2 * frame, margin / 2 + 2 * frame);
    }
    if (qobject_cast<QAbstractButton *>(widget) || qobject_cast<QLabel *>(widget))
        return widget->sizeHint();
    if (auto *edit = qobject_cast<QLineEdit *>(widget))
        return QSize(0, edit->sizeHint().height());
    // Its children were fitted first, growing it as they needed.
    if (auto *group = qobject_cast<QGroupBox *>(widget))
        return group->minimumSizeHint().expandedTo(group->size());
    return QSize(0, 0);
}

struct Growth
{
    QWidget *widget;
    QRect before;
    int dx = 0, dy = 0; // moved by
    int dw = 0, dh = 0; // grown by
};

} // namespace

void growToFitTexts(QWidget *container)
{
    QVector<Growth> items;
    const auto children = container->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget *child : children) {
        if (child->isWindow())
            continue;
        const QRect before = child->geometry();
        if (qobject_cast<QGroupBox *>(child))
            growToFitTexts(child);
        const QSize needed = neededSize(child);
        items.append({child, before, 0, 0, qMax(0, needed.width() - before.width()),
                      qMax(0, needed.height() - before.height())});
    }
    // Left to right: each widget moves by the most that any widget wholly
    // to its left moved and grew, so columns stay aligned.
    std::sort(items.begin(), items.end(),
              [](const Growth &a, const Growth &b) { return a.before.left() < b.before.left(); });
    for (Growth &item : items) {
        for (const Growth &other : std::as_const(items)) {
            if (other.before.right() <= item.before.left() + slack && &other != &item)
                item.dx = qMax(item.dx, other.dx + other.dw);
        }
    }
    std::sort(items.begin(), items.end(),
              [](const Growth &a, const Growth &b) { return a.before.top() < b.before.top(); });
    for (Growth &item : items) {
        for (const Growth &other : std::as_const(items)) {
            if (other.before.bottom() <= item.before.top() + slack && &other != &item)
                item.dy = qMax(item.dy, other.dy + other.dh);
        }
    }
    QRect oldBounds, newBounds;
    for (const Growth &item : std::as_const(items)) {
        const QRect after =
            item.before.translated(item.dx, item.dy).adjusted(0, 0, item.dw, item.dh);
        if (after != item.before)
            item.widget->setGeometry(after);
        oldBounds |= item.before;
        newBounds |= after;
    }
    const QSize grown(qMax(0, newBounds.right() - oldBounds.right()),
                      qMax(0, newBounds.bottom() - oldBounds.bottom()));
    if (grown.width() > 0 || grown.height() > 0) {
        const QSize size = container->size() + grown;
        if (container->isWindow())
            container->setMinimumSize(size);
        container->resize(size);
    }
}

void fitOnScreen(QWidget *window)
{
    const QScreen *screen = window->screen();
    if (!screen)
        return;
    const QRect frame = window->frameGeometry();
    const QSize decorations = frame.size() - window->size();
    const QRect fitted = ScreenFit::fitInside(frame, window->minimumSize() + decorations,
                                              screen->availableGeometry());
    if (fitted.size() != frame.size())
        window->resize(fitted.size() - decorations);
    if (fitted.topLeft() != frame.topLeft())
        window->move(fitted.topLeft());
}

namespace {

class FileDialogFitter : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        // After QDialog has placed it, before it is on screen.
        if (event->type() == QEvent::Show) {
            if (auto *dialog = qobject_cast<QFileDialog *>(watched); dialog && dialog->isWindow())
                fitOnScreen(dialog);
        }
        return false;
    }
};

} // namespace

void fitFileDialogsOnScreen()
{
    static QPointer<FileDialogFitter> fitter;
    QCoreApplication *app = QCoreApplication::instance();
    if (app && !fitter) {
        fitter = new FileDialogFitter(app);
        app->installEventFilter(fitter);
    }
}
