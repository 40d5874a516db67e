#pragma once

// --watch: pack, then pack again whenever an input changes, until SIGINT or
// SIGTERM.

#include "cli/packfile.h"

#include <QByteArray>
#include <QSet>
#include <QStringList>

#include <functional>

namespace PackCommand {

class Console;

// What one pack of every sheet reports: its exit status and the paths whose
// changes call for the next pack (inputs, folders, the pack file).
struct WatchedPack
{
    int status = 0;
    QStringList watched;
    // watchFingerprint() of `watched` as the pack read it: each sheet's
    // paths taken just before that sheet was packed, a file an earlier sheet
    // wrote by its bytes. Empty when unknown.
    QByteArray before;
    QSet<QString> written; // the files it wrote, as Inputs::fileIdentity() names them
    // How patterns search folders among `watched`: for which files, and
    // whether for folders too.
    PackFile::Searched searched;
};

// What a pack reads of `paths`, to tell whether they changed: each file's
// identity, size and times of change (its bytes, for a file among
// `written`), each folder's images by name (for one a pattern searched,
// also the files it would match, and its folders when searched deeper), and
// whether each path is there and what it is.
QByteArray watchFingerprint(const QStringList &paths, const QSet<QString> &written = {},
                            const PackFile::Searched &searched = {});
// The same, one digest per path, so that a pack can take them sheet by
// sheet: watchFingerprint() is fingerprintOf() of all of them, in order.
QByteArray watchEntries(const QStringList &paths, const QSet<QString> &written = {},
                        const PackFile::Searched &searched = {});
QByteArray fingerprintOf(const QByteArray &entries);

// Calls `pack` once, then again a short moment after the last of a burst of
// changes to what it watched, printing one line per pack on the console's
// standard output. A failed pack is reported and watching goes on. Returns
// 0 once interrupted; a pack in progress finishes first, so no temporary
// file is left. Returns 1 after a pack whose line cannot be written to
// standard output. `pack` gets what the pack before it wrote.
int watchAndPack(const std::function<WatchedPack(const QSet<QString> &written)> &pack,
                 Console &console);

} // namespace PackCommand
