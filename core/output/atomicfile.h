#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

struct FileContent
{
    FileContent() = default;
    FileContent(QString path, QByteArray data, std::shared_ptr<const void> storage = nullptr)
        : path(std::move(path)), data(std::move(data)), storage(std::move(storage))
    {
    }

    QString path;
    QByteArray data;
    // When set, owns the memory that `data` only views.
    std::shared_ptr<const void> storage;
};

struct WriteOptions
{
    // While the files are put in place, "<lockFor>.lock" is held so that runs
    // writing the same set take turns. Empty: the last file (links
    // followed), which callers make the sheet. The lock is the kernel's
    // (flock) on that file, so it ends with its process; the file itself is
    // removed only by the run that created it, and no output may be it.
    QString lockFor;
    // How long to wait for another run's lock before failing.
    int lockTimeoutMs = 10000;
    // When set and true, waiting for the lock ends and nothing is written.
    const std::atomic<bool> *cancel = nullptr;
    // Files that go in the same commit: removed once the new files are in
    // place, and back again if the write fails. A missing one is no error.
    QStringList remove;
    // When set, called once the lock is held, before anything is put in
    // place: more files to remove as `remove` are, chosen from what the runs
    // that held the lock before left behind.
    std::function<QStringList()> removeUnderLock;
    // When set, gets what went wrong without failing the write: leftovers
    // that could not be removed.
    QStringList *warnings = nullptr;
};

// Writes a set of files so that afterwards every target holds its new bytes,
// or, on failure, every target holds its old bytes (or is gone again if it
// did not exist). Each file is first written and synced in full to a
// temporary file beside its target; only then are the targets replaced, in
// order and back to back, and their folders synced. On failure `error` (if
// given) names the file and the reason, and no temporary file is left.
//
// A set of more than one rename is listed first in a journal beside the
// lock file ("<lockFor>.korvane-journal"), removed once the set is whole.
// A run that dies in between leaves it; the next write under that lock
// first puts that run's old set back, whole, and fails naming the file when
// it cannot.
//
// A target that exists must be a regular file that may be written, and in a
// folder with the sticky bit also one this user may replace there. A symbolic link is followed:
// the file it points to is replaced and the link stays. Devices, FIFOs,
// sockets and folders are refused before anything is written.
bool writeFilesAtomically(const QVector<FileContent> &files, const WriteOptions &options,
                          QString *error = nullptr);
bool writeFilesAtomically(const QVector<FileContent> &files, QString *error = nullptr);

// The same for one file: the target is replaced by a complete file or left
// as it was.
bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error = nullptr);

// Whether `path` can be an output: it has a file name, and it is missing, a
// regular file or a link to one. Otherwise `reason` says why not.
bool isUsableOutputPath(const QString &path, QString *reason = nullptr);

// Whether `path` is another user's file in a folder with the sticky bit
// (as in /tmp) that this process may not rename over: it lacks CAP_FOWNER
// (see WriteStep::Sticky) and the folder is not its own. `path` is taken as
// it is, links not followed.
bool isKeptFromReplacing(const QString &path);

// The place a write to `path` lands in: symbolic links followed, dangling
// ones included, and the folder made canonical. Two outputs with equal
// identities are the same file, whether or not the file exists yet; the
// writer also refuses names the file system takes for one file.
QString outputIdentity(const QString &path);

// Whether `a` and `b` name one file now: the same place by outputIdentity(),
// or one file with a single name that both reach, as a name in another case
// does on a file system that folds case, or a path through a bind mount.
// Two hard links are two files here: a write replaces one name, not both.
// Two files alike in all but their file numbers are told apart by
// isOneName().
bool isSameFile(const QString &a, const QString &b);

// Whether the file system takes `a` and `b`, which may not exist yet, for
// one name (letters in another case on FAT, exFAT or macOS volumes, a folder
// through a bind mount): an empty file made beside `a`, the one to be
// written, for a moment is then found beside `b` too.
bool isOneName(const QString &a, const QString &b);

// `path` followed by `suffix`, or, where that would be too long a file name,
// ".korvane-HASH" and `suffix` in the same folder, HASH standing for the name.
QString pathWithSuffix(const QString &path, const QString &suffix);

// The lock file a write whose lockFor (or sheet) is `primary` holds.
QString lockFilePathFor(const QString &primary);

// Whether the file a write to `path` lands in (links followed) has a name
// the writer keeps for its own files beside a target: a journal
// ("NAME.korvane-journal"), a temporary file or a backup
// ("NAME.korvane-new-PID-XXXXXX"). Writes to NAME read, move or remove
// such files, so no output may be one.
bool isWritersOwnName(const QString &path);

// Whether a write under `primary`'s lock died while it put its set in place:
// the files may be part old, part new until the next write there.
bool hasInterruptedWrite(const QString &primary);

// Steps of a write that tests can make fail for one output (index), or for
// every output (negative index), or for the journal (JournalFaultIndex, which
// only that index reaches). Calls add up; WriteStep::None clears them.
// Renames, removals and opens (MoveAside, Rename, Restore, Cleanup of the
// journal, Reopen) are made with an empty name, which fails and changes
// nothing; Backup and LinkError skip the call; for the rest the real call is
// made and its result is then replaced by a failure (see faultedForTesting).
// Either way the caller's check of the call's result is what a test sees.
enum class WriteStep {
    None,
    Write,      // writing the temporary file (EIO)
    WriteFull,  // writing the temporary file, on a full disk (ENOSPC)
    KeepMode,   // giving the temporary file the old file's mode (EPERM)
    KeepOwner,  // giving the temporary file the old file's owner and group,
                // as for a user outside that group (EPERM)
    Sync,       // syncing the temporary file (EIO)
    Close,      // closing the temporary file (EIO)
    Backup,     // hard-linking the old target, as on a file system without
                // hard links (EPERM): the old file is then moved aside
    LinkError,  // hard-linking the old target failing otherwise (EIO)
    MoveAside,  // renaming the old target aside where there is no hard link, or
                // a file to remove (index -1) (EIO)
    Rename,     // putting the temporary file in place (EIO)
    SyncFolder, // syncing the output's folder after all are in place (EIO)
    Cleanup,    // removing a file a dead run left, or the journal (EBUSY)
    Restore,    // putting an old file back, or removing a new one, after a
                // failure (EIO); index -1 for a file the write was to remove
    Reopen,     // opening the staged file again for reading under the lock,
                // as for a user whom its mode gives no read right (EACCES)
    LockFull,   // creating the lock file, on a file system out of inodes
                // (ENOSPC); any index
    Sticky,     // asking whether the run may replace another user's file in
                // a folder with the sticky bit (CAP_FOWNER, which root has),
                // as for a user without that right (EPERM)
};
constexpr int JournalFaultIndex = -1000;
// The folder sync that makes a journal's removal last: the commit point of
// a write, or the end of putting back a dead run's set.
constexpr int JournalEndFaultIndex = -1001;
void setWriteFaultForTesting(WriteStep step, int index);

// Wraps a system call made for output `index`: its `result` (errno kept),
// or -1 with errno set when a test asked `step` to fail. The call is made
// either way, and the caller's own check of the result is what a test sees.
// Shared by the other writers of the core.
long faultedForTesting(WriteStep step, int index, long result);

// Makes writers on the calling thread pause this long once they hold the
// lock, between putting two outputs in place, before each file they remove,
// between restoring two in a rollback
// (and the settings file's in-place writer between its check and its
// write), so that tests can race two of them. pauseForTesting() takes the
// pause.
void setWritePauseForTesting(int milliseconds);
void pauseForTesting();
