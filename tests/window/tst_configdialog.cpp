#include "core/output/atomicfile.h"
#include "core/settings/configfile.h"
#include "support/modalanswerer.h"
#include "support/testsupport.h"
#include "window/configdialog.h"
#include "window/configdialogform.h"

#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>

#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

// Settings and widget states are written "select|save|margin|orientation".
namespace {

enum class Breakage { None, Removed, NoParameters, DiskFull, LinkToLongName, BadByte, Sticky };

QString widgets(const configDialog *dialog)
{
    const configDialogForm *ui = dialog->form();
    const QString radio = ui->radVertical->isChecked()     ? QStringLiteral("vertical")
                          : ui->radHorizontal->isChecked() ? QStringLiteral("horizontal")
                                                           : QStringLiteral("none");
    return QStringList{ui->txtSelectPath->text(), ui->txtSavePath->text(), ui->txtMarginPix->text(),
                       radio}
        .join(QLatin1Char('|'));
}

QString members(const configDialog *dialog)
{
    return QStringList{dialog->defaultSelectPath, dialog->defaultSavePath,
                       QString::number(dialog->marginPixel), QString::number(dialog->Orientation)}
        .join(QLatin1Char('|'));
}

// Fills the widgets as a user would; "none" leaves the radios alone.
void edit(configDialog *dialog, const QString &state)
{
    const QStringList values = state.split(QLatin1Char('|'));
    configDialogForm *ui = dialog->form();
    ui->txtSelectPath->setText(values[0]);
    ui->txtSavePath->setText(values[1]);
    ui->txtMarginPix->setText(values[2]);
    if (values[3] == QLatin1String("horizontal"))
        ui->radHorizontal->setChecked(true);
    else if (values[3] == QLatin1String("vertical"))
        ui->radVertical->setChecked(true);
}

// Members that must survive whatever does not load successfully.
void holdOldValues(configDialog *dialog)
{
    dialog->defaultSelectPath = QStringLiteral("/old/select");
    dialog->defaultSavePath = QStringLiteral("/old/save");
    dialog->marginPixel = 77;
    dialog->Orientation = 9;
}

QByteArray configXml(const QString &state)
{
    const QStringList v = state.split(QLatin1Char('|'));
    return SettingsFixture::config(v[0], v[1], v[2], v[3]);
}

// What the file holds, "-" where an element cannot be read.
QString stored(const QString &path)
{
    const auto read = [&](const char *element, const char *first, const char *second) {
        QMap<QString, QString> map{{first, QString()}, {second, QString()}};
        if (readConfigAttributes(path, element, map) != 0)
            return QStringLiteral("-|-");
        return map.value(first) + '|' + map.value(second);
    };
    return read("paths", "defaultSelectPath", "defaultSavePath") + '|' +
           read("parameters", "marginPixel", "Orientation");
}

const QByteArray pathsOnly = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
                             "  <paths defaultSelectPath=\" /in \" defaultSavePath=\"/out\"/>\n"
                             "</config>\n";
const QByteArray parametersOnly = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config>\n"
                                  "  <parameters marginPixel=\"4\" Orientation=\"1\"/>\n"
                                  "</config>\n";

} // namespace

Q_DECLARE_METATYPE(Breakage)

class TestConfigDialog : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void formBeforeLoad();
    void loadSettings_data();
    void loadSettings();
    void loadErrors_data();
    void loadErrors();
    void saveSettings_data();
    void saveSettings();
    void saveErrors_data();
    void saveErrors();
    void okButton_data();
    void okButton();
    void cancelButton();
    void browseButtons_data();
    void browseButtons();
    void keyboard_data();
    void keyboard();
    void textsFit_data();
    void textsFit();

private:
    void showDialog();

    std::unique_ptr<SettingsFixture> fixture;
    std::unique_ptr<ModalAnswerer> answerer;
    configDialog *dialog = nullptr;
};

void TestConfigDialog::init()
{
    fixture = std::make_unique<SettingsFixture>();
    QVERIFY(fixture->isValid());
    answerer = std::make_unique<ModalAnswerer>();
    dialog = new configDialog;
}

void TestConfigDialog::cleanup()
{
    const QStringList left = visibleTopLevels();
    delete dialog;
    dialog = nullptr;
    answerer.reset();
    fixture.reset();
    QVERIFY2(left.isEmpty(), qPrintable(left.join(QStringLiteral(", "))));
}

void TestConfigDialog::showDialog()
{
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
}

void TestConfigDialog::formBeforeLoad()
{
    QCOMPARE(widgets(dialog), QStringLiteral("||2|none"));
}

void TestConfigDialog::loadSettings_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("held");

    const auto row = [](const char *name, const char *file, const char *shown, const char *held) {
        QTest::newRow(name) << QString(file) << QString(shown) << QString(held);
    };
    row("plain", "/in|/out|4|0", "/in|/out|4|vertical", "/in|/out|4|0");
    row("paths trimmed", "  /in dir  | /out |3|1", "/in dir|/out|3|horizontal", "/in dir|/out|3|1");
    row("empty paths", "||0|0", "||0|vertical", "||0|0");
    row("letters in margin", "/in|/out|abc|0", "/in|/out|0|vertical", "/in|/out|0|0");
    row("negative margin", "/in|/out|-3|0", "/in|/out|-3|vertical", "/in|/out|-3|0");
    // What OK stores for an emptied field: no number, so 0, not the bound.
    row("empty margin", "/in|/out||0", "/in|/out|0|vertical", "/in|/out|0|0");
    // Decimal, whatever the leading zero: not octal 8.
    row("margin with a leading zero", "/in|/out|010|0", "/in|/out|10|vertical", "/in|/out|10|0");
    // Past int's range: the bound, which fails the run, not a margin of 0.
    row("margin past int", "/in|/out|99999999999|0", "/in|/out|2147483647|vertical",
        "/in|/out|2147483647|0");
    row("margin past int, padded", "/in|/out| 99999999999 |0", "/in|/out|2147483647|vertical",
        "/in|/out|2147483647|0");
    row("margin below int", "/in|/out|-99999999999|0", "/in|/out|-2147483648|vertical",
        "/in|/out|-2147483648|0");
    row("orientation 2", "/in|/out|1|2", "/in|/out|1|horizontal", "/in|/out|1|2");
    row("orientation 5", "/in|/out|1|5", "/in|/out|1|horizontal", "/in|/out|1|5");
    row("orientation negative", "/in|/out|1|-1", "/in|/out|1|horizontal", "/in|/out|1|-1");
    row("orientation letters", "/in|/out|1|h", "/in|/out|1|vertical", "/in|/out|1|0");
    row("orientation past int", "/in|/out|1|99999999999", "/in|/out|1|horizontal",
        "/in|/out|1|2147483647");
    // Past a field's default limit: shown whole, so that OK saves it whole.
    const QByteArray longPath = '/' + QByteArray(40000, 'x');
    row("path of 40001 characters", longPath + "|/out|1|0", longPath + "|/out|1|vertical",
        longPath + "|/out|1|0");
}

void TestConfigDialog::loadSettings()
{
    QFETCH(QString, file);
    QFETCH(QString, shown);
    QFETCH(QString, held);

    fixture->writeConfig(configXml(file));
    holdOldValues(dialog);
    // Start from the other radio, so that the load has to move it.
    edit(dialog,
         shown.endsWith(QLatin1String("vertical")) ? "a|b|55|horizontal" : "a|b|55|vertical");
    QCOMPARE(dialog->loadSettings(), 0);
    QCOMPARE(widgets(dialog), shown);
    QCOMPARE(members(dialog), held);
}

void TestConfigDialog::loadErrors_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("pathsApplied");

    QByteArray noOrientation = pathsOnly;
    noOrientation.replace("</config>", "<parameters marginPixel=\"4\"/></config>");
    QTest::newRow("missing file") << QByteArray() << 258 << false;
    QTest::newRow("broken XML") << QByteArray("<config><paths") << 259 << false;
    QTest::newRow("no paths element") << parametersOnly << 262 << false;
    QTest::newRow("no parameters element") << pathsOnly << 262 << true;
    QTest::newRow("parameters without Orientation") << noOrientation << 263 << true;
}

void TestConfigDialog::loadErrors()
{
    QFETCH(QByteArray, content);
    QFETCH(int, error);
    QFETCH(bool, pathsApplied);

    if (content.isEmpty())
        QVERIFY(QFile::remove(fixture->configPath()));
    else
        fixture->writeConfig(content);
    holdOldValues(dialog);
    edit(dialog, "a|b|55|horizontal");

    QCOMPARE(dialog->loadSettings(), error);
    QCOMPARE(widgets(dialog),
             QString(pathsApplied ? "/in|/out|55|horizontal" : "a|b|55|horizontal"));
    QCOMPARE(members(dialog),
             QString(pathsApplied ? "/in|/out|77|9" : "/old/select|/old/save|77|9"));
    QCOMPARE(QFile::exists(fixture->configPath()), !content.isEmpty());
}

void TestConfigDialog::saveSettings_data()
{
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("file");

    const auto row = [](const char *name, const char *shown, const char *file) {
        QTest::newRow(name) << QString(shown) << QString(file);
    };
    row("vertical", "/in|/out|4|vertical", "/in|/out|4|0");
    row("horizontal", "/in|/out|4|horizontal", "/in|/out|4|1");
    row("trimmed", "  /in dir | /out  | 7 |vertical", "/in dir|/out|7|0");
    row("margin stored as typed", "/in|/out|abc|horizontal", "/in|/out|abc|1");
    row("empty fields", "|||vertical", "|||0");
    // As after a start whose parameters could not be read.
    row("neither radio checked", "/in|/out|4|none", "/in|/out|4|1");
}

void TestConfigDialog::saveSettings()
{
    QFETCH(QString, shown);
    QFETCH(QString, file);

    fixture->writeConfig(configXml("/a|/b|9|5"));
    holdOldValues(dialog);
    edit(dialog, shown);

    QCOMPARE(dialog->saveSettings(), 0);
    QCOMPARE(stored(fixture->configPath()), file);
    QCOMPARE(members(dialog), QStringLiteral("/old/select|/old/save|77|9"));
    QCOMPARE(widgets(dialog), shown);
}

void TestConfigDialog::saveErrors_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("fileAfter");

    QTest::newRow("missing file") << QByteArray() << 258 << QString("-|-|-|-");
    QTest::newRow("wrong root") << QByteArray("<Config/>") << 261 << QString("-|-|-|-");
    // The parameters could be written, but must not even be tried.
    QTest::newRow("no paths element") << parametersOnly << 262 << QString("-|-|4|1");
    QTest::newRow("no parameters element") << pathsOnly << 262 << QString(" /in |/out|-|-");
}

void TestConfigDialog::saveErrors()
{
    QFETCH(QByteArray, content);
    QFETCH(int, error);
    QFETCH(QString, fileAfter);

    if (content.isEmpty())
        QVERIFY(QFile::remove(fixture->configPath()));
    else
        fixture->writeConfig(content);
    holdOldValues(dialog);
    edit(dialog, " /new/in |/new/out|8|horizontal");

    QCOMPARE(dialog->saveSettings(), error);
    QCOMPARE(members(dialog), QStringLiteral("/old/select|/old/save|77|9"));
    QCOMPARE(stored(fixture->configPath()), fileAfter);
    QCOMPARE(QDir(fixture->filePath(QStringLiteral("config"))).isEmpty(), content.isEmpty());
}

void TestConfigDialog::okButton_data()
{
    QTest::addColumn<Breakage>("breakage");
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("edits");   // empty: nothing touched
    QTest::addColumn<QString>("message"); // the error number, then "|" and the reason
    QTest::addColumn<QString>("shownAfter");
    QTest::addColumn<QString>("heldAfter");
    QTest::addColumn<QString>("fileAfter");

    const auto row = [](const char *name, Breakage breakage, const char *initial, const char *edits,
                        const char *message, const char *shownAfter, const char *heldAfter,
                        const char *fileAfter) {
        QTest::newRow(name) << breakage << QString(initial) << QString(edits) << QString(message)
                            << QString(shownAfter) << QString(heldAfter) << QString(fileAfter);
    };
    const char *edits = " /new/in |/new/out| 6 |horizontal";
    row("saved and reloaded", Breakage::None, "/in|/out|3|0", edits, "",
        "/new/in|/new/out|6|horizontal", "/new/in|/new/out|6|1", "/new/in|/new/out|6|1");
    row("orientation 5 stored as 1", Breakage::None, "/in|/out|3|5", "", "",
        "/in|/out|3|horizontal", "/in|/out|3|1", "/in|/out|3|1");
    // Nothing could be reloaded: the user's edits stay on screen.
    row("config removed", Breakage::Removed, "/in|/out|3|0", edits,
        "0x102|the file is missing or cannot be read (No such file or directory)", edits,
        "/in|/out|3|0", "-|-|-|-");
    // Saved together or not at all: the paths are not stored either.
    row("no parameters element", Breakage::NoParameters, "/in|/out|3|0", edits,
        "0x106|the file lacks an entry for these settings", edits, "/in|/out|3|0",
        " /in |/out|-|-");
    // Nothing stored; the edits stay on screen for another try.
    // The box names the settings file, in a folder whose name is wider than the box.
    row("new file cannot be written", Breakage::DiskFull, "/in|/out|3|0", edits,
        "0x108|the new file could not be written completely (is the disk full?)", edits,
        "/in|/out|3|0", "/in|/out|3|0");
    // No temporary name fits beside the file the link leads to: written in place.
    row("config.xml a link to a long name", Breakage::LinkToLongName, "/in|/out|3|0", edits, "",
        "/new/in|/new/out|6|horizontal", "/new/in|/new/out|6|1", "/new/in|/new/out|6|1");
    // Writable, but not to be renamed over by a user without CAP_FOWNER.
    row("another user's file in a sticky folder: rewritten in place", Breakage::Sticky,
        "/in|/out|3|0", edits, "", "/new/in|/new/out|6|horizontal", "/new/in|/new/out|6|1",
        "/new/in|/new/out|6|1");
    row("file changed meanwhile: held paths follow it", Breakage::NoParameters, "/a|/b|3|0", edits,
        "0x106|the file lacks an entry for these settings", edits, "/in|/out|3|0",
        " /in |/out|-|-");
    // A folder name as Browse can return it, holding a character XML cannot carry.
    row("value the file cannot carry", Breakage::None, "/in|/out|3|0",
        "/new/in\x01|/new/out|6|horizontal",
        "0x109|a value holds a character the file cannot store",
        "/new/in\x01|/new/out|6|horizontal", "/in|/out|3|0", "/in|/out|3|0");
    // The values are fine; a byte elsewhere in the file is what cannot be kept.
    row("byte the file's encoding cannot decode", Breakage::BadByte, "/in|/out|3|0", edits,
        "0x109|the file holds bytes that are not valid in its encoding (UTF-8)", edits,
        "/in|/out|3|0", "/in|/out|3|0");
    row("margin the file cannot carry", Breakage::None, "/in|/out|3|0",
        "/new/in|/new/out|6\x01|horizontal", "0x109", "/new/in|/new/out|6\x01|horizontal",
        "/in|/out|3|0", "/in|/out|3|0");
}

void TestConfigDialog::okButton()
{
    QFETCH(Breakage, breakage);
    QFETCH(QString, initial);
    QFETCH(QString, edits);
    QFETCH(QString, message);
    QFETCH(QString, shownAfter);
    QFETCH(QString, heldAfter);
    QFETCH(QString, fileAfter);

    QString path = fixture->configPath();
    if (breakage == Breakage::DiskFull) {
        path = fixture->filePath(QString(200, 'f') + "/config.xml");
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        setSettingsFilePathForTesting(path);
    }
    if (breakage == Breakage::Sticky) {
        path = fixture->filePath(QStringLiteral("shared/config.xml"));
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        setSettingsFilePathForTesting(path);
    }
    writeFileBytes(path, configXml(initial));
    QCOMPARE(dialog->loadSettings(), 0);
    struct stat before = {};
    auto noFault = qScopeGuard([] { setWriteFaultForTesting(WriteStep::None, 0); });
    if (breakage == Breakage::Sticky) {
        // Only root can give the file and its folder to another user.
        if (geteuid() != 0)
            QSKIP("Giving a file to another user needs root.");
        const QByteArray folder = QFile::encodeName(QFileInfo(path).path());
        QVERIFY(chmod(folder.constData(), 01777) == 0 && chmod(QFile::encodeName(path), 0666) == 0);
        QVERIFY(chown(folder.constData(), 65534, 65534) == 0);
        QVERIFY(chown(QFile::encodeName(path).constData(), 65534, 65534) == 0);
        QCOMPARE(stat(QFile::encodeName(path).constData(), &before), 0);
        setWriteFaultForTesting(WriteStep::Sticky, -1);
    }
    if (!edits.isEmpty())
        edit(dialog, edits);
    if (breakage == Breakage::Removed)
        QVERIFY(QFile::remove(path));
    if (breakage == Breakage::NoParameters)
        fixture->writeConfig(pathsOnly);
    if (breakage == Breakage::BadByte)
        fixture->writeConfig(configXml(initial) + "<!-- caf\xe9 -->\n");
    if (breakage == Breakage::LinkToLongName) {
        const QString target = QFileInfo(path).absolutePath() + '/' + QString(250, 'c') + ".xml";
        QVERIFY(QFile::rename(path, target) && QFile::link(target, path));
    }
    showDialog();

    if (!message.isEmpty())
        answerer->expectMessageBox();
    std::optional<FileSizeLimit> diskFull;
    if (breakage == Breakage::DiskFull)
        QVERIFY(diskFull.emplace(16).isActive());
    QTest::mouseClick(dialog->form()->btnOK, Qt::LeftButton);
    diskFull.reset();
    QVERIFY2(answerer->waitAllAnswered(), qPrintable(answerer->report()));
    QCOMPARE(answerer->seen().size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) {
        QCOMPARE(answerer->last().title, QStringLiteral("Save Error"));
        QVERIFY(answerer->last().onScreen);
        QVERIFY(answerer->last().textFits);
        // The reason, naming the file, on a line of its own (wrapped
        // where it must be, at zero-width spaces).
        const QStringList lines =
            QString(answerer->last().text).remove(QChar(0x200B)).split(QLatin1Char('\n'));
        const QStringList expected = message.split(QLatin1Char('|'));
        QCOMPARE(lines.value(0),
                 QStringLiteral("Can not save settings,Error Number is: ") + expected[0]);
        QVERIFY2(lines.value(1).startsWith(QDir::toNativeSeparators(path) + QStringLiteral(": ") +
                                           expected.value(1)),
                 qPrintable(lines.value(1)));
    }
    // A failed save keeps the dialog open.
    QCOMPARE(dialog->isVisible(), !message.isEmpty());
    dialog->hide();
    QCOMPARE(widgets(dialog), shownAfter);
    QCOMPARE(members(dialog), heldAfter);
    QCOMPARE(stored(path), fileAfter);
    struct stat after = {};
    if (breakage == Breakage::Sticky) {
        QCOMPARE(stat(QFile::encodeName(path).constData(), &after), 0);
        QCOMPARE(after.st_ino, before.st_ino);
    }
}

void TestConfigDialog::cancelButton()
{
    fixture->writeConfig(configXml("/in|/out|3|1"));
    QCOMPARE(dialog->loadSettings(), 0);
    const QByteArray before = fixture->readConfig();
    edit(dialog, "/new/in|/new/out|6|vertical");
    showDialog();

    QTest::mouseClick(dialog->form()->btnCancel, Qt::LeftButton);
    QVERIFY2(answerer->waitAllAnswered(), qPrintable(answerer->report()));
    QVERIFY(answerer->seen().isEmpty());
    QVERIFY(!dialog->isVisible());
    QCOMPARE(fixture->readConfig(), before);
    QCOMPARE(members(dialog), QStringLiteral("/in|/out|3|1"));
    QCOMPARE(dialog->loadSettings(), 0);
    QCOMPARE(widgets(dialog), QStringLiteral("/in|/out|3|horizontal"));
}

void TestConfigDialog::browseButtons_data()
{
    QTest::addColumn<bool>("selectButton");
    QTest::addColumn<bool>("choose");
    QTest::addColumn<bool>("emptyField");

    QTest::newRow("select: folder chosen") << true << true << false;
    QTest::newRow("select: cancel keeps field") << true << false << false;
    QTest::newRow("select: cancel keeps empty field") << true << false << true;
    QTest::newRow("save: folder chosen") << false << true << false;
    QTest::newRow("save: cancel keeps field") << false << false << false;
    QTest::newRow("save: cancel keeps empty field") << false << false << true;
}

void TestConfigDialog::browseButtons()
{
    QFETCH(bool, selectButton);
    QFETCH(bool, choose);
    QFETCH(bool, emptyField);

    QDir dir(fixture->dir());
    for (const char *name : {"select-start", "save-start", "typed", "chosen"})
        QVERIFY(dir.mkpath(QLatin1String(name)));
    const QString start = dir.absoluteFilePath(selectButton ? "select-start" : "save-start");
    const QString chosen = dir.absoluteFilePath(QStringLiteral("chosen"));
    fixture->writeConfig(configXml(dir.absoluteFilePath(QStringLiteral("select-start")) + '|' +
                                   dir.absoluteFilePath(QStringLiteral("save-start")) + "|2|0"));
    QCOMPARE(dialog->loadSettings(), 0);
    const QString held = members(dialog);

    // The field shows another existing folder than the one stored.
    QLineEdit *field = selectButton ? dialog->form()->txtSelectPath : dialog->form()->txtSavePath;
    QLineEdit *other = selectButton ? dialog->form()->txtSavePath : dialog->form()->txtSelectPath;
    field->setText(emptyField ? QString() : dir.absoluteFilePath(QStringLiteral("typed")));
    const QString before = field->text();
    const QString otherBefore = other->text();
    showDialog();

    if (choose)
        answerer->expectFileDialog({chosen});
    else
        answerer->expectFileDialogCancel();
    QTest::mouseClick(selectButton ? dialog->form()->btnSelectPath : dialog->form()->btnSavePath,
                      Qt::LeftButton);
    QVERIFY2(answerer->waitAllAnswered(), qPrintable(answerer->report()));
    QCOMPARE(answerer->seen().size(), 1);
    QCOMPARE(answerer->last().title, QStringLiteral("Select Directory"));
    QCOMPARE(answerer->last().directory, start);
    QCOMPARE(QDir::cleanPath(field->text()), choose ? chosen : before);
    QCOMPARE(other->text(), otherBefore);
    QCOMPARE(members(dialog), held);
    QVERIFY(dialog->isVisible());
    dialog->hide();
}

void TestConfigDialog::keyboard_data()
{
    QTest::addColumn<QString>("focus"); // "a>b": from a, the key moves the focus to b
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("saved");

    QTest::newRow("Return in the select path") << "txtSelectPath" << int(Qt::Key_Return) << true;
    QTest::newRow("Return in the save path") << "txtSavePath" << int(Qt::Key_Return) << true;
    QTest::newRow("Return in the margin") << "txtMarginPix" << int(Qt::Key_Return) << true;
    QTest::newRow("keypad Enter in the margin") << "txtMarginPix" << int(Qt::Key_Enter) << true;
    QTest::newRow("Return on a radio button") << "radHorizontal" << int(Qt::Key_Return) << true;
    // Not the folder chooser: the answerer would report it as unexpected.
    QTest::newRow("Return on a browse button") << "btnSelectPath" << int(Qt::Key_Return) << true;
    QTest::newRow("Return on Cancel") << "btnCancel" << int(Qt::Key_Return) << true;
    QTest::newRow("Escape in a field") << "txtSavePath" << int(Qt::Key_Escape) << false;
    QTest::newRow("Escape on OK") << "btnOK" << int(Qt::Key_Escape) << false;
    // Tab follows the form as it reads: each path, then its browse button.
    QTest::newRow("Tab from a path to its browse button")
        << "txtSelectPath>btnSelectPath" << int(Qt::Key_Tab) << false;
    QTest::newRow("Tab from the orientation to the margin beside it")
        << "radHorizontal>txtMarginPix" << int(Qt::Key_Tab) << false;
}

void TestConfigDialog::keyboard()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(bool, saved);

    fixture->writeConfig(configXml("/in|/out|3|0"));
    QCOMPARE(dialog->loadSettings(), 0);
    edit(dialog, "/new/in|/new/out|6|horizontal");
    showDialog();
    auto *target = dialog->findChild<QWidget *>(focus.section(QLatin1Char('>'), 0, 0));
    QVERIFY(target);
    target->setFocus();

    QTest::keyClick(target, Qt::Key(key));
    QVERIFY2(answerer->waitAllAnswered(), qPrintable(answerer->report()));
    QVERIFY(answerer->seen().isEmpty());
    if (focus.contains(QLatin1Char('>'))) {
        QWidget *now = dialog->focusWidget();
        QCOMPARE(now ? now->objectName() : QString(), focus.section(QLatin1Char('>'), 1));
        QVERIFY(dialog->isVisible());
        dialog->hide();
    }
    QVERIFY(!dialog->isVisible());
    QCOMPARE(stored(fixture->configPath()),
             QString(saved ? "/new/in|/new/out|6|1" : "/in|/out|3|0"));
}

// The forms place every text at fixed coordinates for Arial's metrics; a
// substitute with other metrics cuts texts off ("Default Select Pa").
void TestConfigDialog::textsFit_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"label", "label_2", "label_3", "radVertical", "radHorizontal",
                             "btnSelectPath", "btnCancel", "btnOK", "groupBox", "txtMarginPix"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestConfigDialog::textsFit()
{
    QFETCH(QString, name);
    showDialog();
    auto *widget = dialog->findChild<QWidget *>(name);
    QVERIFY(widget);
    const QFontMetrics metrics(widget->font());
    QString text;
    int room = widget->contentsRect().width();
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        text = label->text();
    } else if (auto *radio = qobject_cast<QRadioButton *>(widget)) {
        text = radio->text();
        room -= radio->sizeHint().width() - metrics.horizontalAdvance(text); // the indicator
    } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
        text = button->text();
        room -= 2 * button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    } else if (auto *group = qobject_cast<QGroupBox *>(widget)) {
        text = group->title();
        room -= 16; // the frame's corners
    } else if (auto *field = qobject_cast<QLineEdit *>(widget)) {
        text = field->text(); // it scrolls: only its height counts
        room = INT_MAX;
    }
    QVERIFY(!text.isEmpty());

    // Where the text's ink really ends, drawn without any clipping.
    QImage ink(metrics.horizontalAdvance(text) + 4 * metrics.height(), 2 * metrics.height(),
               QImage::Format_ARGB32);
    ink.fill(Qt::transparent);
    QPainter painter(&ink);
    painter.setFont(widget->font());
    painter.drawText(0, metrics.ascent(), text);
    painter.end();
    int inkWidth = 0;
    for (int x = 0; x < ink.width(); ++x) {
        for (int y = 0; y < ink.height(); ++y) {
            if (qAlpha(ink.pixel(x, y)) > 64)
                inkWidth = x + 1;
        }
    }
    if (inkWidth > room || metrics.ascent() + metrics.descent() > widget->height()) {
        const QString shot =
            QDir::current().absoluteFilePath(QStringLiteral("settings-clipped.png"));
        dialog->grab().save(shot);
        dialog->hide();
        QFAIL(qPrintable(QStringLiteral("\"%1\" needs %2 x %3 pixels in %4, has %5 x %6; see %7")
                             .arg(text)
                             .arg(inkWidth)
                             .arg(metrics.ascent() + metrics.descent())
                             .arg(QFontInfo(widget->font()).family())
                             .arg(room)
                             .arg(widget->height())
                             .arg(shot)));
    }
    dialog->hide();
}

// The forms were drawn for the usual desktop resolution; the offscreen
// platform's own is 100 dpi.
int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_FONT_DPI"))
        qputenv("QT_FONT_DPI", "96");
    QApplication app(argc, argv);
    TestConfigDialog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_configdialog.moc"
