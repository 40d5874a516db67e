#pragma once

// What a run packed, kept beside its outputs so that --update can tell that
// nothing changed, and so that a later run knows which pages it wrote.

#include <QByteArray>
#include <QString>
#include <QVector>

namespace PackCommand {

struct Options;

struct Manifest
{
    struct Input
    {
        QString path; // as given, which is what the placement file shows
        QString name; // the frame name
        QByteArray hash;
    };
    struct Output
    {
        QString path;
        QByteArray hash;
    };
    QByteArray optionsHash;
    QVector<Input> inputs; // in path order
    QVector<Output> outputs;
    // How many the run made, so that a page left out of `outputs` shows; 0
    // when not recorded.
    int sheets = 1;
};

// The manifest for a chosen sheet path: its suffix replaced by
// ".korvane-manifest". With several sheets, "{n}" is left out of the file
// name, and a folder named with it is the first sheet's.
QString manifestPathFor(const QString &chosenPath, bool multipack);

// xxHash (XXH3, 64 bits) of some bytes, as 16 hex digits.
QByteArray hashBytes(const QByteArray &data);
// The same of a file's contents, read in pieces; empty when it cannot be read.
QByteArray hashFile(const QString &path);
// The text of a hash of the same kind, taken elsewhere.
QByteArray hashText(quint64 hash);

// Every option that changes what a run writes, hashed. Leaves out the
// inputs (recorded one by one), and what only changes how a run goes:
// --threads, --verbose, --update, --watch, --pack and --sheet.
QByteArray optionsHash(const Options &options);

// `path` as a data file names it for engines: from the data file's folder.
QString seenFrom(const QString &dataFile, const QString &path);

QByteArray manifestText(const Manifest &manifest);
// False for a missing file, another user's (root's excepted, and in root's
// runs the folder owner's), or one that is not a manifest this version
// writes: such a manifest is treated as no manifest.
bool readManifest(const QString &path, Manifest *manifest);

// True when `recorded` has the same options and inputs as `current`, and
// every output it lists still holds the bytes it recorded.
bool outputsUpToDate(const Manifest &recorded, const Manifest &current);

} // namespace PackCommand
