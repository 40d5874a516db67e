#include "window/sheetinspector.h"

#include "window/textfit.h"

#include <QFileInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <cmath>

namespace {

QPointF positionOf(const QMouseEvent *event)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return event->position();
#else
    return event->localPos();
#endif
}

constexpr double wheelStep = 1.25; // per notch
constexpr double keyStep = 2;
// Smooth reduction reads every source pixel; beyond this many it would
// make panning a large sheet sluggish.
constexpr qint64 smoothPixelLimit = 4 * 1024 * 1024;

QBrush checkerBrush()
{
    QPixmap tile(16, 16);
    tile.fill(Qt::white);
    QPainter painter(&tile);
    const QColor dark(204, 204, 204);
    painter.fillRect(0, 0, 8, 8, dark);
    painter.fillRect(8, 8, 8, 8, dark);
    return QBrush(tile);
}

} // namespace

SheetView::SheetView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("sheetView"));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void SheetView::setSheet(const QImage &sheet, const QVector<SheetLayout::Placement> &placements)
{
    m_sheet = sheet;
    m_placements = placements;
    m_zoom = 1;
    m_origin = QPointF(0, 0);
    keepInView();
    update();
    emit zoomChanged(m_zoom);
}

QPointF SheetView::sheetPointAt(const QPointF &at) const
{
    return (at - m_origin) / m_zoom;
}

double SheetView::fitZoom() const
{
    if (m_sheet.isNull())
        return minZoom;
    return qMin(double(width()) / m_sheet.width(), double(height()) / m_sheet.height());
}

void SheetView::setZoom(double zoom, const QPointF &anchor)
{
    // Out at least as far as the whole sheet shows, however tall it is.
    zoom = qBound(qMin(minZoom, fitZoom()), zoom, maxZoom);
    const QPointF fixed = sheetPointAt(anchor);
    m_zoom = zoom;
    m_origin = anchor - fixed * m_zoom;
    keepInView();
    update();
    hoverAgain();
    emit zoomChanged(m_zoom);
}

void SheetView::zoomBy(double factor)
{
    setZoom(m_zoom * factor, QRectF(rect()).center());
}

void SheetView::fitToView()
{
    if (m_sheet.isNull())
        return;
    m_zoom = qMin(fitZoom(), maxZoom);
    keepInView();
    update();
    hoverAgain();
    emit zoomChanged(m_zoom);
}

void SheetView::panBy(const QPointF &delta)
{
    m_origin += delta;
    keepInView();
    update();
    hoverAgain();
}

void SheetView::hoverAgain()
{
    if (m_mouseAt)
        emit hovered(describe(sheetPointAt(*m_mouseAt)));
}

// A sheet smaller than the view is centred; a larger one keeps the view
// covered, so that panning never loses it.
void SheetView::keepInView()
{
    const QSizeF shown = QSizeF(m_sheet.size()) * m_zoom;
    const auto clampAxis = [](double origin, double shown, double room) {
        if (shown <= room)
            return std::floor((room - shown) / 2);
        return qBound(room - shown, origin, 0.0);
    };
    m_origin.setX(clampAxis(m_origin.x(), shown.width(), width()));
    m_origin.setY(clampAxis(m_origin.y(), shown.height(), height()));
}

QString SheetView::describe(const QPointF &point) const
{
    const QPoint pixel(int(std::floor(point.x())), int(std::floor(point.y())));
    if (!QRect(QPoint(0, 0), m_sheet.size()).contains(pixel))
        return QString();
    for (const SheetLayout::Placement &placement : m_placements) {
        if (QRect(placement.position, placement.size).contains(pixel))
            return tr("%1: %2 x %3 at %4, %5")
                .arg(QFileInfo(placement.path).fileName(), QString::number(placement.size.width()),
                     QString::number(placement.size.height()),
                     QString::number(placement.position.x()),
                     QString::number(placement.position.y()));
    }
    return tr("pixel %1, %2").arg(pixel.x()).arg(pixel.y());
}

void SheetView::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.fillRect(event->rect(), palette().dark());
    if (m_sheet.isNull())
        return;
    // Only the part of the sheet in view is drawn.
    const QRectF onScreen =
        QRectF(m_origin, QSizeF(m_sheet.size()) * m_zoom) & QRectF(event->rect());
    if (onScreen.isEmpty())
        return;
    QRectF source((onScreen.topLeft() - m_origin) / m_zoom, onScreen.size() / m_zoom);
    // Whole pixels, so that enlarged pixels stay on their grid.
    const QRect pixels = source.toAlignedRect() & m_sheet.rect();
    const QRectF target(m_origin + QPointF(pixels.topLeft()) * m_zoom,
                        QSizeF(pixels.size()) * m_zoom);
    painter.setBrushOrigin(m_origin);
    painter.fillRect(onScreen, checkerBrush());
    painter.setClipRect(onScreen);
    painter.setRenderHint(QPainter::SmoothPixmapTransform,
                          m_zoom < 1 &&
                              qint64(pixels.width()) * pixels.height() <= smoothPixelLimit);
    painter.drawImage(target, m_sheet, pixels);

    painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
    QPen outline(QColor(255, 0, 255, 200));
    outline.setCosmetic(true);
    painter.setPen(outline);
    painter.setBrush(Qt::NoBrush);
    for (const SheetLayout::Placement &placement : std::as_const(m_placements)) {
        const QRectF frame(m_origin + QPointF(placement.position) * m_zoom,
                           QSizeF(placement.size) * m_zoom);
        if (frame.intersects(onScreen))
            painter.drawRect(frame.adjusted(0, 0, -1, -1));
    }
}

void SheetView::wheelEvent(QWheelEvent *event)
{
    const double steps = event->angleDelta().y() / 120.0;
    if (steps == 0)
        return;
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    const QPointF at = event->position();
#else
    const QPointF at = event->posF();
#endif
    setZoom(m_zoom * std::pow(wheelStep, steps), at);
    event->accept();
}

void SheetView::keyPressEvent(QKeyEvent *event)
{
    const double step = qMax(16, qMin(width(), height()) / 8);
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoomBy(keyStep);
        break;
    case Qt::Key_Minus:
        zoomBy(1 / keyStep);
        break;
    case Qt::Key_0:
    case Qt::Key_1:
        setZoom(1, QRectF(rect()).center());
        break;
    case Qt::Key_F:
        fitToView();
        break;
    case Qt::Key_Left:
        panBy({step, 0});
        break;
    case Qt::Key_Right:
        panBy({-step, 0});
        break;
    case Qt::Key_Up:
        panBy({0, step});
        break;
    case Qt::Key_Down:
        panBy({0, -step});
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void SheetView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = true;
        m_dragFrom = positionOf(event);
        setCursor(Qt::ClosedHandCursor);
    }
}

void SheetView::mouseMoveEvent(QMouseEvent *event)
{
    m_mouseAt = positionOf(event);
    if (m_dragging) {
        panBy(positionOf(event) - m_dragFrom);
        m_dragFrom = positionOf(event);
    }
    emit hovered(describe(sheetPointAt(positionOf(event))));
}

void SheetView::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    m_mouseAt.reset();
    emit hovered(QString());
}

void SheetView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        unsetCursor();
    }
}

void SheetView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    keepInView();
}

SheetInspector::SheetInspector(QWidget *parent)
    : QDialog(parent), m_view(new SheetView(this)), m_status(new QLabel(this))
{
    setObjectName(QStringLiteral("sheetInspector"));
    setWindowTitle(tr("Inspect Sheet"));
    m_status->setObjectName(QStringLiteral("labInspectStatus"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 4);
    m_status->setContentsMargins(6, 0, 6, 0);
    // It shows frame names, and a file may be called "<b>x.png".
    m_status->setTextFormat(Qt::PlainText);
    // The text follows the width (showStatus), not the other way round.
    m_status->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    layout->addWidget(m_view, 1);
    layout->addWidget(m_status);
    connect(m_view, &SheetView::hovered, this, [this](const QString &text) {
        m_hovered = text;
        showStatus();
    });
    connect(m_view, &SheetView::zoomChanged, this, &SheetInspector::showStatus);
    setMinimumSize(240, 160);
    resize(800, 600);
}

void SheetInspector::setSheet(const QImage &sheet,
                              const QVector<SheetLayout::Placement> &placements)
{
    m_hovered.clear();
    m_view->setSheet(sheet, placements);
}

// One line, never cut: what is under the mouse and the zoom first, the help
// after them where the width holds it (it is always the tooltip), and a
// name too long for the width shortened in the middle, keeping the frame's
// size and position.
void SheetInspector::showStatus()
{
    const QString help = tr("wheel or +/- to zoom, 0: 100 %, F: fit, drag or arrows to move");
    // Tenths of a percent; below 1 %, two significant digits, so that a
    // sheet thousands of times taller than the view, fitted, is not "0 %",
    // written out in decimals, never with an exponent ("9.9e-05").
    const double percent = m_view->zoom() * 100;
    const int decimals = percent > 0 && percent < 1 ? 1 - int(std::floor(std::log10(percent))) : 0;
    const QString zoom =
        tr("%1 %").arg(decimals > 0 ? QString::number(percent, 'f', decimals)
                                    : QString::number(std::round(percent * 10) / 10));
    const QString gap = QStringLiteral("   ");
    const QFontMetrics metrics = m_status->fontMetrics();
    const int room = m_status->contentsRect().width();
    QString text = m_hovered.isEmpty() ? zoom : m_hovered + gap + zoom;
    const QString withHelp = text + QStringLiteral("  (") + help + QLatin1Char(')');
    if (metrics.horizontalAdvance(withHelp) <= room) {
        text = withHelp;
    } else if (metrics.horizontalAdvance(text) > room && !m_hovered.isEmpty()) {
        const auto elided = [&](const QString &name, const QString &rest) {
            return metrics.elidedText(name, Qt::ElideMiddle,
                                      room - metrics.horizontalAdvance(rest));
        };
        // The name gives way first, so that the size and position after
        // its last ": " stay whole; where that leaves nothing of the name,
        // the whole description is shortened instead.
        const int split = m_hovered.lastIndexOf(QLatin1String(": "));
        const QString rest = m_hovered.mid(qMax(split, 0)) + gap + zoom;
        const QString name = split > 0 ? elided(m_hovered.left(split), rest) : QString();
        text = name.size() > 1 ? name + rest : elided(m_hovered, gap + zoom) + gap + zoom;
    }
    m_status->setText(text);
    m_status->setToolTip(help);
}

void SheetInspector::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    showStatus();
}

void SheetInspector::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    fitOnScreen(this);
    m_view->setFocus();
}
