#include "compose/composeresultdialog.h"
#include "compose/composeresultdialogform.h"
#include "support/testsupport.h"

#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

class TestResultDialog : public QObject
{
    Q_OBJECT

private slots:
    void form();
    void scalesToPreview_data();
    void scalesToPreview();
    void missingFileKeepsPreview();
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
    QTest::newRow("tall sheet shrinks to full height") << QSize(100, 1000) << QSize(50, 501);
    QTest::newRow("wide sheet shrinks to full width") << QSize(1000, 100) << QSize(381, 38);
    QTest::newRow("small sheet is enlarged") << QSize(200, 100) << QSize(381, 190);
    QTest::newRow("exact fit keeps its size") << QSize(381, 501) << QSize(381, 501);
    QTest::newRow("extreme ratio keeps one pixel") << QSize(4000, 1) << QSize(381, 1);
}

void TestResultDialog::scalesToPreview()
{
    QFETCH(QSize, sheet);
    QFETCH(QSize, preview);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sheet.png"));
    // Opaque, so that the pixmap's premultiplied form keeps exact colours.
    const QImage image =
        patternImage(sheet.width(), sheet.height(), 3).convertToFormat(QImage::Format_RGB32);
    QVERIFY(savePng(image, path));

    ComposeResultDialog dialog;
    dialog.setResultImage(path);
    const QPixmap pixmap = dialog.form()->labImageResult->pixmap(Qt::ReturnByValue);
    QCOMPARE(pixmap.size(), preview);
    QCOMPARE(dialog.form()->labInfo->text(),
             QStringLiteral("Total Size: %1 x %2").arg(sheet.width()).arg(sheet.height()));
    // Nearest-pixel scaling of this very sheet, no smoothing.
    QCOMPARE(pixmap.toImage().convertToFormat(QImage::Format_RGB32),
             image.scaled(preview, Qt::IgnoreAspectRatio, Qt::FastTransformation));
    QVERIFY(!dialog.isVisible());
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
}

void TestResultDialog::closeHides()
{
    ComposeResultDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::mouseClick(dialog.form()->btnClose, Qt::LeftButton);
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(TestResultDialog)
#include "tst_resultdialog.moc"
