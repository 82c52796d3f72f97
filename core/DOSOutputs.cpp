#include "core/DOSOutputs.h"

#include "platform/IMessageBox.h"
#include "platform/PosixProcess.h"

#include <QByteArray>
#include <QPointer>
#include <QProcess>

namespace tw {

namespace {

constexpr qint64 kReadBytes = 256;
// How long the run waits for output before it lets the window system have another turn.
constexpr int kQuietSliceMs = 20;
// How long lastExit() waits for a child that has closed its output.
constexpr int kExitWaitMs = 5000;

// Number of bytes at the end of `bytes` that begin a UTF-8 sequence whose remaining bytes
// have not arrived yet.
qsizetype incompleteTail(const QByteArray& bytes) {
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for the lead
        qsizetype length = 1;
        if (byte >= 0xC2 && byte <= 0xDF)
            length = 2;
        else if (byte >= 0xE0 && byte <= 0xEF)
            length = 3;
        else if (byte >= 0xF0 && byte <= 0xF4)
            length = 4;
        return length > back ? back : 0;
    }
    return 0;
}

// Turns the bytes of successive reads into text. The system's 8-bit encoding is UTF-8 here,
// and a character may straddle two reads: its first bytes wait for the rest instead of
// becoming replacement characters in both chunks. A chunk thus holds at most the characters
// of 256 bytes.
class ChunkDecoder {
  public:
    QString decode(const char* data, qint64 size) {
        pending_.append(data, size);
        const qsizetype keep = incompleteTail(pending_);
        const QString text = QString::fromUtf8(pending_.constData(), pending_.size() - keep);
        pending_.remove(0, pending_.size() - keep);
        return text;
    }
    // What is left when the output ends: a truncated character, shown as such.
    QString finish() {
        const QString text = QString::fromUtf8(pending_);
        pending_.clear();
        return text;
    }

  private:
    QByteArray pending_;
};

// What the user can do about a program that is not there. The MP3 encoder is the one
// program the runner is given that a desktop often lacks; the application directory's
// launcher for it is installed only where lame is.
QString missingProgramHint(const QString& program) {
    const QString name = program.section(u'/', -1);
    if (name.compare(QStringLiteral("lame"), Qt::CaseInsensitive) != 0 &&
        name.compare(QStringLiteral("lame.exe"), Qt::CaseInsensitive) != 0)
        return QString();
    return QStringLiteral("\n\nThe MP3 encoder lame is not installed. Install it with "
                          "\"sudo apt install lame\" and try again.");
}

} // namespace

DOSOutputs::DOSOutputs(IMessageBox& messageBox, QObject* parent)
    : DOSOutputs(
          messageBox, [] { return std::make_unique<PosixProcess>(); }, parent) {}

DOSOutputs::DOSOutputs(IMessageBox& messageBox, ChildProcessFactory makeProcess, QObject* parent)
    : QObject(parent), messageBox_(messageBox), makeProcess_(std::move(makeProcess)) {}

DOSOutputs::~DOSOutputs() = default;

void DOSOutputs::forgetLastRun() {
    last_.reset(); // collects the exit without waiting
    lastExit_ = ChildExit{};
}

ChildExit DOSOutputs::lastExit() {
    if (last_) {
        lastExit_ = last_->waitForExit(kExitWaitMs);
        last_.reset();
    }
    return lastExit_;
}

QString DOSOutputs::ExecuteCommand(const QString& commandLine) {
    forgetLastRun();
    if (!commandLine.isEmpty())
        commandLine_ = commandLine;
    if (commandLine_.isEmpty()) {
        messageBox_.critical(QStringLiteral("Command Line empty"));
        return QString();
    }

    // No shell: quoting groups words, and $, *, ; and the like reach the program unchanged.
    return run(QProcess::splitCommand(commandLine_));
}

QString DOSOutputs::ExecuteArguments(const QStringList& arguments) {
    forgetLastRun();
    commandLine_ = arguments.join(QLatin1Char(' ')); // shown only; never split again
    if (arguments.isEmpty() || arguments.first().isEmpty()) {
        messageBox_.critical(QStringLiteral("Command Line empty"));
        return QString();
    }
    return run(arguments);
}

QString DOSOutputs::run(const QStringList& arguments) {
    std::unique_ptr<IChildProcess> child = makeProcess_();
    if (const int error = child->createPipe(); error != 0) {
        messageBox_.critical(QStringLiteral("CreatePipe failed. Error: ") + QString::number(error));
        return QString();
    }
    if (!child->start(arguments)) {
        child.reset();
        messageBox_.critical(QStringLiteral("File or command not found") +
                             missingProgramHint(arguments.value(0)));
        return QString();
    }
    outputs_.clear();

    // The listener, or the yield hook, may run the event loop and even destroy this object.
    const QPointer<DOSOutputs> alive(this);
    auto deliver = [&](const QString& chunk) {
        outputs_ += chunk;
        emit ReceiveOutputs(chunk);
        return !alive.isNull();
    };

    // Reads happen on this thread, one at a time, and each chunk reaches the listener before
    // the next read. A reader thread would keep the window just as live, but its chunks would
    // have to come back through the event loop, where the listener's own yield would deliver
    // the next chunk inside the previous one. Instead, while the child is quiet, the run
    // polls the pipe and gives the window system a turn through the hook.
    ChunkDecoder decoder;
    char buffer[kReadBytes];
    bool readOk = true;
    do {
        if (yield_) {
            for (int wait = 0; !child->waitReadable(wait); wait = kQuietSliceMs) {
                yield_();
                if (alive.isNull())
                    return QString();
            }
        }
        const qint64 n = child->read(buffer, kReadBytes);
        readOk = n >= 0;
        if (readOk) {
            const QString chunk = decoder.decode(buffer, n);
            // A read that brought only the start of a character has nothing to show yet; an
            // empty chunk would tell the listener that the output has ended.
            if ((n == 0 || !chunk.isEmpty()) && !deliver(chunk))
                return QString();
        } else {
            const QString rest = decoder.finish();
            if (!rest.isEmpty() && !deliver(rest))
                return QString();
            if (!deliver(QString()))
                return QString();
        }
    } while (readOk);

    // A child that is gone already is collected now; one that is not is waited for only by
    // whoever asks how it ended.
    lastExit_ = child->waitForExit(0);
    if (lastExit_.how == ChildExit::How::StillRunning)
        last_ = std::move(child);
    return outputs_;
}

} // namespace tw
