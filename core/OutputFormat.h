#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace tw {

// A format a WAV file is converted to: which console encoder makes it and how its files are
// named. Adding a format is adding an entry to outputFormats().
struct OutputFormat {
    QString id;          // how settings and callers name it
    QString label;       // how messages name it ("MP3")
    QString extension;   // without the dot
    QString encoder;     // the program, looked for in the application directory, else on PATH;
                         // none for a format the program encodes itself
    QString missingHint; // what to do when the encoder is not installed
    QString defaultOptions;
    int maxChannels = 2; // the most the encoder takes

    // The encoder's command: the encoder, the user's switches split into words, then the
    // input and the output, each a whole word whatever it holds.
    QStringList arguments(const QString& encoderPath, const QString& options, const QString& input,
                          const QString& output) const;
    // The file beside `input` in this format: its last three characters become the extension.
    QString pathFor(const QString& input) const;
    // `wanted` itself while no file has that name, else the first free "<stem>_n.<extension>"
    // from n = 1 on, so that a conversion never replaces a file the user already has.
    QString freePath(const QString& wanted) const;
    // Puts `finished` at `first`, or, when a file took that name meanwhile, at the next free
    // name from `wanted` (see freePath): never replacing a file. The name it got, or "" with
    // `error` set and `tried` the name it was refused at.
    QString placeFinished(const QString& finished, const QString& first, const QString& wanted,
                          QString* error, QString* tried = nullptr) const;
    // A file of this format already, which its conversion would replace.
    bool isOwnFile(const QString& path) const;
    bool inProcess() const { return encoder.isEmpty(); }
};

const QList<OutputFormat>& outputFormats();
// The format named `id`; MP3 for an unknown one.
const OutputFormat& outputFormat(const QString& id);
const OutputFormat& mp3Format();

} // namespace tw
