// The capture's file format: readers that know only plain PCM WAV open a take, and a take that
// outgrows 32-bit sizes goes on as RF64 that libsndfile and the program's own recovery read.
#include "core/WavFile.h"
#include "engine/wav_writer.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sndfile.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/vfs.h>
#include <unistd.h>
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

// Whether the page cache holds the file's page at `offset`.
bool cached(const QString& path, size_t offset) {
    Fd fd(::open(path.toLocal8Bit().constData(), O_RDONLY | O_CLOEXEC));
    const auto page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t length = offset / page * page + page;
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd.get(), 0);
    if (map == MAP_FAILED)
        return false;
    std::vector<unsigned char> resident(length / page);
    const bool in = ::mincore(map, length, resident.data()) == 0 && (resident.back() & 1);
    ::munmap(map, length);
    return in;
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

    // The capture's audio goes to the disk in whole blocks past the page cache; what is short
    // of a block waits, and the header's block stays cached, so the file reads back exact.
    void directBlocks() {
        QTemporaryDir dir(QDir::tempPath() + "/tw-XXXXXX");
        const QString path = dir.filePath("direct.wav");
        auto w = open(path, {2, 44100, 16}, WavWriter::kPlainLimit, true);
        QVERIFY(w.begin());
        QVERIFY2(w.enableDirect(), "the test folder's file system refuses direct I/O");
        // Laid out as the engine's ring lays it: each byte at the address its file offset has
        // within a block.
        const auto audio = ramp(100000, 9);
        constexpr size_t kBlock = WavWriter::kDirectBlock;
        std::unique_ptr<char, decltype(&std::free)> buffer(
            static_cast<char*>(std::aligned_alloc(kBlock, (audio.size() / kBlock + 2) * kBlock)),
            &std::free);
        char* at = buffer.get() + WavWriter::kPlainDataOffset;
        std::copy(audio.begin(), audio.end(), at);

        size_t taken = 0;
        QVERIFY(w.appendBlocks(at, 10000, taken));
        QCOMPARE(taken, 2 * kBlock - WavWriter::kPlainDataOffset); // the header's block, one more
        QVERIFY(w.updateHeader());
        QVERIFY(cached(path, 0));
        QVERIFY(!cached(path, kBlock));
        // (Read after: reading the header brings the next pages in.)
        const auto sofar = tw::wavSeconds(path);
        QVERIFY(sofar && qAbs(*sofar - double(taken) / 176400) < 1e-6);

        size_t done = taken;
        QVERIFY(w.appendBlocks(at + done, audio.size() - done, taken));
        done += taken;
        QVERIFY(audio.size() - done < kBlock && w.direct());
        QVERIFY(w.append(at + done, audio.size() - done));
        QVERIFY(!w.direct());
        QVERIFY(w.finish());
        const Read r = readWithSndfile(path, 4);
        QCOMPARE(r.container, SF_FORMAT_WAV);
        QVERIFY(r.bytes == audio);

        // A caller whose memory is not laid out that way still has all of it written.
        const QString other = dir.filePath("unaligned.wav");
        auto u = open(other, {2, 44100, 16}, WavWriter::kPlainLimit, true);
        QVERIFY(u.begin() && u.enableDirect());
        QVERIFY(u.appendBlocks(at + 1, 20000, taken));
        QCOMPARE(taken, size_t(20000));
        QVERIFY(!u.direct() && u.finish());
        QVERIFY(readWithSndfile(other, 4).bytes == std::vector<char>(at + 1, at + 20001));
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
