#pragma once

#include <QList>
#include <QString>
#include <optional>

namespace tw {

// The file format a take is saved in. Anything but WAV is encoded from the WAV capture while
// it records, and the capture is removed once the encoded file is in place.
enum class TakeFormat { Wav, Flac, Opus, Vorbis, Mp3 };

struct TakeFormatInfo {
    TakeFormat format;
    QString configValue; // as Config.ini's "Take Format" holds it, and as Preferences shows it
    QString extension;   // without the dot
    QString conversion;  // the id of the OutputFormat a WAV is converted to it by; "" for WAV
};

const QList<TakeFormatInfo>& takeFormats();
const TakeFormatInfo& takeFormatInfo(TakeFormat format);
// The format a "Take Format" value names (its case aside); nothing for a value no format has.
std::optional<TakeFormat> takeFormatNamed(const QString& value);
// The take format an OutputFormat's conversion makes; nothing for none.
std::optional<TakeFormat> takeFormatConvertedBy(const QString& outputFormatId);

} // namespace tw
