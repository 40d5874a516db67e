#pragma once

// korvane-pack's options as one plain record, and the parsing that fills it
// from the command line.

#include "cli/console.h"
#include "cli/packfile.h"
#include "core/image/imageprobe.h"
#include "core/layout/compactlayout.h"
#include "core/output/dataformats.h"
#include "core/pipeline.h"
#include "core/png/pngencoder.h"
#include "core/sprites/spritepipeline.h"

#include <QPointF>
#include <QSize>
#include <QString>
#include <QStringList>
#include <QVector>

#include <optional>

namespace PackCommand {

// Everything one run needs to know; what a later front end (a pack file)
// fills as well.
struct Options
{
    QString chosenPath;
    QVector<DataFormats::Output> data; // --json first, then each --data in order
    QStringList dataWhat;              // what messages call each of `data`
    QStringList inputs;
    int margin = 2;
    int threads = 0;
    PngEncoder::Level pngLevel = PngEncoder::Level::Default;
    Compose::Limits limits;
    qint64 maxSheetPixels = Compose::defaultMaxSheetPixels;
    // Arguments whose bytes do not decode, by their decoded text: one entry
    // each, as two of them, or one and a file whose name is that text, can
    // read the same.
    QMap<QString, QByteArrayList> undecodable;
    SheetLayout::Layout layout = SheetLayout::Layout::Rows;
    QSize maxSize; // invalid: no limit
    bool powerOfTwo = false;
    bool skipUnreadable = false;
    bool verbose = false;
    Compose::SpriteOptions sprites; // --trim, --extrude, --alias, --premultiply
    std::optional<QPointF> pivot;
    bool animations = false;
    bool update = false;    // leave the outputs alone when nothing changed
    bool multipack = false; // further sheets for what --max-size leaves out
    QString packFile;       // the pack file the options came from
    QString configFile;     // the settings file read for the margin
    QString sheetName;      // the pack file's sheet to build; empty for all
    bool watch = false;     // pack again whenever an input changes
    // The pack file's "inputs" of this sheet, matched again when it is built.
    PackFile::InputList packInputs;
};

// From parseOptions(): the options are complete, go on and pack.
constexpr int ParsedToPack = -1;

// Fills `options` from `arguments` (program name first). Returns
// ParsedToPack, or an exit status once help, the version or an error has
// been written to `console`.
int parseOptions(const QStringList &arguments, Options *options, Console &console);

// What parseRuns() read, for --watch: a change to it calls for parsing again.
struct ParseReads
{
    QStringList files;           // the pack file and the settings files
    PackFile::Searched searched; // by the patterns of the sheets to build
    bool watch = false;          // with --pack: --watch is on the command line
    QStringList inputs;          // with --pack: the command line's INPUTs
    // The run failed on what the pack file says (its syntax, a key, a value,
    // a pattern that matches no file, two sheets writing one file), not on
    // the command line.
    bool packFileAtFault = false;
};

// The runs of one call: the command line's own, or with --pack one per
// sheet of the pack file (or the one --sheet names), each the file's
// options with the command line's over them. Returns as parseOptions().
int parseRuns(const QStringList &arguments, QVector<Options> *runs, Console &console,
              ParseReads *reads = nullptr);

// "X,Y", each a number from 0 to 1, as --pivot and a pack file's "pivot" take it.
bool parsePivot(const QString &text, QPointF *pivot);

// The files parseRuns() reads while parsing: the pack file and the settings
// file named on the command line (none when the arguments do not parse).
QStringList filesReadWhileParsing(const QStringList &arguments);

// A file a run writes, with what messages call it.
struct NamedOutput
{
    QString what;
    QString path;
    int sheet = 0;
};

// The files a run with `o` writes for `pages` sheets: sheet 0's placement
// file, data files, manifest and sheet, then each further sheet's sheet,
// placement file and data pages. With several pages, each page's own
// outputs are called "... of sheet N" (sheet 0's data pages too).
QVector<NamedOutput> namedOutputs(const Options &o, int pages);

} // namespace PackCommand
