#pragma once

#include "core/layout/sheetlayout.h"

#include <QDialog>
#include <QImage>
#include <QPointer>
#include <QVector>

struct ComposeResultDialogForm;
class QPixmap;
class SheetInspector;

// Modeless preview of the last sheet written. It keeps the sheet it shows
// (shared with the preview's source, not copied) so that the inspector can
// open it at full size without reading the file again.
class ComposeResultDialog : public QDialog
{
    Q_OBJECT

public:
    explicit ComposeResultDialog(QWidget *parent = nullptr);
    ~ComposeResultDialog() override;

    // Loads the image at `path` and shows it scaled to fit the preview area,
    // keeping its aspect ratio (small sheets are enlarged), with its pixel
    // size in the caption. A missing file leaves the dialog as it was,
    // unless keepSavedSheet() kept its sheet.
    void setResultImage(const QString &path);

    // The sheet just saved at `path`, still in memory and holding exactly the
    // file's pixels (a lossless format): the next setResultImage(path) shows
    // it instead of decoding the file again, which for a large sheet takes
    // about as long as making it.
    void keepSavedSheet(const QString &path, const QImage &sheet);

    // `image` scaled to fit `area` (nearest pixel, aspect ratio kept) and
    // painted over a light checkerboard, so that transparent parts of the
    // sheet do not look like empty space around it. `area` is in logical
    // pixels; the pixmap holds `ratio` device pixels for each of them.
    static QPixmap previewPixmap(const QImage &image, const QSize &area, qreal ratio = 1);

    // Top-left corner for a window whose frame is `size`, so that it does not
    // cover the owner window's frame `owner`: beside it (right, then left)
    // when `available` has room, else above or below `keep` (the owner's
    // buttons), else at the top of the screen on the side with more room.
    static QPoint placementFor(const QRect &owner, const QRect &keep, const QSize &size,
                               const QRect &available);

    // The placement of the run whose sheet is shown next, for the inspector.
    void setPlacements(const QVector<SheetLayout::Placement> &placements);

    // Opens the inspector on the sheet shown: full size, zoom and frames.
    void inspect();

    // Each time the dialog appears it is placed next to its parent's window,
    // inside the screen and shrunk where it must be, never over the
    // parent's buttons while there is room elsewhere.
    void setVisible(bool visible) override;

    ComposeResultDialogForm *form() const { return ui; }

protected:
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void on_btnClose_clicked();

private:
    int rowHeight() const;
    void layOut();

    ComposeResultDialogForm *ui;
    QString m_keptPath;
    QImage m_keptSheet;
    QImage m_sheet;                                   // the one shown
    QVector<SheetLayout::Placement> m_placements;     // of the sheet shown
    QVector<SheetLayout::Placement> m_nextPlacements; // for the next one
    QSize m_wanted; // the size asked for before fitting it to the screen
    QPointer<SheetInspector> m_inspector;
};
