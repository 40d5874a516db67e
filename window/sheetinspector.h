#pragma once

#include "core/layout/sheetlayout.h"

#include <QDialog>
#include <QImage>
#include <QPointF>
#include <QVector>
#include <QWidget>

#include <optional>

class QLabel;

// The sheet at any zoom, panned by dragging or the arrow keys: nearest
// pixel when enlarged, a checkerboard under transparent pixels and each
// frame's outline. Paints only what is in view, so even the tallest sheet
// opens at once.
class SheetView : public QWidget
{
    Q_OBJECT

public:
    explicit SheetView(QWidget *parent = nullptr);

    // Shows `sheet` at 100 %, its top-left corner in view.
    void setSheet(const QImage &sheet, const QVector<SheetLayout::Placement> &placements);

    double zoom() const { return m_zoom; }
    // Zooms keeping the sheet's point under `anchor` (widget coordinates) in place.
    void setZoom(double zoom, const QPointF &anchor);
    void zoomBy(double factor);
    void fitToView();
    // The zoom at which the whole sheet fits the view.
    double fitZoom() const;
    // The sheet's pixel under the widget point `at`.
    QPointF sheetPointAt(const QPointF &at) const;
    // "name: W x H at X, Y" of the frame at the sheet pixel, else the pixel.
    QString describe(const QPointF &sheetPoint) const;

    static constexpr double minZoom = 1.0 / 64;
    static constexpr double maxZoom = 64;

signals:
    void hovered(const QString &text);
    void zoomChanged(double zoom);

protected:
    void paintEvent(QPaintEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void panBy(const QPointF &delta);
    void keepInView();
    // Tells what is now under the mouse, after the sheet moved beneath it.
    void hoverAgain();

    QImage m_sheet;
    QVector<SheetLayout::Placement> m_placements;
    std::optional<QPointF> m_mouseAt; // while the mouse is over the view
    double m_zoom = 1;
    QPointF m_origin; // where the sheet's top-left corner is drawn
    QPointF m_dragFrom;
    bool m_dragging = false;
};

// A window around SheetView with the zoom and what is under the mouse.
class SheetInspector : public QDialog
{
    Q_OBJECT

public:
    explicit SheetInspector(QWidget *parent = nullptr);

    void setSheet(const QImage &sheet, const QVector<SheetLayout::Placement> &placements);
    SheetView *view() const { return m_view; }
    QLabel *statusLabel() const { return m_status; }

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    void showStatus();

    SheetView *m_view;
    QLabel *m_status;
    QString m_hovered;
};
