#include "core/DOSOutputs.h"

#include "platform/IMessageBox.h"
#include "platform/PosixProcess.h"

#include <QByteArray>
#include <QPointer>
#include <QProcess>

namespace tw {

namespace {

constexpr qint64 kReadBytes = 256;
// How long lastExit() waits for a child that has closed its output.
constexpr int kExitWaitMs = 5000;
// How often an asynchronous run looks for the exit of a child whose output has ended.
constexpr int kExitPollMs = 5;

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

} // namespace

class DOSOutputs::Decoder : public ChunkDecoder {};

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
    if (last_ && !running()) {
        lastExit_ = last_->waitForExit(kExitWaitMs);
        last_.reset();
    }
    return lastExit_;
}

std::unique_ptr<IChildProcess> DOSOutputs::launch(const QStringList& arguments) {
    std::unique_ptr<IChildProcess> child = makeProcess_();
    if (const int error = child->createPipe(); error != 0) {
        messageBox_.critical(QStringLiteral("CreatePipe failed. Error: ") + QString::number(error));
        return nullptr;
    }
    if (!child->start(arguments)) {
        child.reset();
        messageBox_.critical(
            QStringLiteral("File or command not found") +
            (missingHint_.isEmpty() ? QString() : QStringLiteral("\n\n") + missingHint_));
        return nullptr;
    }
    outputs_.clear();
    return child;
}

QString DOSOutputs::ExecuteCommand(const QString& commandLine) {
    if (running())
        return QString(); // one run at a time: the running one keeps the object
    forgetLastRun();
    if (!commandLine.isEmpty())
        commandLine_ = commandLine;
    if (commandLine_.isEmpty()) {
        messageBox_.critical(QStringLiteral("Command Line empty"));
        return QString();
    }
    // No shell: quoting groups words, and $, *, ; and the like reach the program unchanged.
    return runToEnd(QProcess::splitCommand(commandLine_));
}

QString DOSOutputs::ExecuteArguments(const QStringList& arguments) {
    if (running())
        return QString();
    forgetLastRun();
    commandLine_ = arguments.join(QLatin1Char(' ')); // shown only; never split again
    if (arguments.isEmpty() || arguments.first().isEmpty()) {
        messageBox_.critical(QStringLiteral("Command Line empty"));
        return QString();
    }
    return runToEnd(arguments);
}

QString DOSOutputs::runToEnd(const QStringList& arguments) {
    std::unique_ptr<IChildProcess> child = launch(arguments);
    if (!child)
        return QString();
    // The listener may destroy this object: the run then ends without touching it.
    const QPointer<DOSOutputs> alive(this);
    Decoder decoder;
    while (readOnce(*child, decoder)) {
    }
    if (alive.isNull())
        return QString();
    // A child that is gone already is collected now; one that is not is waited for only by
    // whoever asks how it ended.
    lastExit_ = child->waitForExit(0);
    if (lastExit_.how == ChildExit::How::StillRunning)
        last_ = std::move(child);
    return outputs_;
}

bool DOSOutputs::readOnce(IChildProcess& child, Decoder& decoder) {
    const QPointer<DOSOutputs> alive(this);
    auto deliver = [&](const QString& chunk) {
        outputs_ += chunk;
        emit ReceiveOutputs(chunk);
        return !alive.isNull();
    };
    char buffer[kReadBytes];
    const qint64 n = child.read(buffer, kReadBytes);
    if (n >= 0) {
        const QString chunk = decoder.decode(buffer, n);
        // A read that brought only the start of a character has nothing to show yet; an
        // empty chunk would tell the listener that the output has ended.
        return (n != 0 && chunk.isEmpty()) || deliver(chunk);
    }
    const QString rest = decoder.finish();
    if (!rest.isEmpty() && !deliver(rest))
        return false;
    deliver(QString());
    return false;
}

bool DOSOutputs::StartArguments(const QStringList& arguments) {
    if (running())
        return false;
    forgetLastRun();
    commandLine_ = arguments.join(QLatin1Char(' '));
    if (arguments.isEmpty() || arguments.first().isEmpty()) {
        messageBox_.critical(QStringLiteral("Command Line empty"));
        return false;
    }
    std::unique_ptr<IChildProcess> child = launch(arguments);
    if (!child)
        return false;
    last_ = std::move(child);
    decoder_ = std::make_unique<Decoder>();
    // Each chunk reaches the listener from its own turn of the event loop, one read per
    // turn, so the window repaints and takes input between them and nothing is nested.
    watch_ = new QSocketNotifier(last_->readDescriptor(), QSocketNotifier::Read, this);
    connect(watch_, &QSocketNotifier::activated, this, &DOSOutputs::readable);
    return true;
}

void DOSOutputs::readable() {
    const QPointer<DOSOutputs> alive(this);
    if (readOnce(*last_, *decoder_))
        return;
    if (alive.isNull())
        return;
    // The descriptor is closed by now: the watch must go before it could fire on a reused one.
    delete watch_;
    watch_ = nullptr;
    exitPolls_ = 0;
    exitWait_ = new QTimer(this);
    exitWait_->setInterval(kExitPollMs);
    connect(exitWait_, &QTimer::timeout, this, &DOSOutputs::pollExit);
    exitWait_->start();
    pollExit();
}

void DOSOutputs::pollExit() {
    // The pipe usually ends a moment before the child is gone; looking costs no wait.
    lastExit_ = last_->waitForExit(0);
    if (lastExit_.how == ChildExit::How::StillRunning && ++exitPolls_ * kExitPollMs < kExitWaitMs)
        return;
    exitWait_->deleteLater();
    exitWait_ = nullptr;
    decoder_.reset();
    // A child still running is left to end on its own; destroying it collects it then.
    last_.reset();
    emit RunEnded();
}

void DOSOutputs::Cancel() {
    if (last_ && running())
        last_->terminate();
}

} // namespace tw
