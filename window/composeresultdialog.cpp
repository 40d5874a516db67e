#include "window/composeresultdialog.h"

#include "window/composeresultdialogform.h"
#include "window/screenfit.h"
#include "window/sheetinspector.h"

#include <QAbstractButton>
#include <QAction>
#include <QEvent>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <utility>

namespace {

constexpr int checkerSquare = 8;

// The form's margins around the preview and the row below it.
constexpr int sideMargin = 10;
constexpr int rightMargin = 13;
// The dialog's least width while it shows no size.
constexpr int leastWidth = sideMargin + rightMargin + 120;
constexpr int rowGap = 9;
constexpr int bottomMargin = 16;

} // namespace

ComposeResultDialog::ComposeResultDialog(QWidget *parent)
    : QDialog(parent), ui(new ComposeResultDialogForm)
{
    ui->setupUi(this);
    // A taller row for larger text makes the dialog taller, not the preview
    // smaller.
    resize(width(), height() + rowHeight() - ui->labInfo->height());
    m_wanted = size();
    // Generate leaves the keyboard with the list it came from.
    setAttribute(Qt::WA_ShowWithoutActivating);
    ui->labImageResult->installEventFilter(this);
    ui->labImageResult->setToolTip(tr("Double-click or press I to inspect the sheet"));
    auto *inspect = new QAction(this);
    inspect->setShortcuts({QKeySequence(Qt::Key_I), QKeySequence(Qt::CTRL | Qt::Key_I)});
    connect(inspect, &QAction::triggered, this, &ComposeResultDialog::inspect);
    addAction(inspect);
    setMinimumSize(leastWidth, sideMargin + rowGap + bottomMargin + 80 + rowHeight());
    layOut();
}

int ComposeResultDialog::rowHeight() const
{
    // The ink of the texts (line spacing may be clipped without harm), with
    // room for the button's frame.
    const auto ink = [](const QWidget *widget, const QString &text) {
        return widget->fontMetrics().tightBoundingRect(text).height();
    };
    return std::max({ui->labInfo->geometry().height(),
                     ink(ui->labInfo, QStringLiteral("Total Size: 0123456789 x")) + 2,
                     ink(ui->btnClose, ui->btnClose->text()) + 8});
}

void ComposeResultDialog::layOut()
{
    // The form's geometry at its own size; the preview takes what is left
    // when the dialog is larger or smaller, and the row below grows with
    // its text.
    const int row = rowHeight();
    const int buttonWidth =
        qMax(ui->btnClose->width(),
             ui->btnClose->fontMetrics().horizontalAdvance(ui->btnClose->text()) + 12);
    const int rowY = height() - bottomMargin - row;
    ui->btnClose->setGeometry(width() - rightMargin - buttonWidth, rowY, buttonWidth, row);
    ui->labInfo->setGeometry(sideMargin, rowY, ui->btnClose->x() - rowGap - sideMargin, row);
    ui->labImageResult->setGeometry(sideMargin, sideMargin, width() - sideMargin - rightMargin,
                                    rowY - rowGap - sideMargin);
}

void ComposeResultDialog::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    layOut();
    if (!m_sheet.isNull())
        ui->labImageResult->setPixmap(previewPixmap(m_sheet, ui->labImageResult->size(),
                                                    ui->labImageResult->devicePixelRatioF()));
}

bool ComposeResultDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->labImageResult && event->type() == QEvent::MouseButtonDblClick) {
        inspect();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

void ComposeResultDialog::setPlacements(const QVector<SheetLayout::Placement> &placements)
{
    m_nextPlacements = placements;
}

void ComposeResultDialog::inspect()
{
    if (m_sheet.isNull())
        return;
    if (!m_inspector)
        m_inspector = new SheetInspector(this);
    m_inspector->setSheet(m_sheet, m_placements);
    m_inspector->show();
    m_inspector->raise();
    m_inspector->activateWindow();
}

ComposeResultDialog::~ComposeResultDialog()
{
    delete ui;
}

void ComposeResultDialog::keepSavedSheet(const QString &path, const QImage &sheet)
{
    m_keptPath = path;
    m_keptSheet = sheet;
}

void ComposeResultDialog::setResultImage(const QString &path)
{
    const QImage kept = path == m_keptPath ? m_keptSheet : QImage();
    m_keptPath.clear();
    m_keptSheet = QImage();
    const QVector<SheetLayout::Placement> placements = std::exchange(m_nextPlacements, {});
    // The kept sheet is the file as written, even when the file has gone
    // since; without it, the sheet shown stays, and so do its placements.
    if (kept.isNull() && !QFile::exists(path))
        return;

    const QImage image = kept.isNull() ? QImage(path) : kept;
    m_sheet = image;
    m_placements = placements;
    if (m_inspector)
        m_inspector->setSheet(m_sheet, m_placements);
    if (image.isNull()) {
        // Exists but is not an image: show nothing rather than a stale sheet.
        ui->labImageResult->setPixmap(QPixmap());
        ui->labInfo->setText(tr("Total Size:"));
        setMinimumWidth(leastWidth);
        return;
    }
    // The whole label, frame included, is the target.
    ui->labImageResult->setPixmap(
        previewPixmap(image, ui->labImageResult->size(), ui->labImageResult->devicePixelRatioF()));
    ui->labInfo->setText(tr("Total Size: %1 x %2").arg(image.width()).arg(image.height()));
    // A wider dialog when the size does not fit in its row, and never
    // placed or fitted narrower than the size's text needs.
    const int short_ = ui->labInfo->sizeHint().width() - ui->labInfo->width();
    setMinimumWidth(qMax(leastWidth, width() + short_));
    if (short_ > 0) {
        m_wanted.setWidth(qMax(m_wanted.width(), width() + short_));
        resize(width() + short_, height());
        // Open already: the wider frame is kept on the screen.
        if (isVisible() && screen()) {
            const QSize decorations = frameGeometry().size() - size();
            const QRect frame = ScreenFit::fitInside(frameGeometry(), minimumSize() + decorations,
                                                     screen()->availableGeometry());
            resize(frame.size() - decorations);
            move(frame.topLeft());
        }
    }
}

QPixmap ComposeResultDialog::previewPixmap(const QImage &image, const QSize &area, qreal ratio)
{
    // Scaled once, straight to the screen's pixels: a pixmap of the area's
    // logical size would be enlarged again when shown, and Qt 6 smooths that
    // at a fractional ratio (1.25, 1.5).
    const QSize pixels = (QSizeF(area) * ratio).toSize();
    // QImage::scaled keeps both sides at least one pixel.
    const QImage scaled = image.scaled(pixels, Qt::KeepAspectRatio, Qt::FastTransformation);
    QImage preview(scaled.size(), QImage::Format_RGB32);
    preview.fill(QColor(255, 255, 255));
    QPainter painter(&preview);
    const QColor dark(204, 204, 204);
    const int square = qMax(1, qRound(checkerSquare * ratio));
    for (int y = 0; y < preview.height(); y += square) {
        for (int x = (y / square % 2) * square; x < preview.width(); x += 2 * square)
            painter.fillRect(x, y, square, square, dark);
    }
    // Into the whole preview, pixel for pixel: a sheet named like "s@2x.png"
    // is read with a device pixel ratio of 2 and would otherwise be drawn at
    // half its size.
    painter.drawImage(preview.rect(), scaled);
    painter.end();
    preview.setDevicePixelRatio(ratio);
    return QPixmap::fromImage(preview);
}

QPoint ComposeResultDialog::placementFor(const QRect &owner, const QRect &keep, const QSize &size,
                                         const QRect &available)
{
    return ScreenFit::besideOwner(owner, keep, size, available);
}

void ComposeResultDialog::setVisible(bool visible)
{
    QWidget *owner = parentWidget() ? parentWidget()->window() : nullptr;
    if (visible && !isVisible() && owner && owner->isVisible()) {
        QRect keep;
        const auto buttons = owner->findChildren<QAbstractButton *>();
        for (const QAbstractButton *button : buttons) {
            if (button->isVisible())
                keep |= QRect(button->mapToGlobal(QPoint(0, 0)), button->size());
        }
        const QRect ownerFrame = owner->frameGeometry();
        if (keep.isEmpty())
            keep = ownerFrame;
        // Before its first show the dialog has no frame yet; it gets the
        // same decorations as its owner.
        const QSize decorations = ownerFrame.size() - owner->size();
        const QRect available = owner->screen()->availableGeometry();
        const QRect frame = ScreenFit::placeDialog(ownerFrame, keep, m_wanted + decorations,
                                                   minimumSize() + decorations, available);
        resize(frame.size() - decorations);
        // move() places the frame's corner and stops QDialog from centring.
        move(frame.topLeft());
    }
    QDialog::setVisible(visible);
}

void ComposeResultDialog::on_btnClose_clicked()
{
    hide();
}
