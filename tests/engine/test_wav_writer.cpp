// The capture's file format: readers that know only plain PCM WAV open a take, and a take that
// outgrows 32-bit sizes goes on as RF64 that libsndfile and the program's own recovery read.
#include "core/WavFile.h"
#include "engine/wav_writer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/file.h>
#include <sys/vfs.h>
#include <vector>

using tw::engine::Fd;
using tw::engine::WavWriter;

namespace {

std::vector<char> ramp(size_t bytes, int seed) {
    std::vector<char> v(bytes);
    for (size_t i = 0; i < bytes; ++i)
        v[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) & 0xFF);
    return v;
}

WavWriter open(const QString& path, WavWriter::Format f, uint64_t limit, bool mayInsert) {
    Fd fd(::open(path.toLocal8Bit().constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    ::flock(fd.get(), LOCK_EX);
    return WavWriter(std::move(fd), path.toStdString(), f, limit, mayInsert);
}

// libsndfile's view: container, frames and the raw sample bytes.
struct Read {
    int container = 0;
    int subtype = 0;
    sf_count_t frames = 0;
    std::vector<char> bytes;
};

Read readWithSndfile(const QString& path, size_t frameBytes) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    Read r;
    if (!f)
        return r;
    r.container = info.format & SF_FORMAT_TYPEMASK;
    r.subtype = info.format & SF_FORMAT_SUBMASK;
    r.frames = info.frames;
    r.bytes.resize(static_cast<size_t>(info.frames) * frameBytes);
    r.bytes.resize(static_cast<size_t>(
        std::max<sf_count_t>(sf_read_raw(f, r.bytes.data(), sf_count_t(r.bytes.size())), 0)));
    sf_close(f);
    return r;
}

} // namespace

class TestWavWriter : public QObject {
    Q_OBJECT
  private slots:
    void plainWavForEveryReader_data() {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("bits");
        QTest::addColumn<int>("bytes");
        QTest::newRow("8-bit mono, odd length") << 1 << 8 << 11025;
        QTest::newRow("16-bit stereo") << 2 << 16 << 176400;
    }
    void plainWavForEveryReader() {
        QFETCH(int, channels);
        QFETCH(int, bits);
        QFETCH(int, bytes);
        QTemporaryDir dir;
        const QString path = dir.filePath("take.wav");
        const WavWriter::Format format{channels, 22050, bits};
        auto w = open(path, format, WavWriter::kPlainLimit, true);
        const auto audio = ramp(size_t(bytes), 3);
        QVERIFY(w.begin());
        QVERIFY(w.append(audio.data(), 1000));
        QVERIFY(w.updateHeader());
        QVERIFY(w.append(audio.data() + 1000, audio.size() - 1000));
        QVERIFY(w.finish());
        QCOMPARE(QFileInfo(path).size(), 44 + bytes + (bytes & 1));

        const size_t frameBytes = size_t(channels * bits / 8);
        const Read r = readWithSndfile(path, frameBytes);
        QCOMPARE(r.container, SF_FORMAT_WAV);
        QCOMPARE(r.subtype, bits == 8 ? SF_FORMAT_PCM_U8 : SF_FORMAT_PCM_16);
        QVERIFY(r.bytes == audio);

        // Python's wave module refuses anything but format tag 1.
        QProcess python;
        python.start("python3", {"-c",
                                 "import sys, wave\n"
                                 "w = wave.open(sys.argv[1])\n"
                                 "d = w.readframes(w.getnframes())\n"
                                 "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), "
                                 "len(d), sum(d) % 65521)",
                                 path});
        QVERIFY(python.waitForFinished(30000));
        QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
        int sum = 0;
        for (char c : audio)
            sum = (sum + static_cast<unsigned char>(c)) % 65521;
        QCOMPARE(
            QString::fromUtf8(python.readAllStandardOutput()).trimmed(),
            QStringLiteral("%1 %2 22050 %3 %4").arg(channels).arg(bits / 8).arg(bytes).arg(sum));
    }

    // Crossing the limit turns the file into RF64 without losing a byte, whether the file
    // system inserts a block at the start or the data are copied behind a new header.
    void outgrowsIntoRf64_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("mayInsert");
        QTest::newRow("copied") << QString() << false;
        QTest::newRow("inserted where the file system can") << QString() << true;
        QTest::newRow("copied in memory (tmpfs)") << QStringLiteral("/dev/shm") << true;
    }
    void outgrowsIntoRf64() {
        QFETCH(QString, folder);
        QFETCH(bool, mayInsert);
        QTemporaryDir dir(folder.isEmpty() ? QDir::tempPath() + "/tw-XXXXXX"
                                           : folder + "/tw-XXXXXX");
        QVERIFY(dir.isValid());
        const QString path = dir.filePath("long.wav");
        const WavWriter::Format format{2, 44100, 16};
        auto w = open(path, format, 40000, mayInsert);
        const auto audio = ramp(100000, 5);
        QVERIFY(w.begin());
        QVERIFY(w.append(audio.data(), 36000));
        QVERIFY(w.updateHeader());
        QVERIFY(w.append(audio.data() + 36000, 8000)); // crosses the limit
        QVERIFY(w.growth() != WavWriter::Growth::Plain);
        // ext4 and XFS insert; elsewhere (tmpfs, btrfs) the copy is the way.
        struct statfs fs {};
        QVERIFY(::statfs(dir.path().toLocal8Bit().constData(), &fs) == 0);
        const bool inserts = fs.f_type == 0xEF53 || fs.f_type == 0x58465342;
        QCOMPARE(w.growth(),
                 mayInsert && inserts ? WavWriter::Growth::Inserted : WavWriter::Growth::Copied);
        // The capture is still locked: start-up recovery must pass it over.
        Fd other(::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC));
        QVERIFY(::flock(other.get(), LOCK_EX | LOCK_NB) != 0);

        // A killed program leaves the lengths of its last header update; recovery mends them.
        QVERIFY(w.updateHeader());
        QVERIFY(w.append(audio.data() + 44000, audio.size() - 44000));
        const auto stale = tw::wavSeconds(path);
        QVERIFY(stale && qAbs(*stale - 44000.0 / 176400) < 1e-6);
        QVERIFY(w.finish());

        const Read r = readWithSndfile(path, 4);
        QCOMPARE(r.container, SF_FORMAT_RF64);
        QCOMPARE(r.frames, sf_count_t(audio.size() / 4));
        QVERIFY(r.bytes == audio);
        const auto h = tw::readWavHeader(path);
        QVERIFY(h && h->rf64);
        QCOMPARE(h->dataLength, qint64(audio.size()));
        QVERIFY(!QFile::exists(path + ".grow"));
    }
};

QTEST_GUILESS_MAIN(TestWavWriter)
#include "test_wav_writer.moc"
