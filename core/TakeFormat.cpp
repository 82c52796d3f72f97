#include "core/TakeFormat.h"

namespace tw {

const QList<TakeFormatInfo>& takeFormats() {
    static const QList<TakeFormatInfo> formats{
        {TakeFormat::Wav, QStringLiteral("WAV"), QStringLiteral("wav"), {}},
        {TakeFormat::Flac, QStringLiteral("FLAC"), QStringLiteral("flac"), QStringLiteral("flac")},
        {TakeFormat::Opus, QStringLiteral("Opus"), QStringLiteral("opus"), QStringLiteral("opus")},
        {TakeFormat::Vorbis, QStringLiteral("Vorbis"), QStringLiteral("ogg"),
         QStringLiteral("vorbis")},
        {TakeFormat::Mp3, QStringLiteral("MP3"), QStringLiteral("mp3"), QStringLiteral("mp3")},
    };
    return formats;
}

const TakeFormatInfo& takeFormatInfo(TakeFormat format) {
    for (const TakeFormatInfo& info : takeFormats())
        if (info.format == format)
            return info;
    return takeFormats().front();
}

std::optional<TakeFormat> takeFormatNamed(const QString& value) {
    for (const TakeFormatInfo& info : takeFormats())
        if (value.trimmed().compare(info.configValue, Qt::CaseInsensitive) == 0)
            return info.format;
    return std::nullopt;
}

std::optional<TakeFormat> takeFormatConvertedBy(const QString& outputFormatId) {
    for (const TakeFormatInfo& info : takeFormats())
        if (!info.conversion.isEmpty() && info.conversion == outputFormatId)
            return info.format;
    return std::nullopt;
}

} // namespace tw
