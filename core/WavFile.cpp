#include "core/WavFile.h"

#include <QFile>
#include <QtEndian>
#include <cstring>
#include <unistd.h>

namespace tw {

namespace {
// Chunks before the samples are few (JUNK or ds64, fmt, fact, perhaps LIST); a file with
// more is not one a recorder wrote.
constexpr int kMaxChunksBeforeData = 32;
constexpr quint32 kSeeDs64 = 0xFFFFFFFFu;

bool readAt(QFile& file, qint64 pos, char* buffer, qint64 size) {
    return file.seek(pos) && file.read(buffer, size) == size;
}

bool writeAt(QFile& file, qint64 pos, const char* buffer, qint64 size) {
    return file.seek(pos) && file.write(buffer, size) == size;
}

template <typename T> bool writeLittleEndian(QFile& file, qint64 pos, T value) {
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    return writeAt(file, pos, bytes, sizeof(T));
}

bool readFormat(QFile& file, qint64 body, quint32 length, WavHeader& h) {
    char fmt[16];
    if (length < sizeof fmt || !readAt(file, body, fmt, sizeof fmt))
        return false;
    h.channels = qFromLittleEndian<quint16>(fmt + 2);
    h.sampleRate = int(qFromLittleEndian<quint32>(fmt + 4));
    h.blockAlign = qFromLittleEndian<quint16>(fmt + 12);
    h.bitsPerSample = qFromLittleEndian<quint16>(fmt + 14);
    if (h.blockAlign == 0)
        h.blockAlign = h.channels * ((h.bitsPerSample + 7) / 8);
    return h.channels > 0 && h.sampleRate > 0 && h.bitsPerSample > 0 && h.blockAlign > 0;
}

std::optional<WavHeader> parseHeader(QFile& file) {
    char head[12];
    if (!readAt(file, 0, head, sizeof head) || std::memcmp(head + 8, "WAVE", 4) != 0)
        return std::nullopt;
    WavHeader h;
    h.rf64 = std::memcmp(head, "RF64", 4) == 0;
    if (!h.rf64 && std::memcmp(head, "RIFF", 4) != 0)
        return std::nullopt;

    const qint64 size = file.size();
    bool haveFormat = false;
    quint64 ds64DataSize = 0;
    qint64 pos = 12;
    for (int n = 0; n < kMaxChunksBeforeData && pos + 8 <= size; ++n) {
        char chunk[8];
        if (!readAt(file, pos, chunk, sizeof chunk))
            return std::nullopt;
        const quint32 length = qFromLittleEndian<quint32>(chunk + 4);
        const qint64 body = pos + 8;
        if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat || (h.rf64 && h.ds64Body < 0))
                return std::nullopt;
            h.dataSizeField = pos + 4;
            h.dataOffset = body;
            h.dataLength = h.rf64 && length == kSeeDs64 ? qint64(ds64DataSize) : qint64(length);
            return h;
        }
        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (!readFormat(file, body, length, h))
                return std::nullopt;
            haveFormat = true;
        } else if (h.rf64 && std::memcmp(chunk, "ds64", 4) == 0 && length >= 24) {
            char sizes[16];
            if (!readAt(file, body, sizes, sizeof sizes))
                return std::nullopt;
            h.ds64Body = body;
            ds64DataSize = qFromLittleEndian<quint64>(sizes + 8);
        }
        pos = body + length + (length & 1);
    }
    return std::nullopt;
}
} // namespace

std::optional<WavHeader> readWavHeader(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return parseHeader(file);
}

std::optional<double> wavSeconds(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const std::optional<WavHeader> h = parseHeader(file);
    if (!h)
        return std::nullopt;
    const qint64 present = qMax<qint64>(0, file.size() - h->dataOffset);
    const qint64 frames = qMin(h->dataLength, present) / h->blockAlign;
    return double(frames) / h->sampleRate;
}

bool repairWavLengths(const QString& path) {
    // ExistingOnly: a repair never creates a file, and ReadWrite never truncates one.
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        return false;
    const std::optional<WavHeader> h = parseHeader(file);
    if (!h)
        return false;
    const qint64 size = file.size();
    const quint64 data = quint64((size - h->dataOffset) / h->blockAlign * h->blockAlign);
    const quint64 riff = quint64(size - 8);
    bool ok = false;
    if (h->rf64) {
        // The 32-bit sizes keep pointing at ds64.
        ok = writeLittleEndian<quint64>(file, h->ds64Body, riff) &&
             writeLittleEndian<quint64>(file, h->ds64Body + 8, data) &&
             writeLittleEndian<quint64>(file, h->ds64Body + 16, data / h->blockAlign);
    } else if (riff <= kSeeDs64) {
        ok = writeLittleEndian<quint32>(file, 4, quint32(riff)) &&
             writeLittleEndian<quint32>(file, h->dataSizeField, quint32(data));
    }
    // The repaired header is on disk before the file is moved anywhere.
    return ok && file.flush() && ::fsync(file.handle()) == 0;
}

} // namespace tw
