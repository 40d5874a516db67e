#include "core/layout/sheetlayout.h"
#include "core/settings/configfile.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "window/configdialog.h"
#include "window/configdialogform.h"
#include "window/mainwindow.h"
#include "window/mainwindowform.h"
#include "window/messagebox.h"

#include <QAction>
#include <QBoxLayout>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMimeData>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sys/stat.h>

Q_DECLARE_METATYPE(QVector<int>)

namespace {

// Gives tests a view of the window's own state.
class WindowProbe : public MainWindow
{
public:
    using MainWindow::addPaths;
    using MainWindow::askSheetPath;
    using MainWindow::fileModel;
    using MainWindow::settingsDialog;
    using MainWindow::ui;

    // Shown and active with the list focused, as for a user's keys.
    bool showFocused()
    {
        show();
        activateWindow();
        ui->lstFile->setFocus();
        return QTest::qWaitForWindowActive(this);
    }
};

QAction *listAction(const WindowProbe &window, const QString &text)
{
    const QList<QAction *> actions = window.ui->lstFile->actions();
    for (QAction *action : actions) {
        if (action->text() == text)
            return action;
    }
    return nullptr;
}

// Drags `urls` onto the list and drops them, as a file manager does with
// `actions` offered. Returns the action the window took, or IgnoreAction.
Qt::DropAction dropMime(WindowProbe &window, QMimeData *mime, Qt::DropActions actions)
{
    QWidget *viewport = window.ui->lstFile->viewport();
    const QPoint at = viewport->rect().center();
    QDragEnterEvent enter(at, actions, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    if (!enter.isAccepted())
        return Qt::IgnoreAction;
    QDropEvent drop(at, actions, mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
}

Qt::DropAction dropUrls(WindowProbe &window, const QList<QUrl> &urls, Qt::DropActions actions)
{
    QMimeData mime;
    mime.setUrls(urls);
    return dropMime(window, &mime, actions);
}

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
    void messageBoxFitsTheScreen_data();
    void messageBoxFitsTheScreen();
    void startupFailure_data();
    void startupFailure();
    void settingsButtonReloads();
    void settingsButtonReportsUnreadableFile();
    void pickFilesAppends();
    void pickCancelledChangesNothing();
    void rowBackgroundIsGradientOfViewSize();
    void cleanList();
    void removeRows_data();
    void removeRows();
    void drop_data();
    void drop();
    void longPathsKeepTheirNames();
    void shortcuts_data();
    void shortcuts();
    void saveDialog_data();
    void saveDialog();
    void generateAsksAboutTheSheet();
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
    QCOMPARE(ui->lstFile->selectionMode(), QAbstractItemView::ExtendedSelection);
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

void TestMainWindow::messageBoxFitsTheScreen_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("shortened");
    const QString name(200, QLatin1Char('a'));
    QTest::newRow("a name wider than the box") << QString(300, QLatin1Char('b')) << false;
    QTest::newRow("a path taller than the screen")
        << QString(name + QLatin1Char('/')).repeated(20) << true;
    // Shortened before Qt first lays it out.
    QTest::newRow("100,000 characters") << QString(name + QLatin1Char('/')).repeated(500) << true;
}

// Whatever the text's length, the box is on the screen with no line cut,
// shows the text or its two ends, and copies the text as given.
void TestMainWindow::messageBoxFitsTheScreen()
{
    QFETCH(QString, text);
    QFETCH(bool, shortened);
    ModalAnswerer answerer;
    answerer.expectMessageBox();
    Boxes::warn(nullptr, QStringLiteral("t"), text);
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    const ModalAnswerer::Seen seen = answerer.last();
    QVERIFY(seen.onScreen);
    QVERIFY(seen.textFits);
    QCOMPARE(seen.copied, text);
    QVERIFY(seen.selectionCopied.isEmpty() || seen.selectionCopied == text);
    QCOMPARE(seen.details, shortened ? text : QString());
    const QString shown = QString(seen.text).remove(QChar(0x200B));
    if (!shortened)
        QCOMPARE(shown, text);
    const int cut = shown.indexOf(QChar(0x2026));
    QVERIFY2(!shortened || (cut > 0 && text.startsWith(shown.left(cut)) &&
                            text.endsWith(shown.mid(cut + 1)) && shown.size() - cut > 1),
             qPrintable(shown));
}

// The window ends the process when the settings cannot be read, so each
// case runs in a child copy of this test program (see main below).
void TestMainWindow::startupFailure_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QString>("reason"); // after the settings file's path
    QTest::newRow("missing file")
        << QByteArray() << QStringLiteral("0x102")
        << QStringLiteral("the file is missing or cannot be read (No such file or directory)");
    // The reason is looked for without waiting for a writer.
    QTest::newRow("settings file is a FIFO")
        << QByteArray("fifo") << QStringLiteral("0x102")
        << QStringLiteral("the file is missing or cannot be read (not a regular file)");
    QTest::newRow("wrong root element")
        << QByteArray("<Config><paths defaultSelectPath=\"\" defaultSavePath=\"\"/></Config>")
        << QStringLiteral("0x105") << QStringLiteral("the file is not a Korvane settings file");
    QTest::newRow("no parameters element")
        << QByteArray("<config><paths defaultSelectPath=\"\" defaultSavePath=\"\"/></config>")
        << QStringLiteral("0x106") << QStringLiteral("the file lacks an entry for these settings");
}

void TestMainWindow::startupFailure()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, expectedText);
    QFETCH(QString, reason);
    SettingsFixture fixture(config);
    if (config.isEmpty() || config == "fifo")
        QVERIFY(QFile::remove(fixture.configPath()));
    if (config == "fifo")
        QCOMPARE(mkfifo(QFile::encodeName(fixture.configPath()).constData(), 0600), 0);

    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KORVANE_STARTUP_CHILD"), fixture.configPath());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(child.waitForFinished(30000));
    const QString output = QString::fromUtf8(child.readAllStandardOutput()).remove(QChar(0x200B));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 1);
    // The settings file and why, on a line of their own.
    QCOMPARE(output,
             QStringLiteral("message Startup Error|Can not read settings,Error Number is: ") +
                 expectedText + QLatin1Char('\n') + QDir::toNativeSeparators(fixture.configPath()) +
                 QStringLiteral(": ") + reason + QStringLiteral("\nwindow shown: no\n"));
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
    QCOMPARE(QString(answerer.last().text).remove(QChar(0x200B)),
             QStringLiteral("Can not read settings,Error Number is: 0x105\n") +
                 QDir::toNativeSeparators(fixture.configPath()) +
                 QStringLiteral(": the file is not a Korvane settings file"));
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
    window.statusBar()->showMessage(QStringLiteral("Nothing added: x.txt (not an image)"));
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
    // The message told of an earlier drop, not of these files.
    QCOMPARE(window.statusBar()->currentMessage(), QString());
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
    // Opened larger than the screen, as on a small or scaled one: fitted.
    struct Oversize : QObject
    {
        bool eventFilter(QObject *watched, QEvent *event) override
        {
            if (event->type() == QEvent::Show && qobject_cast<QFileDialog *>(watched))
                static_cast<QWidget *>(watched)->resize(4000, 3000);
            return false;
        }
    } oversize;
    qApp->installEventFilter(&oversize);
    ModalAnswerer answerer;
    answerer.expectFileDialogCancel();
    window.ui->btnPickFile->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(rows(window.fileModel), QStringList{QStringLiteral("/x/kept.png")});
    QVERIFY(answerer.last().onScreen);
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

    // The list's context menu: Remove, then Clean List, which does the same.
    QListView *view = window.ui->lstFile;
    QCOMPARE(view->contextMenuPolicy(), Qt::ActionsContextMenu);
    QCOMPARE(view->actions().value(0), listAction(window, QStringLiteral("Remove")));
    window.fileModel->appendRow(new QStandardItem(QStringLiteral("/x/a.png")));
    view->selectionModel()->select(window.fileModel->index(0, 0), QItemSelectionModel::Select);
    QVERIFY(listAction(window, QStringLiteral("Remove"))->isEnabled());
    listAction(window, QStringLiteral("Clean List"))->trigger();
    QCOMPARE(window.fileModel->rowCount(), 0);
    QVERIFY(!listAction(window, QStringLiteral("Remove"))->isEnabled());
}

void TestMainWindow::removeRows_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QVector<int>>("selected");
    QTest::addColumn<int>("key"); // 0: the context menu's Remove
    QTest::addColumn<QStringList>("after");

    const QStringList abcd{"/x/a.png", "/x/b.png", "/x/c.png", "/x/d.png"};
    QTest::newRow("Delete removes the selected row")
        << abcd << QVector<int>{1} << int(Qt::Key_Delete)
        << QStringList{"/x/a.png", "/x/c.png", "/x/d.png"};
    QTest::newRow("Backspace removes rows apart")
        << abcd << QVector<int>{0, 2} << int(Qt::Key_Backspace)
        << QStringList{"/x/b.png", "/x/d.png"};
    QTest::newRow("Remove in the menu removes all selected")
        << abcd << QVector<int>{3, 0, 1, 2} << 0 << QStringList();
    QTest::newRow("one of two equal paths")
        << QStringList{"/x/a.png", "/x/a.png", "/x/b.png"} << QVector<int>{1} << int(Qt::Key_Delete)
        << QStringList{"/x/a.png", "/x/b.png"};
    QTest::newRow("nothing selected") << abcd << QVector<int>{} << int(Qt::Key_Delete) << abcd;
}

void TestMainWindow::removeRows()
{
    QFETCH(QStringList, before);
    QFETCH(QVector<int>, selected);
    QFETCH(int, key);
    QFETCH(QStringList, after);

    SettingsFixture fixture;
    WindowProbe window;
    for (const QString &path : before)
        window.fileModel->appendRow(new QStandardItem(path));
    QVERIFY(window.showFocused());
    QItemSelectionModel *selection = window.ui->lstFile->selectionModel();
    for (const int row : selected)
        selection->select(window.fileModel->index(row, 0), QItemSelectionModel::Select);
    QCOMPARE(selection->selectedRows().size(), selected.size());

    QAction *remove = listAction(window, QStringLiteral("Remove"));
    QVERIFY(remove);
    QCOMPARE(remove->isEnabled(), !selected.isEmpty());
    if (key)
        QTest::keyClick(window.ui->lstFile, Qt::Key(key));
    else
        remove->trigger();
    QCOMPARE(rows(window.fileModel), after);
    QVERIFY(!remove->isEnabled());
    window.hide();
}

void TestMainWindow::drop_data()
{
    QTest::addColumn<QStringList>("dropped"); // names in the folder, or URLs
    QTest::addColumn<int>("offered");
    QTest::addColumn<int>("taken");
    QTest::addColumn<QStringList>("added"); // names in the folder
    QTest::addColumn<QString>("told");      // in the status bar

    const int copyOrMove = Qt::CopyAction | Qt::MoveAction;
    // Sorted as plain strings: '.' < 'A' < 'Z' < 'b'; only names ending in
    // .png in any case, hidden ones included, nothing from the subfolder.
    const QStringList folder{"sprites/.hidden.png", "sprites/A.PNG", "sprites/Z.png",
                             "sprites/b.png"};
    QTest::newRow("folder adds its png files in order")
        << QStringList{"sprites"} << copyOrMove << int(Qt::CopyAction) << folder << QString();
    QTest::newRow("file that is no image is left out")
        << QStringList{"sprites/notes.txt", "sprites/b.png"} << copyOrMove << int(Qt::CopyAction)
        << QStringList{"sprites/b.png"} << "Added 1, left out: notes.txt (not an image)";
    QTest::newRow("drawing is left out")
        << QStringList{"sprites/drawing.svg"} << copyOrMove << int(Qt::CopyAction) << QStringList()
        << "Nothing added: drawing.svg (not an image)";
    QTest::newRow("image without a suffix is known by its content")
        << QStringList{"sprites/real"} << copyOrMove << int(Qt::CopyAction)
        << QStringList{"sprites/real"} << QString();
    QTest::newRow("files and folders in drop order, duplicates kept")
        << QStringList{"sprites/b.png", "sprites", "sprites/b.png"} << copyOrMove
        << int(Qt::CopyAction)
        << (QStringList{"sprites/b.png"} + folder + QStringList{"sprites/b.png"}) << QString();
    QTest::newRow("folder without png files adds nothing")
        << QStringList{"sprites/sub/empty"} << copyOrMove << int(Qt::CopyAction) << QStringList()
        << "Nothing added: empty (no .png file directly inside; subfolders are not searched)";
    QTest::newRow("copy when both copy and link are offered")
        << QStringList{"sprites/b.png"} << int(Qt::LinkAction | Qt::CopyAction)
        << int(Qt::CopyAction) << QStringList{"sprites/b.png"} << QString();
    QTest::newRow("link when the source offers no copy")
        << QStringList{"sprites/b.png"} << int(Qt::LinkAction | Qt::MoveAction)
        << int(Qt::LinkAction) << QStringList{"sprites/b.png"} << QString();
    // Taking a move would let the file manager delete the originals.
    QTest::newRow("move only is refused") << QStringList{"sprites/b.png"} << int(Qt::MoveAction)
                                          << int(Qt::IgnoreAction) << QStringList() << QString();
    QTest::newRow("remote files are refused")
        << QStringList{"http://example.org/a.png"} << copyOrMove << int(Qt::IgnoreAction)
        << QStringList() << QString();
    QTest::newRow("remote file beside a local one is told")
        << QStringList{"http://example.org/a.png", "sprites/b.png"} << copyOrMove
        << int(Qt::CopyAction) << QStringList{"sprites/b.png"}
        << "Added 1, left out: http://example.org/a.png (not a local file)";
    // A list's rows dragged from a program's item view: no files, unchecked.
    QTest::newRow("list rows are refused")
        << QStringList{"rows"} << copyOrMove << int(Qt::IgnoreAction) << QStringList() << QString();
    QTest::newRow("device is left out unread")
        << QStringList{"/dev/null"} << copyOrMove << int(Qt::CopyAction) << QStringList()
        << "Nothing added: null (not a regular file)";
    // A Latin-1 name: decoded as UTF-8 it would be another file's, told as missing.
    QTest::newRow("name not valid in the file-name encoding")
        << QStringList{"latin1/caf%E9.png"} << copyOrMove << int(Qt::CopyAction) << QStringList()
        << "Nothing added: \"caf\\xe9.png\" (name not valid in this system's encoding)";
    // Not "no .png file": the folder holds one that cannot be named.
    QTest::newRow("folder holding a name not valid in the file-name encoding")
        << QStringList{"latin1"} << copyOrMove << int(Qt::CopyAction) << QStringList()
        << "Nothing added: latin1 (the file name \"caf\\xe9.png\" is not valid in this system's "
           "encoding)";
    QTest::newRow("three left-out files are all named")
        << QStringList{"sprites/notes.txt", "sprites/png", "sprites/drawing.svg"} << copyOrMove
        << int(Qt::CopyAction) << QStringList()
        << "Nothing added: notes.txt (not an image), png (not an image), drawing.svg (not an "
           "image)";
    // Known by its content, as an image without a suffix is.
    QTest::newRow("drawing without a suffix is left out")
        << QStringList{"sprites/vector"} << copyOrMove << int(Qt::CopyAction) << QStringList()
        << "Nothing added: vector (not an image)";
    QTest::newRow("a fourth left-out file is counted")
        << QStringList{"sprites/notes.txt", "sprites/png", "sprites/drawing.svg",
                       "sprites/sub/empty/readme.txt"}
        << copyOrMove << int(Qt::CopyAction) << QStringList()
        << "Nothing added: notes.txt (not an image), png (not an image), drawing.svg (not an "
           "image) and 1 more";
}

void TestMainWindow::drop()
{
    QFETCH(QStringList, dropped);
    QFETCH(int, offered);
    QFETCH(int, taken);
    QFETCH(QStringList, added);
    QFETCH(QString, told);

    QTemporaryDir dir;
    QDir root(dir.path());
    QVERIFY(root.mkpath(QStringLiteral("sprites/sub/empty")));
    for (const char *name :
         {"sprites/b.png", "sprites/A.PNG", "sprites/Z.png", "sprites/.hidden.png",
          "sprites/notes.txt", "sprites/png", "sprites/sub/d.png", "sprites/sub/empty/readme.txt",
          "sprites/drawing.svg"})
        QVERIFY(writeFileBytes(root.filePath(QString::fromLatin1(name)), "x"));
    QVERIFY(patternImage(2, 2, 1).save(root.filePath(QStringLiteral("sprites/real")), "PNG"));
    QVERIFY(writeFileBytes(root.filePath(QStringLiteral("sprites/vector")),
                           "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"2\" height=\"2\"/>"));
    QVERIFY(root.mkpath(QStringLiteral("latin1")));
    const QByteArray latin1Name = QFile::encodeName(root.path()) + "/latin1/caf\xe9.png";
    const int latin1 = ::open(latin1Name.constData(), O_CREAT | O_WRONLY, 0644);
    // QDir cannot remove a name that does not decode, which would keep the folder.
    const auto unlinkLatin1 = qScopeGuard([&] { ::unlink(latin1Name.constData()); });
    QVERIFY(latin1 >= 0 && ::close(latin1) == 0);

    SettingsFixture fixture;
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(QStringLiteral("/x/first.png")));
    QList<QUrl> urls;
    for (const QString &name : dropped)
        urls << (name.contains(QLatin1Char(':')) ? QUrl(name)
                 : name.contains(QLatin1Char('%')) // already percent-encoded bytes
                     ? QUrl(QUrl::fromLocalFile(root.path()).toString() + '/' + name)
                     : QUrl::fromLocalFile(root.filePath(name)));
    if (dropped == QStringList{"rows"}) {
        std::unique_ptr<QMimeData> rowsMime(
            window.fileModel->mimeData({window.fileModel->index(0, 0)}));
        QCOMPARE(int(dropMime(window, rowsMime.get(), Qt::DropActions(offered))), taken);
    } else {
        QCOMPARE(int(dropUrls(window, urls, Qt::DropActions(offered))), taken);
    }

    QStringList expected{QStringLiteral("/x/first.png")};
    for (const QString &name : added)
        expected << root.filePath(name);
    QCOMPARE(rows(window.fileModel), expected);
    QCOMPARE(window.statusBar()->currentMessage(), told);
    window.ui->btnCleanList->click(); // the message told of rows now gone
    QCOMPARE(window.statusBar()->currentMessage(), QString());
}

// Rows that differ only in the file name must not look alike; the tooltip
// has the whole path.
void TestMainWindow::longPathsKeepTheirNames()
{
    SettingsFixture fixture;
    WindowProbe window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTemporaryDir dir;
    // Markup in a name is shown as it is.
    const QString folder = dir.filePath(QStringLiteral("a <b>long</b> folder name ").repeated(12));
    QVERIFY(QDir().mkpath(folder));
    for (const char *name : {"/one.png", "/two.png"})
        QVERIFY(writeFileBytes(folder + QLatin1String(name), "x"));
    window.addPaths({folder + QStringLiteral("/one.png"), folder + QStringLiteral("/two.png")});
    for (int row = 0; row < 2; ++row) // the same background for both
        window.fileModel->item(row)->setData(QBrush(Qt::white), Qt::BackgroundRole);
    QListView *view = window.ui->lstFile;
    QCoreApplication::processEvents(); // lays out the rows
    const QImage shown = view->viewport()->grab().toImage();
    const QRect first = view->visualRect(window.fileModel->index(0, 0));
    const QRect second = view->visualRect(window.fileModel->index(1, 0));
    QVERIFY(shown.copy(first) != shown.copy(second));
    QCOMPARE(shownText(window.fileModel->item(1)->toolTip()), folder + QStringLiteral("/two.png"));
    window.fileModel->item(1)->setText(folder + QStringLiteral("/one.png")); // edited in place
    QCOMPARE(shownText(window.fileModel->item(1)->toolTip()), folder + QStringLiteral("/one.png"));
    window.hide();
}

void TestMainWindow::shortcuts_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("opens"); // what appears: a dialog's title or box text

    QTest::newRow("Ctrl+O picks files")
        << int(Qt::Key_O) << int(Qt::ControlModifier) << QStringLiteral("file Select Files");
    QTest::newRow("Ctrl+Return generates") << int(Qt::Key_Return) << int(Qt::ControlModifier)
                                           << QStringLiteral("message Please select PNG files!");
    QTest::newRow("Ctrl+Enter on the keypad generates")
        << int(Qt::Key_Enter) << int(Qt::ControlModifier | Qt::KeypadModifier)
        << QStringLiteral("message Please select PNG files!");
    QTest::newRow("Ctrl+, opens the settings")
        << int(Qt::Key_Comma) << int(Qt::ControlModifier) << QStringLiteral("settings");
}

void TestMainWindow::shortcuts()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, opens);

    SettingsFixture fixture;
    WindowProbe window;
    QVERIFY(window.showFocused());
    ModalAnswerer answerer;
    if (opens.startsWith(QLatin1String("file")))
        answerer.expectFileDialogCancel();
    else if (opens.startsWith(QLatin1String("message")))
        answerer.expectMessageBox();
    QTest::keyClick(window.ui->lstFile, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QCOMPARE(window.settingsDialog->isVisible(), opens == QLatin1String("settings"));
    if (opens.startsWith(QLatin1String("file"))) {
        QCOMPARE(QStringLiteral("file ") + answerer.last().title, opens);
        QVERIFY(!answerer.last().saveDialog);
    } else if (opens.startsWith(QLatin1String("message"))) {
        QCOMPARE(QStringLiteral("message ") + answerer.last().text, opens);
    }
    window.settingsDialog->hide();
    window.hide();
}

void TestMainWindow::saveDialog_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("typed");       // "@/" stands for the save folder
    QTest::addColumn<QStringList>("answers"); // to the questions, in order
    QTest::addColumn<QString>("askedAbout");  // empty: no question
    QTest::addColumn<QString>("written");     // the sheet's name; empty: cancelled

    QTest::newRow("no suffix saves a png")
        << QStringList() << "keep" << QStringList() << QString() << "keep.png";
    QTest::newRow("a file named like the typed name is not the one written")
        << QStringList{"keep"} << "keep" << QStringList() << QString() << "keep.png";
    QTest::newRow("no suffix asks about the png")
        << QStringList{"keep.png"} << "keep" << QStringList{"Yes"} << "keep.png"
        << "keep.png";
    QTest::newRow("refused: back in the dialog")
        << QStringList{"keep.png"} << "keep" << QStringList{"No"} << "keep.png" << QString();
    QTest::newRow("another suffix is kept")
        << QStringList{"keep.bmp", "keep.png"} << "keep.bmp" << QStringList{"Yes"} << "keep.bmp"
        << "keep.bmp";
    // Return takes the default answer, which must keep the file.
    QTest::newRow("Return at the question keeps the file")
        << QStringList{"keep.png"} << "keep" << QStringList{"Return"} << "keep.png" << QString();
    QTest::newRow("trailing dot asks about the png")
        << QStringList{"keep.png"} << "keep." << QStringList{"Yes"} << "keep.png"
        << "keep.png";
    QTest::newRow("trailing dot refused")
        << QStringList{"keep.png"} << "keep." << QStringList{"No"} << "keep.png" << QString();
    QTest::newRow("path through a folder with a dot")
        << QStringList{"a.d/keep.png"} << "@/a.d/keep" << QStringList{"Yes"} << "keep.png"
        << "a.d/keep.png";
    QTest::newRow("only the placement file exists")
        << QStringList{"keep.txt"} << "keep" << QStringList{"No"} << "keep.txt" << QString();
    // The sheet would be its own placement file (and the run then fails).
    QTest::newRow("a .txt name is one file, named once")
        << QStringList{"keep.txt"} << "keep.txt" << QStringList{"No"} << "keep.txt" << QString();
    QTest::newRow("both exist: one question naming both")
        << QStringList{"keep.png", "keep.txt"} << "keep.png" << QStringList{"Yes"}
        << "keep.png and keep.txt"
        << "keep.png";
    QTest::newRow("a listed image is never replaced")
        << QStringList{"listed.png"} << "listed" << QStringList{"OK"} << "listed.png" << QString();
    QTest::newRow("a listed file as the placement file is never replaced")
        << QStringList{"notes.txt"} << "notes" << QStringList{"OK"} << "notes.txt" << QString();
    // Listed in a second name of the folder, as "A.png" is "a.png" where case folds.
    QTest::newRow("a listed image by a second name is never replaced")
        << QStringList{"mounted.png"} << "mounted" << QStringList{"OK"} << "mounted.png"
        << QString();
    // settings.png leads to config.xml, which a sheet there would end.
    QTest::newRow("the settings file through a link is never replaced")
        << QStringList() << "settings" << QStringList{"OK"} << "settings.png" << QString();
    QTest::newRow("a listed image's markup is shown as typed")
        << QStringList{"<b>x.png"} << "<b>x" << QStringList{"OK"} << "<b>x.png" << QString();
}

void TestMainWindow::saveDialog()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, typed);
    QFETCH(QStringList, answers);
    QFETCH(QString, askedAbout);
    QFETCH(QString, written);

    QTemporaryDir out;
    QDir root(out.path());
    QVERIFY(root.mkpath(QStringLiteral("a.d")));
    for (const QString &name : existing)
        QVERIFY(writeFileBytes(root.filePath(name), "old"));
    SettingsFixture fixture(
        SettingsFixture::config(QString(), out.path(), QStringLiteral("2"), QStringLiteral("0")));
    WindowProbe window;
    // Listed through a link to the folder: the same file by another name.
    QVERIFY(QFile::link(root.absolutePath(), root.filePath(QStringLiteral("link"))));
    window.fileModel->appendRow(
        new QStandardItem(root.filePath(QStringLiteral("link/listed.png"))));
    window.fileModel->appendRow(new QStandardItem(root.filePath(QStringLiteral("link/notes.txt"))));
    window.fileModel->appendRow(new QStandardItem(root.filePath(QStringLiteral("link/<b>x.png"))));
    window.fileModel->appendRow(
        new QStandardItem(root.filePath(QStringLiteral("bound/mounted.png"))));
    QVERIFY(root.mkpath(QStringLiteral("bound")));
    QVERIFY(QFile::link(fixture.configPath(), root.filePath(QStringLiteral("settings.png"))));
    std::optional<BindMount> bound;
    if (typed == QLatin1String("mounted") &&
        !bound.emplace(root.absolutePath(), root.filePath(QStringLiteral("bound"))).mounted)
        QSKIP("A bind mount needs root.");
    ModalAnswerer answerer;
    typed.replace(QLatin1String("@/"), root.absolutePath() + QLatin1Char('/'));
    answerer.expectFileDialog({typed}, ModalAnswerer::Overwrite::Ask);
    for (const QString &answer : answers) {
        if (answer == QLatin1String("Return")) {
            answerer.expectMessageBoxReturn();
            continue;
        }
        answerer.expectMessageBox(answer == QLatin1String("Yes")  ? QMessageBox::Yes
                                  : answer == QLatin1String("No") ? QMessageBox::No
                                                                  : QMessageBox::NoButton);
    }
    if (written.isEmpty())
        answerer.expectFileDialogCancel();

    const QString result = window.askSheetPath();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    // Some Qt versions add the suffix themselves where others leave it to
    // Generate; either way the question was about the file written.
    QCOMPARE(result.isEmpty() ? QString() : SheetLayout::sheetPathFor(result),
             written.isEmpty() ? QString() : root.filePath(written));
    const ModalAnswerer::Seen dialog = answerer.seen().first();
    QCOMPARE(dialog.title, QStringLiteral("Select Files"));
    QVERIFY(dialog.saveDialog);
    QCOMPARE(dialog.defaultSuffix, QStringLiteral("png"));
    QCOMPARE(dialog.directory, root.absolutePath());
    QCOMPARE(dialog.nameFilters, QStringList{QStringLiteral("PNG Files(*.png)")});
    QStringList questions;
    for (const ModalAnswerer::Seen &seen : answerer.seen()) {
        if (seen.kind == QLatin1String("message"))
            questions << seen.text.section(QLatin1Char('\n'), 0, 0)
                             .remove(
                                 QRegularExpression(QStringLiteral(" (already|is one|would) .*")))
                             .section(QLatin1Char('/'), -1);
    }
    QCOMPARE(questions, askedAbout.isEmpty() ? QStringList() : QStringList{askedAbout});
    for (const QString &name : existing)
        QCOMPARE(readFileBytes(root.filePath(name)), QByteArray("old"));
}

void TestMainWindow::generateAsksAboutTheSheet()
{
    QTemporaryDir out;
    const QString image = out.filePath(QStringLiteral("a.png"));
    QVERIFY(savePng(patternImage(4, 4, 1), image));
    const QString sheet = out.filePath(QStringLiteral("keep.png"));
    QVERIFY(writeFileBytes(sheet, "old"));
    SettingsFixture fixture(
        SettingsFixture::config(QString(), out.path(), QStringLiteral("2"), QStringLiteral("0")));
    WindowProbe window;
    window.fileModel->appendRow(new QStandardItem(image));
    ModalAnswerer answerer;
    answerer.expectFileDialog({QStringLiteral("keep")}, ModalAnswerer::Overwrite::Ask);
    answerer.expectMessageBox(QMessageBox::No);
    answerer.expectFileDialogCancel();
    window.ui->btnGenerate->click();
    QVERIFY2(answerer.waitAllAnswered(), qPrintable(answerer.report()));
    QVERIFY(answerer.seen().at(1).text.startsWith(QStringLiteral("keep.png already exists.")));
    QCOMPARE(readFileBytes(sheet), QByteArray("old"));
    QVERIFY(!QFile::exists(out.filePath(QStringLiteral("keep.txt"))));
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
