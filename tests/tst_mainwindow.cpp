#include "app/mainwindow.h"
#include "app/mainwindowform.h"
#include "settings/configdialog.h"
#include "settings/configdialogform.h"
#include "settings/configfile.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardItemModel>
#include <QtTest>

#include <cstdio>
#include <cstdlib>

namespace {

// Gives tests a view of the window's own state.
class WindowProbe : public MainWindow
{
public:
    using MainWindow::fileModel;
    using MainWindow::settingsDialog;
    using MainWindow::ui;
};

QStringList rows(const QStandardItemModel *model)
{
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row)
        texts << model->item(row, 0)->text();
    return texts;
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void form();
    void aboutBox();
    void startupFailure_data();
    void startupFailure();
    void settingsButtonReloads();
    void settingsButtonReportsUnreadableFile();
    void pickFilesAppends();
    void pickCancelledChangesNothing();
    void rowBackgroundIsGradientOfViewSize();
    void cleanList();
};

void TestMainWindow::cleanup()
{
    QVERIFY2(visibleTopLevels().isEmpty(), qPrintable(visibleTopLevels().join(", ")));
}

void TestMainWindow::form()
{
    SettingsFixture fixture;
    WindowProbe window;
    MainWindowForm *ui = window.ui;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Korvane"));
    QCOMPARE(window.size(), QSize(726, 403));
    QCOMPARE(window.iconSize(), QSize(32, 32));
    QVERIFY(!window.windowIcon().isNull());
    const QImage icon(QStringLiteral(":/new/prefix1/image/Korvane.ico"));
    QCOMPARE(icon.size(), QSize(32, 32));
    QVERIFY(icon.hasAlphaChannel());
    QCOMPARE(ui->label->text(), QStringLiteral("Selected  PNG  Files"));
    QCOMPARE(ui->lstFile->model(), window.fileModel);
    QCOMPARE(ui->verticalLayout_3->stretch(0), 8);
    QCOMPARE(ui->verticalLayout_3->stretch(1), 1);

    // Buttons in creation (and focus) order with their texts.
    const QStringList names{"btnPickFile", "btnCleanList", "btnGenerate", "btnSettings",
                            "pushButton"};
    const QStringList texts{"Select PNG Files", "Clean List", "Generate", "Settings...",
                            "About..."};
    for (int i = 0; i < names.size(); ++i) {
        auto *button = qobject_cast<QPushButton *>(ui->horizontalLayout_2->itemAt(i)->widget());
        QVERIFY(button);
        QCOMPARE(button->objectName(), names.at(i));
        QCOMPARE(button->text(), texts.at(i));
    }
    QVERIFY(!window.settingsDialog->isVisible());
}

void TestMainWindow::aboutBox()
{
    SettingsFixture fixture;
    WindowProbe window;
    ModalAnswerer answerer;
    answerer.expectMessageBox();
    window.ui->pushButton->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.last().title, QStringLiteral("Korvane"));
    const QStringList lines = answerer.last().text.split(QStringLiteral("\r\n"));
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.at(0), QString());
    QCOMPARE(lines.at(1), QStringLiteral("Korvane"));
    QCOMPARE(lines.at(3), QStringLiteral("If you find bugs or wanne source code,"));
    QVERIFY(lines.at(4).startsWith(QStringLiteral(" pls e-mail to ")));
    QVERIFY(lines.at(4).endsWith(QStringLiteral("@example.org")));
}

// The window ends the process when the settings cannot be read, so each
// case runs in a child copy of this test program (see main below).
void TestMainWindow::startupFailure_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("expectedText");
    QTest::newRow("missing file") << QByteArray() << QStringLiteral("0x102");
    QTest::newRow("wrong root element")
        << QByteArray("<Config><paths defaultSelectPath=\"\" defaultSavePath=\"\"/></Config>")
        << QStringLiteral("0x105");
    QTest::newRow("no parameters element")
        << QByteArray("<config><paths defaultSelectPath=\"\" defaultSavePath=\"\"/></config>")
        << QStringLiteral("0x106");
}

void TestMainWindow::startupFailure()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, expectedText);
    SettingsFixture fixture(config);
    if (config.isEmpty())
        QVERIFY(QFile::remove(fixture.configPath()));

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVANE_STARTUP_CHILD"), fixture.configPath());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(30000));
    const QString output = QString::fromUtf8(child.readAllStandardOutput());
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1);
    QCOMPARE(output,
             QStringLiteral("message Startup Error|Can not read settings,Error Number is: ") +
                 expectedText + QStringLiteral("\nwindow shown: no\n"));
    QVERIFY(!QFile::exists(fixture.configPath()) || !config.isEmpty());
}

void TestMainWindow::settingsButtonReloads()
{
    SettingsFixture fixture;
    WindowProbe window;
    configDialog *dialog = window.settingsDialog;
    configDialogForm *form = dialog->form();
    form->txtMarginPix->setText(QStringLiteral("77"));

    fixture.writeConfig(SettingsFixture::config(QStringLiteral("/in"), QStringLiteral("/out"),
                                                QStringLiteral("5"), QStringLiteral("1")));
    window.ui->btnSettings->click();
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->isModal());
    QCOMPARE(form->txtMarginPix->text(), QStringLiteral("5"));
    QCOMPARE(form->txtSelectPath->text(), QStringLiteral("/in"));
    QCOMPARE(dialog->marginPixel, 5);
    QVERIFY(form->radHorizontal->isChecked());
    form->btnCancel->click();
    QVERIFY(!dialog->isVisible());
}

void TestMainWindow::settingsButtonReportsUnreadableFile()
{
    SettingsFixture fixture;
    WindowProbe window;
    window.show();
    fixture.writeConfig("<settings/>");
    ModalAnswerer answerer;
    answerer.expectMessageBox();
    window.ui->btnSettings->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(answerer.last().title, QStringLiteral("Startup Error"));
    QCOMPARE(answerer.last().text, QStringLiteral("Can not read settings,Error Number is: 0x105"));
    QVERIFY(window.settingsDialog->isVisible());
    QVERIFY(window.isVisible());
    window.settingsDialog->hide();
    window.hide();
}

void TestMainWindow::pickFilesAppends()
{
    QTemporaryDir images;
    QStringList paths;
    for (const char *name : {"b.png", "a.png", "c.png", "d.png", "e.png"}) {
        paths << images.filePath(QString::fromLatin1(name));
        QVERIFY(savePng(patternImage(4, 4, paths.size()), paths.last()));
    }
    SettingsFixture fixture(SettingsFixture::config(images.path(), QString(), QStringLiteral("2"),
                                                    QStringLiteral("0")));
    WindowProbe window;
    ModalAnswerer answerer;
    answerer.expectFileDialog(paths.mid(0, 2));
    answerer.expectFileDialog(paths.mid(2, 3));
    answerer.expectFileDialog(paths.mid(0, 1));
    window.ui->btnPickFile->click();
    window.ui->btnPickFile->click();
    window.ui->btnPickFile->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));

    QCOMPARE(answerer.last().title, QStringLiteral("Select Files"));
    QCOMPARE(answerer.last().directory, QDir(images.path()).absolutePath());
    QCOMPARE(answerer.last().nameFilters, QStringList{QStringLiteral("PNG Files(*.png)")});
    QStringList expected = paths;
    expected << paths.first();
    // The dialog returns a multi-file pick in its own order; compare each pick as a set.
    QStringList got = rows(window.fileModel);
    QCOMPARE(got.size(), 6);
    std::sort(got.begin(), got.begin() + 2);
    std::sort(got.begin() + 2, got.begin() + 5);
    std::sort(expected.begin(), expected.begin() + 2);
    std::sort(expected.begin() + 2, expected.begin() + 5);
    QCOMPARE(got, expected);
}

void TestMainWindow::pickCancelledChangesNothing()
{
    SettingsFixture fixture;
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(QStringLiteral("/x/kept.png")));
    ModalAnswerer answerer;
    answerer.expectFileDialogCancel();
    window.ui->btnPickFile->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(rows(window.fileModel), QStringList{QStringLiteral("/x/kept.png")});
}

void TestMainWindow::rowBackgroundIsGradientOfViewSize()
{
    QTemporaryDir images;
    const QString path = images.filePath(QStringLiteral("a.png"));
    QVERIFY(savePng(patternImage(4, 4, 1), path));
    SettingsFixture fixture;
    WindowProbe window;
    window.ui->lstFile->resize(300, 200);
    ModalAnswerer answerer;
    answerer.expectFileDialog({path});
    window.ui->btnPickFile->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));

    QCOMPARE(window.fileModel->rowCount(), 1);
    const QBrush brush = window.fileModel->item(0)->background();
    const auto *gradient = static_cast<const QLinearGradient *>(brush.gradient());
    QVERIFY(gradient);
    QCOMPARE(gradient->type(), QGradient::LinearGradient);
    QCOMPARE(gradient->start(), QPointF(0, 0));
    QCOMPARE(gradient->finalStop(), QPointF(300, 200));
    const QGradientStops stops = gradient->stops();
    QCOMPARE(stops.size(), 2);
    QCOMPARE(stops.at(0), QGradientStop(0, QColor(Qt::white)));
    QCOMPARE(stops.at(1), QGradientStop(1, QColor(Qt::red)));
}

void TestMainWindow::cleanList()
{
    SettingsFixture fixture;
    WindowProbe window;
    window.ui->btnCleanList->click();
    QCOMPARE(window.fileModel->rowCount(), 0);
    window.fileModel->appendRow(new QStandardItem(QStringLiteral("/x/a.png")));
    window.fileModel->appendRow(new QStandardItem(QStringLiteral("/x/a.png")));
    window.ui->btnCleanList->click();
    QCOMPARE(window.fileModel->rowCount(), 0);
}

// Child mode for startupFailure: build the window against the given
// settings file, answer what appears and print it when the process ends.
namespace {
ModalAnswerer *childAnswerer = nullptr;
bool childWindowShown = false;

class ShowRecorder : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<MainWindow *>(watched))
            childWindowShown = true;
        return false;
    }
};

void printChildReport()
{
    for (const ModalAnswerer::Seen &seen : childAnswerer->seen())
        std::printf("%s %s|%s\n", qPrintable(seen.kind), qPrintable(seen.title),
                    qPrintable(seen.text));
    std::printf("window shown: %s\n", childWindowShown ? "yes" : "no");
    std::fflush(stdout);
}

int runStartupChild()
{
    setSettingsFilePathForTesting(qEnvironmentVariable("KORVANE_STARTUP_CHILD"));
    childAnswerer = new ModalAnswerer;
    childAnswerer->expectMessageBox();
    qApp->installEventFilter(new ShowRecorder);
    std::atexit(printChildReport);
    MainWindow window;
    window.show();
    std::printf("constructor returned\n");
    return 0;
}
} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("KORVANE_STARTUP_CHILD"))
        return runStartupChild();
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
