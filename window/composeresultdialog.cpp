#include "window/composeresultdialog.h"

#include "window/composeresultdialogform.h"

#include <QAbstractButton>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QScreen>

namespace {

constexpr int windowGap = 8;
constexpr int checkerSquare = 8;

// Clamps to [low, high]; when the range is empty, `low` wins.
int clampTo(int value, int low, int high)
{
    return qMax(low, qMin(value, high));
}

} // namespace

ComposeResultDialog::ComposeResultDialog(QWidget *parent)
    : QDialog(parent), ui(new ComposeResultDialogForm)
{
    ui->setupUi(this);
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
    if (!QFile::exists(path))
        return;

    const QImage image = kept.isNull() ? QImage(path) : kept;
    if (image.isNull()) {
        // Exists but is not an image: show nothing rather than a stale sheet.
        ui->labImageResult->setPixmap(QPixmap());
        ui->labInfo->setText(tr("Total Size:"));
        return;
    }
    // The whole label, frame included, is the target.
    ui->labImageResult->setPixmap(previewPixmap(image, ui->labImageResult->size()));
    ui->labInfo->setText(tr("Total Size: %1 x %2").arg(image.width()).arg(image.height()));
}

QPixmap ComposeResultDialog::previewPixmap(const QImage &image, const QSize &area)
{
    // QImage::scaled keeps both sides at least one pixel.
    const QImage scaled = image.scaled(area, Qt::KeepAspectRatio, Qt::FastTransformation);
    QImage preview(scaled.size(), QImage::Format_RGB32);
    preview.fill(QColor(255, 255, 255));
    QPainter painter(&preview);
    const QColor dark(204, 204, 204);
    for (int y = 0; y < preview.height(); y += checkerSquare) {
        for (int x = (y / checkerSquare % 2) * checkerSquare; x < preview.width();
             x += 2 * checkerSquare)
            painter.fillRect(x, y, checkerSquare, checkerSquare, dark);
    }
    painter.drawImage(0, 0, scaled);
    painter.end();
    return QPixmap::fromImage(preview);
}

QPoint ComposeResultDialog::placementFor(const QRect &owner, const QRect &keep, const QSize &size,
                                         const QRect &available)
{
    const int lastX = available.right() + 1 - size.width();
    const int lastY = available.bottom() + 1 - size.height();
    const int besideY = clampTo(owner.top(), available.top(), lastY);
    const int right = owner.right() + 1 + windowGap;
    if (right <= lastX)
        return {right, besideY};
    const int left = owner.left() - windowGap - size.width();
    if (left >= available.left())
        return {left, besideY};

    const int centredX =
        clampTo(owner.left() + (owner.width() - size.width()) / 2, available.left(), lastX);
    const int above = keep.top() - windowGap - size.height();
    if (above >= available.top())
        return {centredX, above};
    const int below = keep.bottom() + 1 + windowGap;
    if (below <= lastY)
        return {centredX, below};

    const bool rightHasMoreRoom =
        available.right() - owner.right() >= owner.left() - available.left();
    return {rightHasMoreRoom ? clampTo(lastX, available.left(), lastX) : available.left(),
            available.top()};
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
        const QSize frame = size() + (ownerFrame.size() - owner->size());
        const QRect available = owner->screen()->availableGeometry();
        // move() places the frame's corner and stops QDialog from centring.
        move(placementFor(ownerFrame, keep, frame, available));
    }
    QDialog::setVisible(visible);
}

void ComposeResultDialog::on_btnClose_clicked()
{
    hide();
}
