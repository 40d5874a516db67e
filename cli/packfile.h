#pragma once

// Pack files: sheet descriptions in JSON, turned into the command line's own
// arguments so that both go through the same checks into the same Options.
//
//   {"sheets": [{"name": "ui", "output": "build/ui.png",
//                "inputs": ["art/ui", "art/**/*.png"], "margin": 4, ...}]}
//
// Each sheet takes the long names of the command line's options as keys
// ("max-size", "power-of-two", ...), "inputs" for INPUT, and "data" as a
// list of {"file", "format"} objects. Relative paths are relative to the
// pack file's folder.

#include <QByteArray>
#include <QByteArrayList>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

namespace PackFile {

// What a file in a folder a pattern searched must be named to match: the
// pattern's expression holds for its path below the folder the walk began in.
struct NameMatch
{
    QString below; // the folder's path below where the walk began; "" for that one
    QRegularExpression match;
    bool matches(const QString &name) const;
    bool operator==(const NameMatch &other) const
    {
        return below == other.below && match == other.match;
    }
};

// The folders patterns searched, for --watch: a new match appears in one of
// them (a file `names` lets in), or, for one among `deeper`, in a folder
// made in it.
struct Searched
{
    QStringList folders;
    QSet<QString> deeper;
    QHash<QString, QVector<NameMatch>> names; // for each of `folders`
    void add(const Searched &other);
    bool operator==(const Searched &other) const
    {
        return folders == other.folders && deeper == other.deeper && names == other.names;
    }
};

// A sheet's "inputs" as the file gives them. Patterns are matched again
// when the sheet is built, so that they take in what an earlier sheet of
// the same run wrote.
struct InputList
{
    QString folder;    // the pack file's folder, as named
    QStringList given; // as written in the file
    QString where;     // "FILE:LINE:COLUMN" of the "inputs" key
    bool hasPattern() const;
};

// A pattern that matched no file: the folder its search starts from, named
// from the working folder; the rest of it, matched below that folder; and
// the error ("FILE:LINE:COLUMN: ...") that fails its sheet when it is built.
struct Unmatched
{
    QString from;
    QString pattern;
    QString error;
};

struct SheetArguments
{
    QString name;        // "name", or the output's base name
    QString at;          // "FILE:LINE:COLUMN" of the sheet's object
    QStringList options; // "--key=value" for each option the sheet sets
    QStringList inputs;  // the inputs, glob patterns expanded
    // Files a pattern matched whose names do not decode, by the text among
    // `inputs` that stands for them: their bytes, as for such an INPUT, one
    // entry per match.
    QMap<QString, QByteArrayList> undecodable;
    QVector<Unmatched> unmatched; // in the order of `inputs`
    // The patterns that matched files, each with "FILE:L:C: \"inputs\":
    // \"TEXT\"" as its `error`, to name it.
    QVector<Unmatched> matched;
    // The first folder a pattern could not search, with the reason, which
    // fails the sheet when it is built.
    QString unread;
    Searched searched; // by the patterns among the inputs
    InputList given;   // empty when INPUT arguments replace the file's
};

// Sets `inputs`, `undecodable`, `unmatched`, `matched`, `unread` and `searched` of
// `result` from `list`, as the file is read.
void expandInputs(const InputList &list, SheetArguments *result);

// Reads `path`. Keys whose option is in `overridden` (long names, as given
// on the command line) are left out, since the command line wins. False
// with `error` as "FILE:LINE:COLUMN: message" on a syntax error, an unknown
// key, a wrong type or a value out of range, or as "FILE: message" with
// `unreadable` set when the file cannot be read at all; a pattern that
// matches no file is left to SheetArguments::unmatched.
bool read(const QString &path, const QSet<QString> &overridden, QVector<SheetArguments> *sheets,
          QString *error, bool *unreadable = nullptr);

// Whether the file `path`, named from the working folder, would be matched
// by `pattern` once it exists.
bool couldMatch(const Unmatched &pattern, const QString &path);

// Files below `folder` matching `pattern` ("*" and "?" within one folder
// level, "**" across levels), sorted. A match whose name does not decode is
// listed too, and its bytes go into `undecodable` under its listed text.
// The folders walked go into `searched`, the first one even when missing.
// A folder to search that cannot be read (other than a missing one) is
// named in `error`, with the reason.
QStringList expandGlob(const QString &folder, const QString &pattern,
                       QMap<QString, QByteArrayList> *undecodable = nullptr,
                       Searched *searched = nullptr, QString *error = nullptr);

} // namespace PackFile
