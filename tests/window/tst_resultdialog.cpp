#include "support/testsupport.h"
#include "window/composeresultdialog.h"
#include "window/composeresultdialogform.h"
#include "window/screenfit.h"
#include "window/sheetinspector.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

Q_DECLARE_METATYPE(QVector<QRgb>)

class TestResultDialog : public QObject
{
    Q_OBJECT

private slots:
    void form();
    void scalesToPreview_data();
    void scalesToPreview();
    void transparencyOverCheckerboard_data();
    void transparencyOverCheckerboard();
    void textsFit();
    void placement_data();
    void placement();
    void placeDialog_data();
    void placeDialog();
    void shownBesideItsWindow();
    void inspectorShowsTheKeptSheet();
    void inspectorOpensFastOnTheTallestSheet();
    void inspectorStatusFits_data();
    void inspectorStatusFits();
    void missingFileKeepsPreview();
    void keptSheetOnlyForItsPathAndOnce();
    void unreadableFileClearsPreview();
    void closeHides();
};

void TestResultDialog::form()
{
    ComposeResultDialog dialog;
    ComposeResultDialogForm *ui = dialog.form();
    QCOMPARE(dialog.objectName(), QStringLiteral("ComposeResultDialog"));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Dialog"));
    QCOMPARE(dialog.size(), QSize(404, 557));
    QVERIFY(!dialog.isModal());
    QCOMPARE(ui->btnClose->geometry(), QRect(310, 520, 81, 21));
    QCOMPARE(ui->labInfo->geometry(), QRect(10, 520, 291, 21));
    QCOMPARE(ui->labInfo->font().pointSize(), 14);
    QCOMPARE(ui->labInfo->font().family(), QStringLiteral("Arial"));
    QCOMPARE(ui->labInfo->text(), QStringLiteral("Total Size:"));
    QCOMPARE(ui->labImageResult->geometry(), QRect(10, 10, 381, 501));
    QCOMPARE(ui->labImageResult->frameShape(), QFrame::Box);
    QCOMPARE(ui->labImageResult->text(), QStringLiteral("TextLabel"));
}

void TestResultDialog::scalesToPreview_data()
{
    QTest::addColumn<QSize>("sheet");
    QTest::addColumn<QSize>("preview");
    QTest::addColumn<QString>("name");
    const QString png = QStringLiteral("sheet.png");
    QTest::newRow("tall sheet shrinks to full height") << QSize(100, 1000) << QSize(50, 501) << png;
    QTest::newRow("wide sheet shrinks to full width") << QSize(1000, 100) << QSize(381, 38) << png;
    QTest::newRow("small sheet is enlarged") << QSize(200, 100) << QSize(381, 190) << png;
    QTest::newRow("exact fit keeps its size") << QSize(381, 501) << QSize(381, 501) << png;
    QTest::newRow("extreme ratio keeps one pixel") << QSize(4000, 1) << QSize(381, 1) << png;
    // Qt reads "@2x" in a file name as a device pixel ratio of 2.
    QTest::newRow("@2x name fills the preview all the same")
        << QSize(200, 100) << QSize(381, 190) << QStringLiteral("sheet@2x.png");
}

void TestResultDialog::scalesToPreview()
{
    QFETCH(QSize, sheet);
    QFETCH(QSize, preview);
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString path = dir.filePath(name);
    // Opaque, so that the pixmap's premultiplied form keeps exact colours.
    const QImage image =
        patternImage(sheet.width(), sheet.height(), 3).convertToFormat(QImage::Format_RGB32);
    QVERIFY(savePng(image, path));

    ComposeResultDialog dialog;
    dialog.setResultImage(path);
    const QPixmap pixmap = dialog.form()->labImageResult->pixmap(Qt::ReturnByValue);
    // In the screen's own pixels (run at a scale factor of 1.5 too), so that
    // nothing enlarges or smooths it again; as large as the preview's area.
    const qreal ratio = dialog.form()->labImageResult->devicePixelRatioF();
    QCOMPARE(pixmap.devicePixelRatio(), ratio);
    const QSizeF shown = QSizeF(pixmap.size()) / ratio;
    QVERIFY2(qAbs(shown.width() - preview.width()) < 1 &&
                 qAbs(shown.height() - preview.height()) < 1,
             qPrintable(QStringLiteral("%1 x %2").arg(shown.width()).arg(shown.height())));
    QCOMPARE(dialog.form()->labInfo->text(),
             QStringLiteral("Total Size: %1 x %2").arg(sheet.width()).arg(sheet.height()));
    // Nearest-pixel scaling of this very sheet, no smoothing.
    QImage expected = image.scaled(pixmap.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
    expected.setDevicePixelRatio(ratio);
    QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_RGB32), expected);
    QVERIFY(!dialog.isVisible());
}

void TestResultDialog::transparencyOverCheckerboard_data()
{
    QTest::addColumn<QRgb>("pixel");
    QTest::addColumn<QVector<QRgb>>("shown"); // every colour of the preview

    const QRgb white = qRgb(255, 255, 255);
    const QRgb grey = qRgb(204, 204, 204);
    // The colour of a fully transparent pixel must not show through.
    QTest::newRow("transparent red shows the board")
        << qRgba(255, 0, 0, 0) << QVector<QRgb>{white, grey};
    QTest::newRow("half transparent black darkens the board")
        << qRgba(0, 0, 0, 128) << QVector<QRgb>{qRgb(127, 127, 127), qRgb(102, 102, 102)};
    QTest::newRow("opaque blue hides the board")
        << qRgba(0, 0, 255, 255) << QVector<QRgb>{qRgb(0, 0, 255)};
}

void TestResultDialog::transparencyOverCheckerboard()
{
    QFETCH(QRgb, pixel);
    QFETCH(QVector<QRgb>, shown);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sheet.png"));
    QImage sheet(40, 20, QImage::Format_ARGB32);
    sheet.fill(pixel);
    QVERIFY(savePng(sheet, path));

    ComposeResultDialog dialog;
    dialog.setResultImage(path);
    const QImage preview = dialog.form()->labImageResult->pixmap(Qt::ReturnByValue).toImage();
    QCOMPARE(preview.size(), QSize(381, 190));
    QVector<QRgb> seen;
    for (int y = 0; y < preview.height(); ++y) {
        for (int x = 0; x < preview.width(); ++x) {
            const QRgb rgb = preview.pixel(x, y) | 0xff000000u;
            const auto near = [rgb](QRgb want) {
                return qAbs(qRed(rgb) - qRed(want)) <= 1 && qAbs(qGreen(rgb) - qGreen(want)) <= 1 &&
                       qAbs(qBlue(rgb) - qBlue(want)) <= 1;
            };
            const auto match = std::find_if(shown.cbegin(), shown.cend(), near);
            QVERIFY2(match != shown.cend(),
                     qPrintable(QStringLiteral("pixel %1,%2 is %3").arg(x).arg(y).arg(rgb, 0, 16)));
            if (!seen.contains(*match))
                seen << *match;
        }
    }
    QCOMPARE(seen.size(), shown.size());
}

// At any resolution (run at 144 dpi too): the size of a wide sheet and the
// button's text fit, and the preview keeps the form's size.
void TestResultDialog::textsFit()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.png"));
    QVERIFY(writeFileBytes(path, "written"));
    ComposeResultDialog dialog;
    dialog.keepSavedSheet(path, QImage(16384, 16, QImage::Format_ARGB32));
    dialog.setResultImage(path);
    QCOMPARE(dialog.form()->labImageResult->size(), QSize(381, 501));
    for (QWidget *widget : {static_cast<QWidget *>(dialog.form()->labInfo),
                            static_cast<QWidget *>(dialog.form()->btnClose)}) {
        const QString text = widget->property("text").toString();
        const QRect ink = widget->fontMetrics().tightBoundingRect(text);
        QVERIFY2(ink.width() + 4 <= widget->width() && ink.height() <= widget->height(),
                 qPrintable(text));
    }
}

void TestResultDialog::placement_data()
{
    QTest::addColumn<QRect>("owner");
    QTest::addColumn<QRect>("keep");
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("expected");

    const QRect large(0, 0, 1280, 1024);
    const QRect tall(0, 0, 1024, 1400);
    // The main window's button row lies 11 pixels inside its bottom edge.
    const auto row = [](const char *name, const QRect &owner, const QRect &available,
                        const QPoint &expected) {
        const QRect keep(owner.left() + 11, owner.bottom() - 40, owner.width() - 22, 30);
        QTest::newRow(name) << owner << keep << available << expected;
    };
    row("right of the window", QRect(0, 0, 726, 403), large, QPoint(734, 0));
    row("left when the right is too narrow", QRect(500, 50, 726, 403), large, QPoint(88, 50));
    row("top moved up to stay on screen", QRect(0, 600, 726, 403), large, QPoint(734, 467));
    row("second screen", QRect(1300, 20, 726, 403), QRect(1280, 0, 1280, 1024), QPoint(2034, 20));
    row("above the buttons when no side has room", QRect(150, 700, 726, 403), tall,
        QPoint(311, 497));
    row("below the buttons", QRect(150, 100, 726, 403), tall, QPoint(311, 500));
    row("small screen: top of the wider left side", QRect(300, 182, 726, 403),
        QRect(0, 0, 1024, 768), QPoint(0, 0));
    row("small screen: top of the wider right side", QRect(0, 182, 726, 403),
        QRect(0, 0, 1024, 768), QPoint(620, 0));
    row("right edge exactly on the screen's edge", QRect(0, 0, 868, 403), large, QPoint(876, 0));
    row("left edge exactly on the screen's edge", QRect(412, 50, 726, 403), large, QPoint(0, 50));
    row("below the buttons, reaching the screen's bottom", QRect(150, 200, 726, 403),
        QRect(0, 0, 1024, 1157), QPoint(311, 600));
    row("small screen: equal sides go right", QRect(149, 182, 726, 403), QRect(0, 0, 1024, 768),
        QPoint(620, 0));
}

void TestResultDialog::placement()
{
    QFETCH(QRect, owner);
    QFETCH(QRect, keep);
    QFETCH(QRect, available);
    QFETCH(QPoint, expected);
    const QSize size(404, 557);
    const QPoint corner = ComposeResultDialog::placementFor(owner, keep, size, available);
    QCOMPARE(corner, expected);
    QVERIFY(available.contains(QRect(corner, size)));
}

void TestResultDialog::placeDialog_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QRect>("owner");
    QTest::addColumn<QSize>("wanted");
    // Logical pixels: a scale factor of 2 on 1280 x 800 leaves 640 x 400,
    // less a panel of 14 at the top.
    const QRect scaled2(0, 14, 640, 386);
    QTest::newRow("scale 2: window fills the screen") << scaled2 << scaled2 << QSize(404, 557);
    QTest::newRow("scale 2: window at the left")
        << scaled2 << QRect(0, 14, 420, 300) << QSize(404, 557);
    QTest::newRow("1280 x 800: beside, whole")
        << QRect(0, 0, 1280, 800) << QRect(0, 0, 726, 403) << QSize(404, 557);
    QTest::newRow("tall dialog on a short screen")
        << QRect(0, 0, 1280, 400) << QRect(0, 0, 1280, 400) << QSize(404, 1114);
    QTest::newRow("second screen left of the first")
        << QRect(-1024, 0, 1024, 600) << QRect(-1024, 0, 1024, 600) << QSize(808, 1114);
    QTest::newRow("short rooms above and below: beside, narrowed")
        << QRect(0, 0, 1600, 300) << QRect(0, 0, 1260, 180) << QSize(808, 300);
}

// Inside the screen, never over the owner's buttons, never below the
// minimum, and never larger than wanted.
void TestResultDialog::placeDialog()
{
    QFETCH(QRect, available);
    QFETCH(QRect, owner);
    QFETCH(QSize, wanted);
    const QRect keep(owner.left() + 11, owner.bottom() - 40, owner.width() - 22, 30);
    const QSize minimum(160, 140);
    const QRect placed = ScreenFit::placeDialog(owner, keep, wanted, minimum, available);
    QVERIFY(available.contains(placed));
    QVERIFY(!placed.intersects(keep));
    QVERIFY(placed.width() >= minimum.width() && placed.height() >= minimum.height());
    QVERIFY(placed.width() <= wanted.width() && placed.height() <= wanted.height());
}

void TestResultDialog::shownBesideItsWindow()
{
    QWidget owner;
    owner.resize(300, 200);
    auto *button = new QPushButton(QStringLiteral("Generate"), &owner);
    button->setGeometry(10, 160, 100, 30);
    const QRect available = owner.screen()->availableGeometry();
    owner.move(available.topLeft() + QPoint(10, 10));
    owner.show();
    QVERIFY(QTest::qWaitForWindowExposed(&owner));

    ComposeResultDialog dialog(&owner);
    for (const int x : {10, available.width() - 310}) {
        owner.move(available.left() + x, available.top() + 10);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        const QRect placed = dialog.frameGeometry();
        QVERIFY2(!placed.intersects(owner.frameGeometry()),
                 qPrintable(QStringLiteral("dialog at %1,%2 over the window at x %3")
                                .arg(placed.x())
                                .arg(placed.y())
                                .arg(owner.x())));
        QVERIFY(available.contains(placed));
        dialog.hide();
    }
    // Open at the screen's edge, a wider size text must not push it off.
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.resize(dialog.minimumWidth(), dialog.height());
    dialog.move(available.right() - dialog.frameGeometry().width() + 1, available.top());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wide.png"));
    QVERIFY(savePng(QImage(16384, 16, QImage::Format_ARGB32), path));
    dialog.setResultImage(path);
    QVERIFY2(available.contains(dialog.frameGeometry()),
             qPrintable(QStringLiteral("%1 wide at x %2")
                            .arg(dialog.frameGeometry().width())
                            .arg(dialog.frameGeometry().x())));
    // Beside the window a strip too narrow for the size's text: the dialog
    // goes where the whole text fits, not "1014 x 38" there.
    dialog.hide();
    owner.setGeometry(QRect(available.topLeft(), QSize(available.width() - 298, 403)));
    button->setGeometry(10, 363, owner.width() - 20, 30);
    dialog.keepSavedSheet(path, QImage(1014, 38606, QImage::Format_Mono));
    dialog.setResultImage(path);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QLabel *info = dialog.form()->labInfo;
    QVERIFY2(info->fontMetrics().tightBoundingRect(info->text()).width() <= info->width(),
             qPrintable(QStringLiteral("%1 wide").arg(dialog.width())));
}

void TestResultDialog::missingFileKeepsPreview()
{
    QTemporaryDir dir;
    ComposeResultDialog dialog;
    dialog.setResultImage(dir.filePath(QStringLiteral("none.png")));
    QCOMPARE(dialog.form()->labImageResult->text(), QStringLiteral("TextLabel"));

    const QString path = dir.filePath(QStringLiteral("sheet.png"));
    QVERIFY(savePng(patternImage(20, 10, 1), path));
    dialog.setResultImage(path);
    QVERIFY(QFile::remove(path));
    dialog.setResultImage(path);
    QCOMPARE(dialog.form()->labImageResult->pixmap(Qt::ReturnByValue).size(), QSize(381, 190));
    QCOMPARE(dialog.form()->labInfo->text(), QStringLiteral("Total Size: 20 x 10"));
    // A sheet kept for the path is the file as written: shown without it.
    dialog.keepSavedSheet(path, patternImage(30, 15, 3));
    dialog.setResultImage(path);
    QCOMPARE(dialog.form()->labInfo->text(), QStringLiteral("Total Size: 30 x 15"));
}

void TestResultDialog::keptSheetOnlyForItsPathAndOnce()
{
    QTemporaryDir dir;
    const QString a = dir.filePath(QStringLiteral("a.png"));
    const QString b = dir.filePath(QStringLiteral("b.png"));
    QVERIFY(savePng(patternImage(20, 10, 1), a));
    QVERIFY(savePng(patternImage(20, 10, 2), b));
    ComposeResultDialog dialog;
    dialog.keepSavedSheet(a, patternImage(30, 15, 3));
    dialog.setResultImage(b);
    QCOMPARE(dialog.form()->labInfo->text(), QStringLiteral("Total Size: 20 x 10"));
    dialog.setResultImage(a);
    QCOMPARE(dialog.form()->labInfo->text(), QStringLiteral("Total Size: 20 x 10"));
    dialog.keepSavedSheet(a, patternImage(30, 15, 3));
    dialog.setResultImage(a);
    QCOMPARE(dialog.form()->labInfo->text(), QStringLiteral("Total Size: 30 x 15"));
}

void TestResultDialog::unreadableFileClearsPreview()
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.png"));
    const QString bad = dir.filePath(QStringLiteral("bad.png"));
    QVERIFY(savePng(patternImage(20, 10, 1), good));
    QFile file(bad);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not an image");
    file.close();

    ComposeResultDialog dialog;
    dialog.setResultImage(good);
    dialog.setResultImage(bad);
    QVERIFY(dialog.form()->labImageResult->pixmap(Qt::ReturnByValue).isNull());
    QCOMPARE(dialog.form()->labInfo->text(), QStringLiteral("Total Size:"));
    // Nothing to inspect: no inspector over an empty sheet.
    QTest::mouseDClick(dialog.form()->labImageResult, Qt::LeftButton);
    QVERIFY(!dialog.findChild<SheetInspector *>());
}

void TestResultDialog::closeHides()
{
    ComposeResultDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.form()->btnClose, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
}

// The inspector shows the sheet kept in memory, not the file (removed here),
// at 100 %, enlarged by whole pixels, and names the frame under the mouse.
void TestResultDialog::inspectorShowsTheKeptSheet()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.png"));
    QImage sheet = patternImage(40, 30, 5)
                       .convertToFormat(QImage::Format_RGB32)
                       .convertToFormat(QImage::Format_ARGB32);
    sheet.setPixel(0, 0, 0); // transparent: the checkerboard shows
    QVERIFY(savePng(patternImage(40, 30, 6), path));
    ComposeResultDialog dialog;
    dialog.keepSavedSheet(path, sheet);
    dialog.setPlacements({{QStringLiteral("/x/b.png"), QSize(20, 10), QPoint(10, 5), 10, 5}});
    dialog.setResultImage(path);
    QVERIFY(QFile::remove(path));
    QTest::mouseDClick(dialog.form()->labImageResult, Qt::LeftButton);
    auto *inspector = dialog.findChild<SheetInspector *>();
    QVERIFY(inspector && inspector->isVisible());
    SheetView *view = inspector->view();
    QCOMPARE(view->zoom(), 1.0);
    view->setZoom(4, QPointF(0, 0));
    const QImage shown = view->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    const QPointF corner = -view->sheetPointAt(QPointF(0, 0)) * 4; // sheet's corner in view
    for (const QPoint &pixel : {QPoint(1, 0), QPoint(39, 29), QPoint(17, 12)}) {
        for (const QPoint &within : {QPoint(0, 0), QPoint(3, 3)})
            QCOMPARE(shown.pixel((corner + pixel * 4 + within).toPoint()), sheet.pixel(pixel));
    }
    const QRgb under = shown.pixel(corner.toPoint());
    QVERIFY(under == qRgb(255, 255, 255) || under == qRgb(204, 204, 204));

    const QPointF at = corner + QPointF(12, 6) * 4 + QPointF(1, 1);
    QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at.toPoint()), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view, &move);
    QVERIFY2(inspector->statusLabel()->text().startsWith(QStringLiteral("b.png: 20 x 10 at 10, 5")),
             qPrintable(inspector->statusLabel()->text()));
    // A key moves the sheet under the still mouse: the status follows.
    QTest::keyClick(view, Qt::Key_0);
    const QString now = view->describe(view->sheetPointAt(at));
    QVERIFY(!now.startsWith(QStringLiteral("b.png")));
    QVERIFY2(inspector->statusLabel()->text().startsWith(now) &&
                 !inspector->statusLabel()->text().contains(QStringLiteral("b.png")),
             qPrintable(inspector->statusLabel()->text()));
    inspector->hide();
}

void TestResultDialog::inspectorOpensFastOnTheTallestSheet()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.png"));
    QVERIFY(writeFileBytes(path, "written"));
    QImage sheet(1014, 38606, QImage::Format_ARGB32);
    sheet.fill(qRgba(10, 200, 30, 128));
    ComposeResultDialog dialog;
    dialog.keepSavedSheet(path, sheet);
    dialog.setResultImage(path);
    QElapsedTimer timer;
    timer.start();
    dialog.inspect();
    auto *inspector = dialog.findChild<SheetInspector *>();
    const QImage shown = inspector->view()->grab().toImage();
    QVERIFY2(timer.elapsed() < 500, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!shown.isNull());
    // F shows all of it, more than 64 times the view's height as it is.
    QTest::keyClick(inspector->view(), Qt::Key_F);
    QVERIFY(38606 * inspector->view()->zoom() <= inspector->view()->height());
    inspector->view()->resize(inspector->view()->width(), 10); // fitted: 0.026 %, not 0 %
    QTest::keyClick(inspector->view(), Qt::Key_F);
    QVERIFY(inspector->statusLabel()->text().startsWith(QLatin1String("0.026 %")));
    inspector->hide();
}

void TestResultDialog::inspectorStatusFits_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("starts");
    QTest::addColumn<QString>("ends");
    const QString help = QStringLiteral("drag or arrows to move)");
    const QString longName = QStringLiteral("a-frame-name-far-too-long-for-a-narrow-window.png");
    QTest::newRow("mouse away: the help follows")
        << 800 << QString() << QStringLiteral("100 %  (wheel") << help;
    QTest::newRow("a 640-pixel screen: the help goes to the tooltip")
        << 320 << QStringLiteral("b.png") << QStringLiteral("b.png: 20 x 10 at 10, 5   100 %")
        << QStringLiteral("100 %");
    QTest::newRow("long name: shortened in the middle, position kept")
        << 240 << longName << QStringLiteral("a-f") << QStringLiteral("at 10, 5   100 %");
    QTest::newRow("long name: the size kept too")
        << 300 << longName << QStringLiteral("a-f")
        << QStringLiteral("png: 20 x 10 at 10, 5   100 %");
    QTest::newRow("markup in the name: shown as typed")
        << 480 << QStringLiteral("<b>bold.png")
        << QStringLiteral("<b>bold.png: 20 x 10 at 10, 5   100 %") << QStringLiteral("100 %");
}

// Nothing of the status line is cut off at the window's edge.
void TestResultDialog::inspectorStatusFits()
{
    QFETCH(int, width);
    QFETCH(QString, name);
    QFETCH(QString, starts);
    QFETCH(QString, ends);
    SheetInspector inspector;
    inspector.setSheet(patternImage(40, 30, 5), {{name, QSize(20, 10), QPoint(10, 5), 10, 5}});
    inspector.resize(width, 300);
    inspector.show();
    QVERIFY(QTest::qWaitForWindowExposed(&inspector));
    SheetView *view = inspector.view();
    if (!name.isEmpty()) {
        const QPointF at = -view->sheetPointAt(QPointF(0, 0)) + QPointF(12.5, 6.5);
        QMouseEvent move(QEvent::MouseMove, at, view->mapToGlobal(at.toPoint()), Qt::NoButton,
                         Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(view, &move);
    }
    const QLabel *status = inspector.statusLabel();
    const QString shown = shownText(status->text(), status->textFormat());
    QVERIFY2(shown.startsWith(starts) && shown.endsWith(ends), qPrintable(shown));
    QVERIFY2(status->fontMetrics().horizontalAdvance(status->text()) <=
                 status->contentsRect().width(),
             qPrintable(QStringLiteral("%1 in %2").arg(status->text()).arg(status->width())));
    QVERIFY(status->toolTip().endsWith(QStringLiteral("drag or arrows to move")));
}

QTEST_MAIN(TestResultDialog)
#include "tst_resultdialog.moc"
