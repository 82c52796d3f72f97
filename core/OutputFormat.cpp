#include "core/OutputFormat.h"

#include "platform/FileSystem.h"

#include <QFileInfo>
#include <QProcess>

namespace tw {

const QList<OutputFormat>& outputFormats() {
    static const QList<OutputFormat> formats{
        {QStringLiteral("mp3"), QStringLiteral("MP3"), QStringLiteral("mp3"),
         QStringLiteral("lame"),
         QStringLiteral("The MP3 encoder lame is not installed. Install it with \"sudo apt "
                        "install lame\" and try again."),
         QStringLiteral(" -b 128 -m j"), 2},
        // Made by the program itself, as a take in that format is: no encoder to install.
        {QStringLiteral("flac"), QStringLiteral("FLAC"), QStringLiteral("flac"), {}, {}, {}, 2},
        {QStringLiteral("opus"), QStringLiteral("Opus"), QStringLiteral("opus"), {}, {}, {}, 2},
        {QStringLiteral("vorbis"), QStringLiteral("Vorbis"), QStringLiteral("ogg"), {}, {}, {}, 2},
    };
    return formats;
}

const OutputFormat& mp3Format() {
    return outputFormats().front();
}

const OutputFormat& outputFormat(const QString& id) {
    for (const OutputFormat& format : outputFormats())
        if (format.id == id)
            return format;
    return mp3Format();
}

QStringList OutputFormat::arguments(const QString& encoderPath, const QString& options,
                                    const QString& input, const QString& output) const {
    // Paths stay whole words whatever they hold; only the switches are split.
    return QStringList{encoderPath} + QProcess::splitCommand(options) + QStringList{input, output};
}

QString OutputFormat::pathFor(const QString& input) const {
    return input.left(input.size() - 3) + extension;
}

QString OutputFormat::freePath(const QString& wanted) const {
    // A dangling link counts as taken: the encoder would write through it.
    const auto taken = [](const QString& path) {
        const QFileInfo info(path);
        return info.exists() || info.isSymLink();
    };
    const QString stem = wanted.left(wanted.size() - extension.size() - 1);
    QString name = wanted;
    for (int n = 1; taken(name); ++n)
        name = stem + QLatin1Char('_') + QString::number(n) + QLatin1Char('.') + extension;
    return name;
}

QString OutputFormat::placeFinished(const QString& finished, const QString& first,
                                    const QString& wanted, QString* error, QString* tried) const {
    constexpr int kMaxNameTries = 100;
    QString target = first;
    for (int tries = 0; tries < kMaxNameTries; ++tries) {
        if (placeNoReplace(finished, target, error))
            return target;
        const QFileInfo taken(target);
        if (!taken.exists() && !taken.isSymLink())
            break; // not a file that came meanwhile: a real failure
        target = freePath(wanted);
    }
    if (tried)
        *tried = target;
    return QString();
}

bool OutputFormat::isOwnFile(const QString& path) const {
    return path.endsWith(QLatin1Char('.') + extension, Qt::CaseInsensitive);
}

} // namespace tw
