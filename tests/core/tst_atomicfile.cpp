#include "core/output/atomicfile.h"

#include "support/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <QtTest>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <future>
#include <memory>
#include <optional>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <utime.h>

Q_DECLARE_METATYPE(WriteStep)

namespace {

// Clears the injected faults however the test ends.
struct FaultGuard
{
    ~FaultGuard() { setWriteFaultForTesting(WriteStep::None, 0); }
};

// Gives `path` to user and group 65534, as only root may; false where the
// test runs as that user, for whom nothing would change.
bool giveToAnotherUser(const QString &path)
{
    return geteuid() != 65534 && chown(QFile::encodeName(path).constData(), 65534, 65534) == 0;
}

// Three outputs as a run writes them: an existing placement file, a new JSON
// file and an existing sheet in a second folder, so that two folders are
// synced.
struct OutputSet
{
    QTemporaryDir dir;
    QVector<FileContent> files;

    OutputSet()
    {
        QDir(dir.path()).mkdir("sub");
        files = {{dir.filePath("a.txt"), "new placement"},
                 {dir.filePath("a.json"), "new json"},
                 {dir.filePath("sub/a.png"), "new sheet"}};
        writeFileBytes(files[0].path, "old placement");
        writeFileBytes(files[2].path, "old sheet");
    }

    // Every entry of both folders with its bytes.
    QStringList contents() const
    {
        QStringList out;
        for (const QString &folder : {QString(), QStringLiteral("sub/")}) {
            for (const QString &name : entriesIn(dir.filePath(folder))) {
                if (name != "sub")
                    out << folder + name + "=" + readFileBytes(dir.filePath(folder + name));
            }
        }
        return out;
    }
    static QStringList oldSet() { return {"a.txt=old placement", "sub/a.png=old sheet"}; }
    static QStringList newSet()
    {
        return {"a.json=new json", "a.txt=new placement", "sub/a.png=new sheet"};
    }
};

} // namespace

class TestAtomicFile : public QObject
{
    Q_OBJECT

private slots:
    void atomicWriteSucceeds_data();
    void atomicWriteSucceeds();
    void atomicWriteIntoMissingFolder();
    void atomicWriteFailureKeepsTarget_data();
    void atomicWriteFailureKeepsTarget();
    void setReplaced_data();
    void setReplaced();
    void faultKeepsOldSet_data();
    void faultKeepsOldSet();
    void firstFailureIsTheReason_data();
    void firstFailureIsTheReason();
    void removalIsPartOfTheCommit_data();
    void removalIsPartOfTheCommit();
    void failedRollbackSaysWhereOldFilesAre_data();
    void failedRollbackSaysWhereOldFilesAre();
    void lockHeldByAnotherRun_data();
    void lockHeldByAnotherRun();
    void filesLeftBehind_data();
    void filesLeftBehind();
    void deadRunsFilesHoldTheLastInodes();
    void deadRunsBackupGoesBack_data();
    void deadRunsBackupGoesBack();
    void racingWritersLeaveOneSet_data();
    void racingWritersLeaveOneSet();
    void stagedNameTakenMeanwhile();
    void signalWaitsForTheSet_data();
    void signalWaitsForTheSet();
    void refusesOutputThatIsNotAFile_data();
    void refusesOutputThatIsNotAFile();
    void writesThroughLink_data();
    void writesThroughLink();
    void sameFile_data();
    void sameFile();
};

void TestAtomicFile::atomicWriteSucceeds_data()
{
    QTest::addColumn<QByteArray>("existing"); // null: no file before
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("fileName");

    const QString name("sheet.txt");
    QTest::newRow("new file") << QByteArray() << QByteArray("a.png,1,2,3,4\r\n") << name;
    QTest::newRow("replaces longer file")
        << QByteArray(5000, 'o') << QByteArray("short\r\n") << name;
    QTest::newRow("empty data truncates") << QByteArray("old") << QByteArray("") << name;
    // Written in steps of 1 MiB: every byte in its place, the last step short.
    QByteArray steps(int(5 << 19) + 7, Qt::Uninitialized);
    for (int i = 0; i < steps.size(); ++i)
        steps[i] = char(i % 251);
    QTest::newRow("several write steps") << QByteArray("old") << steps << name;
    // No suffixed temporary name fits beside it: a short one is used.
    QTest::newRow("name too long for a suffixed temporary")
        << QByteArray("old") << QByteArray("new") << QString(250, 'n');
    QTest::newRow("name too long for its lock file")
        << QByteArray("old") << QByteArray("new") << QString(251, 'n');
}

void TestAtomicFile::atomicWriteSucceeds()
{
    QFETCH(QByteArray, existing);
    QFETCH(QByteArray, data);
    QFETCH(QString, fileName);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(fileName);
    if (!existing.isNull())
        QVERIFY(writeFileBytes(path, existing));

    QString error = "untouched";
    QVERIFY2(writeFileAtomically(path, data, &error), qPrintable(error));
    QCOMPARE(readFileBytes(path), data);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{fileName});
}

void TestAtomicFile::atomicWriteIntoMissingFolder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("missing/sheet.txt");

    QString error;
    QVERIFY(!writeFileAtomically(path, "data", &error));
    QVERIFY2(error.contains(path), qPrintable(error));
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(QDir(dir.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)
                .isEmpty());
}

void TestAtomicFile::atomicWriteFailureKeepsTarget_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("dataSize");
    QTest::addColumn<bool>("limitFileSize");

    // These fail for root too: a file size limit makes writing fail. Small
    // data stays in the write buffer, so that failure only shows when the
    // buffer is flushed.
    QTest::newRow("write fails") << "sheet.txt" << 256 * 1024 << true;
    QTest::newRow("buffered write fails") << "sheet.txt" << 8 * 1024 << true;
}

void TestAtomicFile::atomicWriteFailureKeepsTarget()
{
    QFETCH(QString, fileName);
    QFETCH(int, dataSize);
    QFETCH(bool, limitFileSize);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(fileName);
    const QByteArray old("old contents\r\n");
    QVERIFY(writeFileBytes(path, old));

    QString error;
    bool written = true;
    {
        const QByteArray data(dataSize, 'x');
        std::unique_ptr<FileSizeLimit> limit;
        if (limitFileSize) {
            limit.reset(new FileSizeLimit(1024));
            QVERIFY(limit->isActive());
        }
        written = writeFileAtomically(path, data, &error);
    }
    QVERIFY(!written);
    QVERIFY2(error.contains(path), qPrintable(error));
    QCOMPARE(readFileBytes(path), old);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{fileName});
}

void TestAtomicFile::setReplaced_data()
{
    QTest::addColumn<bool>("noHardLinks");
    // The output whose permissions cannot change, as on FAT through FUSE; -2: none.
    QTest::addColumn<int>("noPermissions");
    QTest::addColumn<int>("owner"); // of the sheet and its group; -1: this user
    // Where an ACL lets user 65534 read: "file" the sheet, "folder" as its
    // folder's default, given to new files in it.
    QTest::addColumn<QString>("acl");
    // The sheet is write-only (0200) when it is staged, and gets its mode
    // while the run waits for the lock; its staged file is then given the
    // mode again, though its owner may not read it.
    QTest::addColumn<bool>("writeOnlyMeanwhile");

    QTest::newRow("old files kept as hard links") << false << -2 << -1 << QString() << false;
    QTest::newRow("old files moved aside") << true << -2 << -1 << QString() << false;
    QTest::newRow("permissions that cannot change, and need not")
        << false << 0 << -1 << QString() << false;
    // Staged wider than 0640, it could be opened by others and read meanwhile.
    QTest::newRow("a file staged with no more rights than its old one")
        << false << 2 << -1 << QString() << false;
    QTest::newRow("another user's file keeps its owner and group")
        << false << -2 << 65534 << QString() << false;
    // Without it the file's group would get the read right its ACL gave one user.
    QTest::newRow("a file's ACL carries over") << false << -2 << -1 << "file" << false;
    QTest::newRow("a folder's default ACL is not given to a file without one")
        << false << -2 << -1 << "folder" << false;
    QTest::newRow("a write-only file's mode changed while the run waits")
        << false << -2 << -1 << QString() << true;
}

void TestAtomicFile::setReplaced()
{
    QFETCH(bool, noHardLinks);
    QFETCH(int, noPermissions);
    QFETCH(int, owner);
    QFETCH(QString, acl);
    QFETCH(bool, writeOnlyMeanwhile);

    FaultGuard guard;
    if (noHardLinks)
        setWriteFaultForTesting(WriteStep::Backup, -1);
    if (noPermissions >= 0) // a.txt has a new file's mode
        setWriteFaultForTesting(WriteStep::KeepMode, noPermissions);
    OutputSet set;
    QVERIFY(set.dir.isValid());
    const QByteArray sheet = QFile::encodeName(set.files[2].path);
    if (owner >= 0 && !giveToAnotherUser(set.files[2].path))
        QSKIP("Giving a file to another user needs root.");
    QVERIFY(QFile::setPermissions(set.files[2].path,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    // Tag, rights and id of each entry: owner rw, user 65534 r, the file's
    // group nothing, mask r, others nothing; the mode stays 0640.
    const char *aclName = acl == "file" ? "system.posix_acl_access" : "system.posix_acl_default";
    const QByteArray aclPath = acl == "file" ? sheet : QFile::encodeName(set.dir.filePath("sub"));
    QByteArray aclBytes("\x02\0\0\0", 4);
    for (const std::array<quint32, 3> &e : std::initializer_list<std::array<quint32, 3>>{
             {1, 6, ~0u}, {2, 4, 65534}, {4, 0, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}}) {
        const quint16 tagAndRights[2] = {quint16(e[0]), quint16(e[1])};
        aclBytes += QByteArray(reinterpret_cast<const char *>(tagAndRights), 4) +
                    QByteArray(reinterpret_cast<const char *>(&e[2]), 4);
    }
    if (!acl.isEmpty() && setxattr(aclPath.constData(), aclName, aclBytes.constData(),
                                   size_t(aclBytes.size()), 0) != 0)
        QSKIP("No ACLs on this file system.");

    WriteOptions options;
    if (writeOnlyMeanwhile) {
        QVERIFY(QFile::setPermissions(set.files[2].path, QFile::WriteOwner));
        options.removeUnderLock = [&] {
            QFile::setPermissions(set.files[2].path,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
            setWriteFaultForTesting(WriteStep::Reopen, 2);
            return QStringList();
        };
    }

    QString error;
    QVERIFY2(writeFilesAtomically(set.files, options, &error), qPrintable(error));
    QCOMPARE(set.contents(), OutputSet::newSet());
    struct stat st;
    QCOMPARE(stat(sheet.constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0640));
    if (!acl.isEmpty()) {
        char kept[256];
        const ssize_t size =
            getxattr(sheet.constData(), "system.posix_acl_access", kept, sizeof kept);
        QCOMPARE(size >= 0 ? QByteArray(kept, int(size)) : QByteArray(),
                 acl == "file" ? aclBytes : QByteArray());
    }
    if (owner >= 0) {
        QCOMPARE(st.st_uid, uid_t(owner));
        QCOMPARE(st.st_gid, gid_t(owner));
    }
}

void TestAtomicFile::faultKeepsOldSet_data()
{
    QTest::addColumn<WriteStep>("step");
    QTest::addColumn<int>("index");
    QTest::addColumn<bool>("noHardLinks");
    QTest::addColumn<int>("added"); // new files after the three
    // The fault is set once the lock is held, and the old file's permissions
    // are changed then, so that they are given to the staged file again.
    QTest::addColumn<bool>("underLock");
    // The output is another user's, with rights for its group that others lack.
    QTest::addColumn<bool>("othersGroup");

    const QVector<QPair<WriteStep, const char *>> steps{{WriteStep::Write, "write"},
                                                        {WriteStep::Sync, "sync"},
                                                        {WriteStep::Close, "close"},
                                                        {WriteStep::Rename, "rename"}};
    for (const auto &step : steps) {
        for (int i = 0; i < 3; ++i)
            QTest::addRow("%s fails at output %d", step.second, i)
                << step.first << i << false << 0 << false << false;
    }
    // Outputs 0 and 1 share a folder, which is synced once.
    QTest::newRow("folder sync fails at output 0")
        << WriteStep::SyncFolder << 0 << false << 0 << false << false;
    QTest::newRow("folder sync fails at output 2")
        << WriteStep::SyncFolder << 2 << false << 0 << false << false;
    QTest::newRow("old mode refused at output 0")
        << WriteStep::KeepMode << 0 << false << 0 << false << false;
    QTest::newRow("old mode refused at output 2")
        << WriteStep::KeepMode << 2 << false << 0 << false << false;
    // The new file would give the group's rights to the writer's own group.
    QTest::newRow("old group refused at output 2")
        << WriteStep::KeepOwner << 2 << false << 0 << false << true;
    // Not taken for a file system without hard links: the old file must
    // not be replaced with no copy kept.
    QTest::newRow("old file cannot be kept")
        << WriteStep::LinkError << 2 << false << 0 << false << false;
    QTest::newRow("old mode changed meanwhile, refused under the lock")
        << WriteStep::KeepMode << 2 << false << 0 << true << false;
    for (int i = 0; i < 3; ++i)
        QTest::addRow("no hard links, rename fails at output %d", i)
            << WriteStep::Rename << i << true << 0 << false << false;
    QTest::newRow("no hard links, folder sync fails")
        << WriteStep::SyncFolder << 2 << true << 0 << false << false;
    QTest::newRow("no hard links, old file cannot be moved aside")
        << WriteStep::MoveAside << 2 << true << 0 << false << false;
    const int journal = JournalFaultIndex;
    for (const auto &step : steps) { // the journal of a set of three
        if (step.first != WriteStep::Rename)
            QTest::addRow("journal %s fails", step.second)
                << step.first << journal << false << 0 << false << false;
    }
    QTest::newRow("journal folder sync fails")
        << WriteStep::SyncFolder << journal << false << 0 << false << false;
    // After the set is whole: it goes back, and the journal stays.
    QTest::newRow("journal cannot be removed")
        << WriteStep::Cleanup << journal << false << 0 << false << false;
    QTest::newRow("journal's removal cannot be synced")
        << WriteStep::SyncFolder << JournalEndFaultIndex << false << 0 << false << false;
    // Files are written and synced in batches of 16.
    QTest::newRow("sync fails at the last of the first batch")
        << WriteStep::Sync << 15 << false << 17 << false << false;
    QTest::newRow("sync fails in the second batch")
        << WriteStep::Sync << 18 << false << 17 << false << false;
}

// A file removed in the same commit comes back when the commit fails, and
// is gone, with nothing left beside it, when it succeeds.
void TestAtomicFile::removalIsPartOfTheCommit_data()
{
    QTest::addColumn<WriteStep>("step");
    QTest::addColumn<int>("index");
    // One more file to remove, whose name aside would be longer than a path
    // may be: it cannot be removed so that a rollback could bring it back.
    QTest::addColumn<bool>("unmovable");
    // A fourth output, last, beside the first: its folder is synced before
    // its turn, so only the removed file's folder sync has its index.
    QTest::addColumn<bool>("fourth");
    QTest::newRow("no fault") << WriteStep::None << 0 << false << false;
    QTest::newRow("rename fails before the removal") << WriteStep::Rename << 2 << false << false;
    QTest::newRow("folder sync fails after the removal")
        << WriteStep::SyncFolder << 2 << false << false;
    QTest::newRow("the removed file's folder sync fails")
        << WriteStep::SyncFolder << 3 << false << true;
    QTest::newRow("a file cannot be moved aside") << WriteStep::None << 0 << true << false;
    QTest::newRow("moving a file aside fails") << WriteStep::MoveAside << -1 << false << false;
}

void TestAtomicFile::removalIsPartOfTheCommit()
{
    QFETCH(WriteStep, step);
    QFETCH(int, index);
    QFETCH(bool, unmovable);
    QFETCH(bool, fourth);
    FaultGuard guard;
    OutputSet set;
    if (fourth)
        set.files.append({set.dir.filePath("a.css"), "new css"});
    QVERIFY(writeFileBytes(set.dir.filePath("sub/a-1.png"), "stale page"));
    setWriteFaultForTesting(step, index);
    WriteOptions options;
    options.remove =
        QStringList{set.dir.filePath("sub/a-1.png"), set.dir.filePath("never-there.png")};
    QTemporaryDir deep;
    QString deepFile = deep.path();
    if (unmovable) {
        // 4090 bytes long: a path may have 4095.
        while (deepFile.size() < 4090 - 256)
            deepFile += '/' + QString(250, 'd');
        QVERIFY(QDir().mkpath(deepFile));
        deepFile += '/' + QString(4090 - deepFile.size() - 1, 'f');
        QVERIFY(writeFileBytes(deepFile, "stale"));
        options.remove << deepFile;
    }
    QString error;
    const bool written = writeFilesAtomically(set.files, options, &error);
    QCOMPARE(written, step == WriteStep::None && !unmovable);
    QVERIFY2(!error.contains("could not restore"), qPrintable(error));
    if (unmovable) {
        QVERIFY2(error.contains("Cannot remove " + deepFile), qPrintable(error));
        QCOMPARE(readFileBytes(deepFile), QByteArray("stale"));
    }
    QStringList expected = written ? OutputSet::newSet() : OutputSet::oldSet();
    if (!written)
        expected.insert(1, "sub/a-1.png=stale page");
    QCOMPARE(set.contents(), expected);
}

void TestAtomicFile::failedRollbackSaysWhereOldFilesAre_data()
{
    QTest::addColumn<bool>("noHardLinks");
    QTest::newRow("old files linked") << false;
    QTest::newRow("old files moved aside") << true;
}

// When putting the old set back fails too, the error names where each old
// file is kept, and it is there with its bytes.
void TestAtomicFile::failedRollbackSaysWhereOldFilesAre()
{
    QFETCH(bool, noHardLinks);
    FaultGuard guard;
    OutputSet set;
    const QString stale = set.dir.filePath("sub/a-1.png");
    QVERIFY(writeFileBytes(stale, "stale page"));
    WriteOptions options;
    options.remove = QStringList{stale};
    setWriteFaultForTesting(WriteStep::SyncFolder, 2); // after the removal
    setWriteFaultForTesting(WriteStep::Restore, -1);
    if (noHardLinks)
        setWriteFaultForTesting(WriteStep::Backup, -1);
    QString error;
    QVERIFY(!writeFilesAtomically(set.files, options, &error));
    const QString reason = ": " + qt_error_string(EIO);
    const QVector<QPair<QString, QByteArray>> old{{set.files[0].path, "old placement"},
                                                  {set.files[2].path, "old sheet"},
                                                  {stale, "stale page"}};
    for (const auto &file : old) {
        const QRegularExpression kept(QRegularExpression::escape(file.first) +
                                      " \\(kept as ([^)]+)\\)" +
                                      QRegularExpression::escape(reason));
        const QRegularExpressionMatch match = kept.match(error);
        QVERIFY2(match.hasMatch(), qPrintable(error));
        QCOMPARE(readFileBytes(match.captured(1)), file.second);
    }
    QVERIFY2(error.contains(set.files[1].path + reason), qPrintable(error));
    // The journal stays, for the next run to put the old set back.
    QVERIFY(hasInterruptedWrite(set.files.last().path));
}

void TestAtomicFile::faultKeepsOldSet()
{
    QFETCH(WriteStep, step);
    QFETCH(int, index);
    QFETCH(bool, noHardLinks);
    QFETCH(int, added);
    QFETCH(bool, underLock);
    QFETCH(bool, othersGroup);

    FaultGuard guard;
    OutputSet set;
    QVERIFY(set.dir.isValid());
    if (othersGroup) {
        if (!giveToAnotherUser(set.files[index].path))
            QSKIP("Giving a file to another user needs root.");
        QVERIFY(QFile::setPermissions(set.files[index].path,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    }
    for (int i = 0; i < added; ++i)
        set.files.append({set.dir.filePath(QStringLiteral("sub/more-%1").arg(i)), "new"});
    WriteOptions options;
    if (underLock) {
        options.removeUnderLock = [&] {
            QFile::setPermissions(set.files[index].path, QFile::ReadOwner | QFile::WriteOwner);
            setWriteFaultForTesting(step, index);
            return QStringList();
        };
    } else {
        // Not a mode the staged file gets when it is made, which needs no
        // change: it is never made executable.
        if (step == WriteStep::KeepMode)
            QFile::setPermissions(set.files[index].path,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        setWriteFaultForTesting(step, index);
    }
    if (noHardLinks)
        setWriteFaultForTesting(WriteStep::Backup, -1);
    QStringList warnings; // of files that could not be removed: none here
    options.warnings = &warnings;

    // Every file the write opened is closed again, also those of the batch
    // that the failure cut short.
    const int openFiles = QDir(QStringLiteral("/proc/self/fd")).count();
    QString error;
    QVERIFY(!writeFilesAtomically(set.files, options, &error));
    QCOMPARE(QDir(QStringLiteral("/proc/self/fd")).count(), openFiles);
    const QString journal = set.files.last().path + ".korvane-journal";
    const bool journalled = index == JournalFaultIndex || index == JournalEndFaultIndex;
    const QString named = !journalled ? set.files[index].path
                          : step == WriteStep::Cleanup || index == JournalEndFaultIndex
                              ? "cannot remove the journal " + journal
                              : "cannot write the journal " + journal;
    QVERIFY2(error.contains(QDir::toNativeSeparators(named)), qPrintable(error));
    QVERIFY2(error.contains(
                 qt_error_string(step == WriteStep::KeepMode || step == WriteStep::KeepOwner ? EPERM
                                 : step == WriteStep::Cleanup                                ? EBUSY
                                                              : EIO)),
             qPrintable(error));
    QVERIFY2(!error.contains("could not restore"), qPrintable(error));
    QCOMPARE(warnings, QStringList());
    QVERIFY(step != WriteStep::Cleanup || QFile::remove(journal));
    QCOMPARE(set.contents(), OutputSet::oldSet());
}

void TestAtomicFile::firstFailureIsTheReason_data()
{
    QTest::addColumn<WriteStep>("first");
    QTest::addColumn<WriteStep>("then");
    QTest::addColumn<QString>("reason");
    // A disk that failed the sync may fail the close as well.
    QTest::newRow("sync fails, then close")
        << WriteStep::Sync << WriteStep::Close << "syncing to disk failed";
}

// Where a later step of the same output fails too, the error still says
// what failed first: that is what the user has to look into.
void TestAtomicFile::firstFailureIsTheReason()
{
    QFETCH(WriteStep, first);
    QFETCH(WriteStep, then);
    QFETCH(QString, reason);

    FaultGuard guard;
    OutputSet set;
    QVERIFY(set.dir.isValid());
    setWriteFaultForTesting(first, 1);
    setWriteFaultForTesting(then, 1);
    QString error;
    QVERIFY(!writeFilesAtomically(set.files, &error));
    QVERIFY2(error.contains(QDir::toNativeSeparators(set.files[1].path) + ": " + reason),
             qPrintable(error));
    QCOMPARE(set.contents(), OutputSet::oldSet());
}

void TestAtomicFile::lockHeldByAnotherRun_data()
{
    QTest::addColumn<QString>("lockFor"); // relative to the set's folder

    QTest::newRow("lock beside the last file") << QString();
    QTest::newRow("lock named by the caller") << "sheet";
    // SHEET.lock fits in a file name exactly: another build's run looks for it.
    QTest::newRow("lock name exactly NAME_MAX long") << QString(250, 'n');
}

void TestAtomicFile::lockHeldByAnotherRun()
{
    QFETCH(QString, lockFor);

    OutputSet set;
    QVERIFY(set.dir.isValid());
    WriteOptions options;
    options.lockTimeoutMs = 300;
    if (!lockFor.isEmpty())
        options.lockFor = set.dir.filePath(lockFor);
    const QString lockPath =
        (lockFor.isEmpty() ? set.files.last().path : options.lockFor) + ".lock";
    auto other = std::make_unique<HeldLock>(lockPath);
    QVERIFY(other->isHeld());

    QString error;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!writeFilesAtomically(set.files, options, &error));
    QVERIFY(timer.elapsed() >= 250);
    QVERIFY2(error.contains("another run is writing"), qPrintable(error));
    QVERIFY2(error.contains(QDir::toNativeSeparators(lockPath)), qPrintable(error));
    other.reset();
    QVERIFY(QFile::remove(lockPath)); // the other run's, which it removes
    QCOMPARE(set.contents(), OutputSet::oldSet());

    // Once the other run is done, the same write goes through and leaves no
    // lock file behind.
    QVERIFY2(writeFilesAtomically(set.files, options, &error), qPrintable(error));
    QCOMPARE(set.contents(), OutputSet::newSet());
}

void TestAtomicFile::filesLeftBehind_data()
{
    QTest::addColumn<QString>("left"); // a minute old; DEAD: an id no process has
    QTest::addColumn<bool>("removed");
    QTest::addColumn<bool>("removalFails");
    QTest::addColumn<bool>("diskFull"); // every write of a staged file fails
    QTest::addColumn<bool>("noInode");  // making the lock file fails (ENOSPC)
    const auto row = [](const char *name, const char *left, bool removed, bool fails = false,
                        bool full = false, bool noInode = false) {
        QTest::newRow(name) << QString(left) << removed << fails << full << noInode;
    };
    row("no lock file before, none after", "", true);
    row("empty lock file of a killed run", "sub/a.png.lock", false);
    row("dead run's temporary", "a.txt.korvane-new-DEAD-abc123", true);
    row("dead run's backup", "sub/a.png.korvane-old-DEAD-abc123", true);
    row("dead run's short name", ".korvane-new-DEAD-abc123", true);
    // Cut short before its first line: nothing was put in place yet.
    row("empty journal of a killed run", "sub/a.png.korvane-journal", true);
    // It names no file to go back as, and may be the only copy of one.
    row("earlier build's short-named backup", ".korvane-old-DEAD-abc123", false);
    row("live run's temporary", "a.txt.korvane-new-1-abc123", false);
    row("another file's temporary", "b.txt.korvane-new-DEAD-abc123", false);
    row("not quite the pattern", "a.txt.korvane-new-DEAD-abc1234", false);
    row("removal fails: a warning", "a.txt.korvane-new-DEAD-abc123", true, true);
    // Nothing left before: the old files' links, removed after the write.
    row("removal of the old files' links fails: a warning each", "", true, true);
    // A run killed while staging fills the disk: the next run that finds
    // no room still clears what it left, else no later run could.
    row("disk full: dead run's temporary goes", "sub/a.png.korvane-new-DEAD-abc123", true, false,
        true);
    row("disk full: live run's temporary stays", "sub/a.png.korvane-new-1-abc123", false, false,
        true);
    // Out of inodes, its temporary is what makes room for the lock file,
    // whether staging found no room first or not.
    row("no inode for the lock file: dead run's temporary goes",
        "sub/a.png.korvane-new-DEAD-abc123", true, false, false, true);
    row("disk full, no inode for the lock file: dead run's temporary goes",
        "sub/a.png.korvane-new-DEAD-abc123", true, false, true, true);
    // Its journal may still need it, and is read only under the lock.
    row("no inode for the lock file: dead run's backup stays", "sub/a.png.korvane-old-DEAD-abc123",
        false, false, false, true);
}

// Never blocked by a lock file nobody holds, nor removing one it did not
// create; dead runs' leftovers go.
void TestAtomicFile::filesLeftBehind()
{
    QFETCH(QString, left);
    QFETCH(bool, removed);
    QFETCH(bool, removalFails);
    QFETCH(bool, diskFull);
    QFETCH(bool, noInode);

    FaultGuard guard;
    OutputSet set;
    left.replace("DEAD", "999999999");
    const utimbuf old{time(nullptr) - 60, time(nullptr) - 60};
    QVERIFY(left.isEmpty() ||
            (writeFileBytes(set.dir.filePath(left), "") &&
             utime(QFile::encodeName(set.dir.filePath(left)).constData(), &old) == 0));
    if (removalFails)
        setWriteFaultForTesting(WriteStep::Cleanup, -1);
    if (diskFull)
        setWriteFaultForTesting(WriteStep::WriteFull, -1);
    if (noInode)
        setWriteFaultForTesting(WriteStep::LockFull, -1);
    QStringList warnings;
    WriteOptions options;
    options.lockTimeoutMs = 300;
    options.warnings = &warnings;

    QString error;
    const bool written = writeFilesAtomically(set.files, options, &error);
    const bool full = diskFull || noInode;
    QVERIFY2(written != full, qPrintable(error));
    if (full)
        QVERIFY2(error.endsWith(qt_error_string(ENOSPC)), qPrintable(error));
    QStringList expected = (full ? OutputSet::oldSet() : OutputSet::newSet())
                           << (removed ? QStringList() : QStringList(left + "="));
    expected.sort();
    QStringList contents = set.contents();
    contents.sort();
    QCOMPARE(contents, expected);
    // With nothing left before, the failed removals are of the two old files' links.
    const int failedRemovals = !removalFails ? 0 : left.isEmpty() ? 2 : 1;
    QCOMPARE(warnings.filter(QFileInfo(left).fileName()).size(), failedRemovals);
    QVERIFY(
        !writeFilesAtomically({{set.files.last().path + ".lock", ""}, set.files.last()}, &error));
    QVERIFY2(error.contains("is the lock file"), qPrintable(error));
}

// Where a dead run's staged files took the last inodes, neither the lock
// file nor this run's own could be made until they go.
void TestAtomicFile::deadRunsFilesHoldTheLastInodes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray at = QFile::encodeName(dir.path());
    if (::mount("none", at.constData(), "tmpfs", 0, "size=1m,nr_inodes=8") != 0)
        QSKIP("Mounting a small file system needs root.");
    const auto unmount = qScopeGuard([&] { ::umount2(at.constData(), MNT_DETACH); });
    QVERIFY(writeFileBytes(dir.filePath("s.png"), "old"));
    for (int i = 0; writeFileBytes(
             dir.filePath(QString("s.png.korvane-new-999999999-abc%1").arg(i, 3, 10, QChar('0'))),
             "");)
        ++i;
    QString error;
    QVERIFY2(writeFileAtomically(dir.filePath("s.png"), "new", &error), qPrintable(error));
    QCOMPARE(readFileBytes(dir.filePath("s.png")), QByteArray("new"));
}

void TestAtomicFile::deadRunsBackupGoesBack_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("backup"); // HASH: the name's eight-digit tag
    QTest::newRow("suffixed") << "a.txt"
                              << "a.txt.korvane-old-999999999-abc123";
    QTest::newRow("short name for a long one")
        << QString(251, 'n') << ".korvane-HASH-old-999999999-abc123";
}

// A dead run moved the old file aside and never put the new one in place:
// the backup is the only copy, and goes back with its permissions before
// it is replaced.
void TestAtomicFile::deadRunsBackupGoesBack()
{
    QFETCH(QString, name);
    QFETCH(QString, backup);
    QTemporaryDir dir;
    backup.replace("HASH",
                   QCryptographicHash::hash(QFile::encodeName(name), QCryptographicHash::Sha1)
                       .toHex()
                       .left(8));
    QVERIFY(writeFileBytes(dir.filePath(backup), "old"));
    QVERIFY(QFile::setPermissions(dir.filePath(backup), QFile::ReadOwner | QFile::WriteOwner));
    QString error;
    QVERIFY2(writeFileAtomically(dir.filePath(name), "new", &error), qPrintable(error));
    QCOMPARE(readFileBytes(dir.filePath(name)), QByteArray("new"));
    struct stat st;
    QCOMPARE(stat(QFile::encodeName(dir.filePath(name)).constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0600));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{name});
}

// Two writers on the same set at once, the first pausing between renames.
void TestAtomicFile::racingWritersLeaveOneSet_data()
{
    QTest::addColumn<QString>("firstRun"); // what befalls the first run
    QTest::newRow("both succeed") << QString();
    // The other run waits for the lock until the first one's rollback is over.
    QTest::newRow("the first fails and rolls back") << "fails";
    // Checked again under the lock: what the first run finds moved aside
    // would never come back.
    QTest::newRow("a folder takes an output's name while the first waits") << "folder";
}

void TestAtomicFile::racingWritersLeaveOneSet()
{
    QFETCH(QString, firstRun);
    OutputSet set;
    FaultGuard faults;
    QVector<FileContent> other = set.files;
    for (FileContent &file : other)
        file.data.replace("new", "other");
    WriteOptions options;
    options.lockFor = set.files.last().path; // the lock the first run takes
    QStringList expected = OutputSet::newSet();
    if (firstRun == "fails") {
        setWriteFaultForTesting(WriteStep::Rename, 2);
        other.removeLast();
        expected = QStringList{"a.json=other json", "a.txt=other placement", "sub/a.png=old sheet"};
    }
    std::unique_ptr<HeldLock> held;
    if (firstRun == "folder") {
        held = std::make_unique<HeldLock>(set.files.last().path + ".lock");
        QVERIFY(held->isHeld());
    }
    auto first = std::async(std::launch::async, [&] {
        setWritePauseForTesting(100);
        return writeFilesAtomically(set.files);
    });
    QThread::msleep(50);
    if (firstRun == "folder") {
        QVERIFY(QFile::remove(set.files[0].path) && QDir().mkdir(set.files[0].path));
        QVERIFY(writeFileBytes(set.files[0].path + "/notes", "mine"));
    }
    held.reset();
    if (firstRun == "folder") {
        QVERIFY(!first.get());
        QCOMPARE(readFileBytes(set.files[0].path + "/notes"), QByteArray("mine"));
        QCOMPARE(readFileBytes(set.files[2].path), QByteArray("old sheet"));
        return;
    }
    QCOMPARE(writeFilesAtomically(other, options), true);
    QCOMPARE(first.get(), firstRun.isEmpty());
    const QStringList contents = set.contents();
    QVERIFY2(contents == expected ||
                 contents == QStringList(expected).replaceInStrings("new", "other"),
             qPrintable(contents.join(", ")));
}

// Another user who may write the folder sees the first staged file and
// makes a file of the name the next output's would have: not the same file
// twice, so the run stages under another name and leaves that file alone.
void TestAtomicFile::stagedNameTakenMeanwhile()
{
    OutputSet set;
    set.files[0].data = QByteArray(16 << 20, 'p'); // a.txt, staged long enough to be seen
    const int watch = inotify_init1(IN_CLOEXEC);
    QVERIFY(watch >= 0 && inotify_add_watch(watch, QFile::encodeName(set.dir.path()).constData(),
                                            IN_CREATE) >= 0);
    const auto guard = qScopeGuard([&] { ::close(watch); });
    auto squatter = std::async(std::launch::async, [&] {
        alignas(inotify_event) char buffer[4096];
        pollfd ready{watch, POLLIN, 0};
        if (poll(&ready, 1, 5000) != 1 || read(watch, buffer, sizeof buffer) <= 0)
            return QString();
        const QString name = QFile::decodeName(reinterpret_cast<inotify_event *>(buffer)->name);
        const QString taken = set.dir.filePath(QString(name).replace("a.txt.", "a.json."));
        return name.startsWith("a.txt.korvane-new-") && writeFileBytes(taken, "mine") ? taken
                                                                                      : QString();
    });
    QString error;
    QVERIFY2(writeFilesAtomically(set.files, &error), qPrintable(error));
    const QString taken = squatter.get();
    QVERIFY(!taken.isEmpty());
    QCOMPARE(readFileBytes(taken), QByteArray("mine"));
}

void TestAtomicFile::signalWaitsForTheSet_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("while the files are put in place") << "put in place";
    QTest::newRow("during a rollback") << "rollback";
    // Held from the attempt that makes the lock file: else it stays behind.
    QTest::newRow("just after the lock file is made") << "lock made";
    // Not held there: Ctrl+C must end a run that waits for another.
    QTest::newRow("while waiting for another run's lock") << "lock";
    // The signals stay held until the thread that took them last is done.
    QTest::newRow("while a later run on another thread holds them too") << "two runs";
    // SIGKILL cannot wait: the next run under the lock puts the old set back.
    QTest::newRow("killed while the files are put in place") << "killed, put in place";
    QTest::newRow("killed between two files it removes") << "killed, removing";
    QTest::newRow("killed during a rollback") << "killed, rollback";
    QTest::newRow("killed, a name too long for the suffixes") << "killed, long name";
    // The journal leads to the files from its own folder.
    QTest::newRow("killed, then the folder renamed") << "killed, moved";
    // Written since by another program: the newer file stays, the old one beside it.
    QTest::newRow("killed, then a file edited") << "killed, edited";
    // The new file under another number (FAT after a new mount), its times
    // kept; then other bytes of its size under those times.
    QTest::newRow("killed, then a file numbered anew") << "killed, renumbered";
    QTest::newRow("killed, then saved over at its size and times") << "killed, saved over";
    // A file the run made is gone again, unless something else wrote it since.
    QTest::newRow("killed, then a new file written") << "killed, new written";
    // Two files, as the window writes: the smallest set that is journalled.
    QTest::newRow("killed, a set of two") << "killed, two files";
    // A later run out of room clears dead runs' files early, the journal first.
    QTest::newRow("killed, then the disk full") << "killed, full";
    // Its journal's removal cannot be made to last: the later run stops there.
    QTest::newRow("killed, then the folder sync fails") << "killed, unsynced";
    // The old set is back, but the journal stays: the later run stops there too.
    QTest::newRow("killed, then the journal cannot be removed") << "killed, journal stays";
}

// A SIGTERM while the files are put in place or rolled back ends the run
// once the new or the old set is whole.
void TestAtomicFile::signalWaitsForTheSet()
{
    QFETCH(QString, when);
    OutputSet set, later;
    const QString lock = set.files.last().path + ".lock";
    const auto held = when == "lock" ? std::make_unique<HeldLock>(lock) : nullptr;
    QVERIFY(!held || held->isHeld());
    const bool killed = when.startsWith("killed");
    const QString longName(240, 'n');
    if (when.endsWith("long name")) {
        QVERIFY(QFile::rename(set.files[0].path, set.dir.filePath(longName)));
        set.files[0].path = set.dir.filePath(longName);
    }
    if (when.endsWith("two files"))
        set.files.remove(1);
    WriteOptions options;
    if (when.endsWith("removing")) {
        options.remove = QStringList{set.dir.filePath("sub/a-1.png"), set.dir.filePath("a-2.txt")};
        QVERIFY(writeFileBytes(options.remove[0], "stale") &&
                writeFileBytes(options.remove[1], ""));
    }
    const pid_t child = fork();
    if (child == 0) {
        signal(SIGTERM, SIG_DFL); // as in korvane-pack; the test's handler would catch it
        umask(0);                 // a journal stays the writer's alone whatever the umask
        if (when.endsWith("rollback"))
            setWriteFaultForTesting(WriteStep::Rename, 2);
        setWritePauseForTesting(150);
        std::future<bool> second;
        if (when == "two runs") {
            second = std::async(std::launch::async, [&] {
                while (readFileBytes(set.files[0].path) != "new placement")
                    QThread::msleep(5);
                return writeFilesAtomically(later.files);
            });
        }
        const bool ok =
            writeFilesAtomically(set.files, options) && (!second.valid() || second.get());
        _exit(ok ? 0 : 1);
    }
    QVERIFY(child > 0);
    // Sent once the first file is in place, while the run pauses before the
    // next; in a rollback once the second file, new, is gone again.
    if (when == "lock made") { // the run pauses once it holds the lock
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lock), 10000);
    } else if (when == "lock") { // once its files are staged
        QTRY_VERIFY_WITH_TIMEOUT(
            !QDir(set.dir.filePath("sub")).entryList({"*korvane-new*"}, QDir::Files).isEmpty(),
            10000);
    } else if (when.endsWith("removing")) {
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(options.remove[0]), 10000);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(readFileBytes(set.files[0].path), QByteArray("new placement"),
                                  10000);
    }
    if (when == "two runs") {
        QTRY_COMPARE_WITH_TIMEOUT(readFileBytes(later.files[0].path), QByteArray("new placement"),
                                  10000);
    }
    if (when.endsWith("new written")) // killed once the new file is in place too
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(set.files[1].path), 10000);
    if (when.endsWith("rollback")) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(set.files[1].path), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(set.files[1].path), 10000);
    }
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(::kill(child, killed ? SIGKILL : SIGTERM), 0);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0 && timer.elapsed() < 5000) // the lock wait: 10 s
        QThread::msleep(10);
    if (!WIFSIGNALED(status))
        ::kill(child, SIGKILL);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == (killed ? SIGKILL : SIGTERM));
    if (held)
        QVERIFY(QFile::remove(lock));
    if (killed) {
        // A later run that writes the sheet alone finds the other files old.
        const QString moved = set.dir.path() + "-moved";
        const bool move = when.endsWith("moved");
        QVERIFY(!move || QDir().rename(set.dir.path(), moved));
        const bool savedOver = when.endsWith("saved over");
        if (when.endsWith("renumbered") || savedOver) {
            const QString copy = set.files[0].path + "2";
            struct stat st;
            QVERIFY(::stat(QFile::encodeName(set.files[0].path).constData(), &st) == 0);
            QVERIFY(writeFileBytes(copy, savedOver ? QByteArray("saved placemt")
                                                   : readFileBytes(set.files[0].path)));
            const struct timespec times[2] = {st.st_atim, st.st_mtim};
            QVERIFY(utimensat(AT_FDCWD, QFile::encodeName(copy).constData(), times, 0) == 0);
            QVERIFY(::rename(QFile::encodeName(copy).constData(),
                             QFile::encodeName(set.files[0].path).constData()) == 0);
        }
        const bool edited = when.endsWith("edited");
        QVERIFY(!edited || writeFileBytes(set.files[0].path, "edited since"));
        const bool since = when.endsWith("new written");
        QVERIFY(!since || writeFileBytes(set.files[1].path, "written since"));
        const bool unsynced = when.endsWith("unsynced");
        const bool stays = when.endsWith("journal stays");
        const bool full = when.endsWith("full") || unsynced || stays;
        FaultGuard guard;
        if (full)
            setWriteFaultForTesting(unsynced ? WriteStep::SyncFolder
                                    : stays  ? WriteStep::Cleanup
                                             : WriteStep::WriteFull,
                                    unsynced ? JournalEndFaultIndex
                                    : stays  ? JournalFaultIndex
                                             : -1);
        QString error;
        const bool written = writeFilesAtomically(
            {{move ? moved + "/sub/a.png" : set.files.last().path, "later sheet"}}, &error);
        QVERIFY(!move || QDir().rename(moved, set.dir.path()));
        QVERIFY2(written != full, qPrintable(error));
        QVERIFY(!stays || QFile::remove(set.files.last().path + ".korvane-journal"));
        QStringList expected{"a.txt=old placement", "sub/a.png.lock=",
                             full ? "sub/a.png=old sheet" : "sub/a.png=later sheet"};
        expected.replaceInStrings("a.txt", when.endsWith("long name") ? longName : "a.txt");
        if (when.endsWith("removing"))
            expected << "a-2.txt="
                     << "sub/a-1.png=stale";
        if (edited || savedOver)
            expected.replaceInStrings("a.txt=old placement",
                                      edited ? "a.txt=edited since" : "a.txt=saved placemt")
                << "a.txt.korvane-old=old placement";
        if (since)
            expected << "a.json=written since";
        expected.sort();
        QStringList contents = set.contents();
        contents.replaceInStrings(QRegularExpression("\\.korvane-old-[0-9]+-[a-z0-9]{6}"),
                                  ".korvane-old");
        contents.sort();
        QCOMPARE(contents, expected);
        return;
    }
    // A run ended while it waits may leave its staged files, as a killed one.
    QStringList contents = set.contents();
    contents.erase(
        std::remove_if(contents.begin(), contents.end(),
                       [](const QString &entry) { return entry.contains("korvane-new"); }),
        contents.end());
    const bool placed = when == "put in place" || when == "two runs" || when == "lock made";
    QCOMPARE(contents, placed ? OutputSet::newSet() : OutputSet::oldSet());
    if (when == "two runs")
        QCOMPARE(later.contents(), OutputSet::newSet());
}

void TestAtomicFile::refusesOutputThatIsNotAFile_data()
{
    QTest::addColumn<QString>("output"); // in the test's folder unless absolute
    QTest::addColumn<QString>("reason");

    QTest::newRow("FIFO") << "fifo"
                          << "a FIFO";
    QTest::newRow("link to a FIFO") << "link-to-fifo"
                                    << "a FIFO";
    QTest::newRow("folder") << "folder"
                            << "a folder";
    QTest::newRow("device") << "/dev/null"
                            << "a device";
    QTest::newRow("pipe behind a kernel link") << "/proc/self/fd/PIPE"
                                               << "a FIFO";
    QTest::newRow("no file name") << "new/"
                                  << "no file name";
    QTest::newRow("same file as another output") << "link-to-kept"
                                                 << "same file as KEPT";
    QTest::newRow("dangling link to another output") << "link-to-new"
                                                     << "same file as KEPT";
    // The folder under a second name, as "S.PNG" is "s.png" where case folds.
    QTest::newRow("new file by a second name") << "bound/new.txt"
                                               << "same file as KEPT";
    // Its lock file is a link into a missing folder: no lock, no write.
    QTest::newRow("lock file cannot be made") << "unlockable.txt"
                                              << "cannot create the lock file";
    // There, but not to be opened, as another user's may not be: not said to
    // be missing.
    QTest::newRow("lock file there cannot be opened") << "looped.txt"
                                                      << "cannot open the lock file";
    // What another version's journal lists is not known: nothing is touched.
    QTest::newRow("journal of another version") << "journalled.txt"
                                                << "is not one this version writes";
    QTest::newRow("journal of another version, %1 in its name")
        << "j%1.txt"
        << "j%1.txt.korvane-journal is not one this version writes (line 1)";
    // A journal may only move the writer's own names back.
    QTest::newRow("journal naming a file of another folder as a backup")
        << "hostile.txt"
        << "is not one this version writes";
    // Left by a kill, it could have been rewritten by anyone since.
    QTest::newRow("journal others may write") << "shared.txt"
                                              << "may be written by others";
    QTest::newRow("journal of another user") << "owned.txt"
                                             << "belongs to another user";
    // Where the system calls' name would end, before the part checked.
    QTest::newRow("journal naming another file through a NUL") << "nul.txt"
                                                               << "is not one this version writes";
    // A write of b.png would read it, or remove it as a dead run's file.
    QTest::newRow("named as another output's journal")
        << "b.png.korvane-journal"
        << "has the form of a journal, temporary file or backup";
    // Renaming over it would fail, leaving backups this user cannot remove:
    // as for a user without root's right to, where the test runs as root.
    QTest::newRow("another user's file in a folder with the sticky bit")
        << "sticky/theirs.txt"
        << "it belongs to another user, and its folder has the sticky bit";
    // Anyone could have made it there to lead the write to this user's file.
    QTest::newRow("another user's link in a folder with the sticky bit")
        << "tmp/link.txt"
        << "is a link of another user in a folder with the sticky bit";
    QTest::newRow("another user's link to a folder, in a folder with the sticky bit")
        << "tmp/up/mine.txt"
        << "is a link of another user in a folder with the sticky bit";
    QTest::newRow("my link to another user's link in a folder with the sticky bit")
        << "tmp-link.txt"
        << "is a link of another user in a folder with the sticky bit";
    // A dead run's old file that cannot be put back (a folder holds its
    // name, as root may rename anything else): its journal stays.
    QTest::newRow("journal whose old file cannot be put back") << "stuck.txt"
                                                               << "could not be put back";
    QTest::newRow("named as a dead run's backup of another output")
        << "b.png.korvane-old-99999-abcdef"
        << "has the form of a journal, temporary file or backup";
}

void TestAtomicFile::refusesOutputThatIsNotAFile()
{
    QFETCH(QString, output);
    QFETCH(QString, reason);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeFileBytes(dir.filePath("kept.txt"), "old"));
    QCOMPARE(mkfifo(QFile::encodeName(dir.filePath("fifo")).constData(), 0644), 0);
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    QVERIFY(QFile::link("fifo", dir.filePath("link-to-fifo")));
    QVERIFY(QFile::link("kept.txt", dir.filePath("link-to-kept")));
    QVERIFY(QFile::link("folder/../new.txt", dir.filePath("link-to-new")));
    QVERIFY(QFile::link("missing/lock", dir.filePath("unlockable.txt.lock")));
    QVERIFY(QFile::link("looped.txt.lock", dir.filePath("looped.txt.lock")));
    QVERIFY(writeFileBytes(dir.filePath("journalled.txt.korvane-journal"), "korvane-journal 3\n"));
    QVERIFY(writeFileBytes(dir.filePath("j%1.txt.korvane-journal"), "korvane-journal 3\n"));
    QVERIFY(writeFileBytes(dir.filePath("folder/kept.txt.korvane-old-1-abcdef"), "planted"));
    QVERIFY(writeFileBytes(
        dir.filePath("hostile.txt.korvane-journal"),
        "korvane-journal 1\nput " + QFile::encodeName(dir.filePath("kept.txt")) + ' ' +
            QFile::encodeName(dir.filePath("folder/kept.txt.korvane-old-1-abcdef")) + ' ' +
            QFile::encodeName(dir.filePath("kept.txt.korvane-new-1-abcdef")) + " 1 1\n"));
    QVERIFY(writeFileBytes(
        dir.filePath("nul.txt.korvane-journal"),
        "korvane-journal 1\nput kept.txt%00/x - kept.txt%00/x.korvane-new-1-abcdef 1 0\n"));
    struct stat keptStat;
    QCOMPARE(stat(QFile::encodeName(dir.filePath("kept.txt")).constData(), &keptStat), 0);
    QVERIFY(QDir(dir.path()).mkdir("kept.txt.korvane-old-1-abcdef"));
    QVERIFY(writeFileBytes(dir.filePath("stuck.txt.korvane-journal"),
                           "korvane-journal 1\nput kept.txt kept.txt.korvane-old-1-abcdef "
                           "kept.txt.korvane-new-1-abcdef " +
                               QByteArray::number(quint64(keptStat.st_ino)) + " 3\n"));
    QVERIFY(writeFileBytes(dir.filePath("shared.txt.korvane-journal"), "korvane-journal 1\n"));
    QVERIFY(QFile::setPermissions(dir.filePath("shared.txt.korvane-journal"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::WriteGroup));
    QVERIFY(writeFileBytes(dir.filePath("owned.txt.korvane-journal"), "korvane-journal 1\n"));
    if (!giveToAnotherUser(dir.filePath("owned.txt.korvane-journal")) && output == "owned.txt")
        QSKIP("Giving a file to another user needs root.");
    FaultGuard guard;
    if (output.startsWith("sticky/")) {
        QVERIFY(QDir(dir.path()).mkdir("sticky"));
        QVERIFY(writeFileBytes(dir.filePath(output), "theirs"));
        QCOMPARE(chmod(QFile::encodeName(dir.filePath("sticky")).constData(), 01777), 0);
        QCOMPARE(chmod(QFile::encodeName(dir.filePath(output)).constData(), 0666), 0);
        if (!giveToAnotherUser(dir.filePath("sticky")) || !giveToAnotherUser(dir.filePath(output)))
            QSKIP("Giving a file to another user needs root.");
        setWriteFaultForTesting(WriteStep::Sticky, -1);
    }
    if (output.startsWith("tmp")) { // the links lead to mine.txt and its folder
        QVERIFY(QDir(dir.path()).mkdir("tmp") && writeFileBytes(dir.filePath("mine.txt"), "mine"));
        QVERIFY(QFile::link("../mine.txt", dir.filePath("tmp/link.txt")) &&
                QFile::link("..", dir.filePath("tmp/up")) &&
                QFile::link("tmp/link.txt", dir.filePath("tmp-link.txt")));
        QCOMPARE(chmod(QFile::encodeName(dir.filePath("tmp")).constData(), 01777), 0);
        for (const char *link : {"tmp/link.txt", "tmp/up"}) {
            if (geteuid() == 65534 ||
                lchown(QFile::encodeName(dir.filePath(link)).constData(), 65534, 65534) != 0)
                QSKIP("Giving a file to another user needs root.");
        }
    }
    QVERIFY(QDir(dir.path()).mkdir("bound"));
    std::optional<BindMount> bound;
    if (output.startsWith("bound/") && !bound.emplace(dir.path(), dir.filePath("bound")).mounted)
        QSKIP("A bind mount needs root.");
    const QString kept = output.endsWith("new") || output.endsWith("new.txt")
                             ? dir.filePath("new.txt")
                             : dir.filePath("kept.txt");
    const QStringList before = entriesIn(dir.path());
    int pipeEnds[2];
    QCOMPARE(pipe(pipeEnds), 0);
    const auto closePipe = qScopeGuard([&] {
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
    });
    output.replace("PIPE", QString::number(pipeEnds[1]));
    const QString path = QDir::isAbsolutePath(output) ? output : dir.filePath(output);

    QString error;
    // Checked on its own first, so that a writer that would accept a device
    // never gets to write to it.
    const bool usable =
        output == "link-to-kept" || output == "link-to-new" || output == "unlockable.txt" ||
        output == "looped.txt" || output == "journalled.txt" || output == "j%1.txt" ||
        output == "hostile.txt" || output == "nul.txt" || output == "shared.txt" ||
        output == "owned.txt" || output == "stuck.txt" || output.startsWith("b.png") || bound;
    QCOMPARE(isUsableOutputPath(path, &error), usable);
    if (!usable)
        QVERIFY2(error.contains(reason), qPrintable(error));
    QStringList warnings;
    WriteOptions options;
    options.warnings = &warnings;
    QVERIFY(!writeFilesAtomically(
        {{dir.filePath("other.txt"), "new"}, {kept, "new"}, {path, "new"}}, options, &error));
    QVERIFY2(error.contains(QDir::toNativeSeparators(path)), qPrintable(error));
    QVERIFY2(error.contains(reason.replace("KEPT", kept)), qPrintable(error));
    QCOMPARE(warnings, QStringList()); // nothing it could not clear up
    QCOMPARE(entriesIn(dir.path()), before);
    if (output.startsWith("sticky/"))
        QCOMPARE(entriesIn(dir.filePath("sticky")), QStringList{"theirs.txt"});
    QCOMPARE(readFileBytes(dir.filePath("kept.txt")), QByteArray("old"));
    QVERIFY(!output.startsWith("tmp") || readFileBytes(dir.filePath("mine.txt")) == "mine");
    struct stat st;
    QCOMPARE(stat("/dev/null", &st), 0);
    QVERIFY(S_ISCHR(st.st_mode));
}

void TestAtomicFile::writesThroughLink_data()
{
    QTest::addColumn<QString>("linkTarget"); // as stored in the link
    QTest::addColumn<bool>("targetExists");
    // The link's folder everyone may write: "sticky" with the sticky bit and
    // user 65534's, "open" without; the link "mine" or "theirs" (65534's).
    QTest::addColumn<QString>("shared");

    QTest::newRow("link to a file") << "real.png" << true << "";
    QTest::newRow("link into another folder") << "sub/real.png" << true << "";
    QTest::newRow("link to a missing file") << "real.png" << false << "";
    // Only another user's link there is refused, as the kernel refuses it.
    QTest::newRow("my link in another user's folder with the sticky bit")
        << "real.png" << true << "mine sticky";
    QTest::newRow("the folder owner's link in it") << "real.png" << true << "theirs sticky";
    QTest::newRow("another user's link in a folder without the sticky bit")
        << "real.png" << true << "theirs open";
}

void TestAtomicFile::writesThroughLink()
{
    QFETCH(QString, linkTarget);
    QFETCH(bool, targetExists);
    QFETCH(QString, shared);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir("sub"));
    const QString real = dir.filePath(linkTarget);
    if (targetExists)
        QVERIFY(writeFileBytes(real, "old"));
    const QString link = dir.filePath("link.png");
    QVERIFY(QFile::link(linkTarget, link));
    if (!shared.isEmpty()) {
        const QByteArray folder = QFile::encodeName(dir.path());
        if (geteuid() != 0 || (shared.startsWith("theirs") &&
                               lchown(QFile::encodeName(link).constData(), 65534, 65534) != 0))
            QSKIP("Giving a file to another user needs root.");
        const bool sticky = shared.endsWith("sticky");
        QCOMPARE(chmod(folder.constData(), sticky ? 01777 : 0777), 0);
        QVERIFY(!sticky || chown(folder.constData(), 65534, 65534) == 0);
    }

    QString error;
    QVERIFY2(writeFileAtomically(link, "new", &error), qPrintable(error));
    QCOMPARE(QFileInfo(link).symLinkTarget(), QFileInfo(real).absoluteFilePath());
    QCOMPARE(readFileBytes(real), QByteArray("new"));
    QCOMPARE(entriesIn(QFileInfo(real).path()).count(),
             real.startsWith(dir.filePath("sub")) ? 1 : 3);
}

QTEST_GUILESS_MAIN(TestAtomicFile)
void TestAtomicFile::sameFile_data()
{
    QTest::addColumn<QString>("second"); // how a second name of in/a.png is made
    QTest::addColumn<bool>("same");

    QTest::newRow("a hard link, which a write leaves alone") << "hard" << false;
    QTest::newRow("a copy alike in size and time") << "copy" << false;
    QTest::newRow("another case on FAT through FUSE") << "fat" << true;
}

void TestAtomicFile::sameFile()
{
    QFETCH(QString, second);
    QFETCH(bool, same);

    QTemporaryDir dir;
    const QString folder = dir.filePath("in");
    QVERIFY(QDir(dir.path()).mkpath("in"));
    std::optional<FatMount> fat;
    if (second == "fat" && !fat.emplace(dir.filePath("fat.img"), folder).mounted)
        QSKIP("No FAT file system through FUSE here (mkfs.vfat, fusefat, /dev/fuse).");
    const QString a = folder + "/a.png";
    QVERIFY(writeFileBytes(a, "pixels"));
    const QString b = folder + (second == "fat" ? "/A.PNG" : "/b.png");
    struct stat st;
    QCOMPARE(stat(QFile::encodeName(a).constData(), &st), 0);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    if (second == "hard")
        QCOMPARE(::link(QFile::encodeName(a).constData(), QFile::encodeName(b).constData()), 0);
    if (second == "copy")
        QVERIFY(QFile::copy(a, b) &&
                utimensat(AT_FDCWD, QFile::encodeName(b).constData(), times, 0) == 0);
    const QStringList before = entriesIn(folder);
    QCOMPARE(isSameFile(b, a), same);
    QCOMPARE(entriesIn(folder), before); // the probe is gone
}

#include "tst_atomicfile.moc"
