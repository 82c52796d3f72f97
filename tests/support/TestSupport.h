#pragma once

// What the tests share: scratch files, a stand-in encoder, the engine fake's saves and calls,
// a list model's lines and a session on fakes. Qt Core only: the core tests use it too.
#include "core/Session.h"
#include "platform/FakeAudioLibraries.h"

#include <QAbstractItemModel>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <memory>

namespace tw::test {

using Args = QList<int32_t>;

inline bool writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
}

inline QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline QStringList readLines(const QString& path) {
    return QString::fromUtf8(readFile(path)).split('\n', Qt::SkipEmptyParts);
}

// A shell script its owner may run.
inline bool writeScript(const QString& path, const QByteArray& body) {
    return writeFile(path, "#!/bin/sh\n" + body) &&
           QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
}

// The stand-in encoder's last step by default: it writes the MP3.
inline const QByteArray kWritesMp3 = "echo mp3 > \"$last\"\n";

// The stand-in encoder dir/lame: logs "start/end <mp3 name>" in dir/log.txt and its arguments
// in dir/args.txt, prints "  5%|", waits while dir/hold exists (10 s at most), prints
// " 42% done", logs its end and runs `ending` (shell; the path it is to write is in $last).
// The log names the MP3 it writes for, not the hidden name it writes under.
inline bool installEncoder(const QString& dir, const QByteArray& ending = kWritesMp3) {
    return writeScript(
        dir + "/lame",
        "d=$(dirname \"$0\")\nfor last; do :; done\nname=$(basename \"$last\")\n"
        "name=${name#.}; name=${name%.converting-*}\n"
        "echo \"start $name\" >> \"$d/log.txt\"\n"
        "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$d/args.txt\"\n"
        "printf '  5%%|'\n"
        "i=0; while [ -e \"$d/hold\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
        "printf ' 42%% done'\n"
        "echo \"end $name\" >> \"$d/log.txt\"\n" +
            ending);
}

// A WAV of 8000 Hz mono 8-bit lasting `seconds`; its silence takes no room on disk.
inline bool writeWav(const QString& path, double seconds) {
    const auto le = [](quint32 v) {
        QByteArray b(4, 0);
        for (int i = 0; i < 4; ++i)
            b[i] = char((v >> (8 * i)) & 0xff);
        return b;
    };
    const auto bytes = quint32(seconds * 8000);
    QFile f(path);
    return f.open(QIODevice::WriteOnly) &&
           f.write("RIFF" + le(36 + bytes) + "WAVEfmt " + le(16) +
                   QByteArray("\x01\x00\x01\x00", 4) + le(8000) + le(8000) +
                   QByteArray("\x01\x00\x08\x00", 4) + "data" + le(bytes)) == 44 &&
           f.resize(44 + bytes);
}

// The engine writes a take of `audio.savedSeconds` where it is told to save it, and counts
// the fake's sources.
inline void saveWritesTheTake(FakeAudioLibraries& audio) {
    audio.onWavelark = [&audio](const QByteArray& file, int32_t mode, int32_t, int32_t, int32_t,
                                int32_t) -> int32_t {
        if (mode == 0 && !writeWav(QString::fromLocal8Bit(file), audio.savedSeconds))
            return -1;
        return mode == 4 ? audio.sourceCount : 0;
    };
}

// The arguments of the engine's calls in one mode (0 save, 1 record, 2 pause, 3 resume).
inline QList<Args> engineCalls(const FakeAudioLibraries& audio, int mode) {
    QList<Args> out;
    for (const auto& c : audio.calls)
        if (c.function == "Wavelark" && c.args.value(0) == mode)
            out << c.args;
    return out;
}

// The files the engine was told to save to.
inline QStringList savedFiles(const FakeAudioLibraries& audio) {
    QStringList out;
    for (const auto& c : audio.calls)
        if (c.function == "Wavelark" && c.args.value(0) == 0)
            out << QString::fromLocal8Bit(c.file);
    return out;
}

// Every call in order, as "<function>(<file>;<arguments>)".
inline QStringList callLog(const FakeAudioLibraries& audio) {
    QStringList out;
    for (const auto& c : audio.calls) {
        QStringList args;
        for (int32_t v : c.args)
            args << QString::number(v);
        out << c.function + "(" + QString::fromLocal8Bit(c.file) + ";" + args.join(',') + ")";
    }
    return out;
}

// A list model's lines, or another role of its rows.
inline QStringList lines(const QAbstractItemModel& model, int role = Qt::DisplayRole) {
    QStringList out;
    for (int row = 0; row < model.rowCount(); ++row)
        out << model.index(row, 0).data(role).toString();
    return out;
}

inline const QByteArray kMono16 = "Channels=1\nBitsPerSample=16\nSamplesPerSec=22050\n";

// Config.ini of a configured run whose takes go to `take`.
inline QByteArray configFor(const QString& take, const QByteArray& format = kMono16) {
    return "[Config]\nRecording Source=1\n" + format + "Save Position=" + take.toUtf8() + "\n";
}

// A configured run without a window, started as the main window starts it.
inline std::unique_ptr<Session> startSession(const QString& dir, const QByteArray& config,
                                             IAudioLibraries& audio, IPlayer& player,
                                             IMessageBox* messages = nullptr) {
    if (!writeFile(dir + "/Config.ini", config))
        return nullptr;
    auto session = std::make_unique<Session>(dir, audio, player, messages);
    session->loadConfiguration();
    if (!QTest::qWaitFor([&] { return !session->engine.busy(); }))
        return nullptr;
    return session;
}

// The shipped skins in dir/skin, so that a window is dressed as the program dresses it.
inline bool copySkins(const QString& dir) {
    QDir().mkpath(dir + "/skin");
    for (const char* name : {"green.skn", "red.skn", "blue.skn"}) {
        QFile::remove(dir + "/skin/" + name);
        if (!QFile::copy(qEnvironmentVariable("TW_APPDIR") + "/skin/" + name,
                         dir + "/skin/" + name))
            return false;
    }
    return true;
}

// Destroys what close() handed to deleteLater.
inline void flushDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace tw::test
