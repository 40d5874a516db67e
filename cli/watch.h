#pragma once

// --watch: pack, then pack again whenever an input changes, until SIGINT or
// SIGTERM.

#include <QByteArray>
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
    QByteArray before; // watchFingerprint(watched) before the pack read them
};

// What a pack reads of `paths`, to tell whether they changed: each file's
// identity, size and times of change, each folder's images by name, and
// whether each path is there and what it is.
QByteArray watchFingerprint(const QStringList &paths);

// Calls `pack` once, then again a short moment after the last of a burst of
// changes to what it watched, printing one line per pack on the console's
// standard output. A failed pack is reported and watching goes on. Returns
// 0 once interrupted; a pack in progress finishes first, so no temporary
// file is left.
int watchAndPack(const std::function<WatchedPack()> &pack, Console &console);

} // namespace PackCommand
