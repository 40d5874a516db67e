#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

#include <atomic>

struct FileContent
{
    QString path;
    QByteArray data;
};

struct WriteOptions
{
    // While the files are put in place, "<lockFor>.lock" is held so that runs
    // writing the same set take turns. Empty: the last file (links
    // followed), which callers make the sheet.
    QString lockFor;
    // How long to wait for another run's lock before failing.
    int lockTimeoutMs = 10000;
    // When set and true, waiting for the lock ends and nothing is written.
    const std::atomic<bool> *cancel = nullptr;
    // Files that go in the same commit: removed once the new files are in
    // place, and back again if the write fails. A missing one is no error.
    QStringList remove;
};

// Writes a set of files so that afterwards every target holds its new bytes,
// or, on failure, every target holds its old bytes (or is gone again if it
// did not exist). Each file is first written and synced in full to a
// temporary file beside its target; only then are the targets replaced, in
// order and back to back, and their folders synced. On failure `error` (if
// given) names the file and the reason, and no temporary file is left.
//
// A target that exists must be a regular file that may be written. A symbolic link is followed:
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

// Steps of a write that tests can make fail for one output (index), or for
// every output (negative index). Calls add up; WriteStep::None clears them.
enum class WriteStep {
    None,
    Write,      // writing the temporary file (EIO)
    Sync,       // syncing the temporary file (EIO)
    Backup,     // hard-linking the old target, as on a file system without
                // hard links (EPERM): the old file is then moved aside
    Rename,     // putting the temporary file in place (EIO)
    SyncFolder, // syncing the output's folder after all are in place (EIO)
};
void setWriteFaultForTesting(WriteStep step, int index);
