#include "core/TakeStore.h"

#include "core/StatusLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <pthread.h>
#include <sched.h>

namespace tw {

namespace {
const QString kTakes = QStringLiteral("takes");
const QString kPath = QStringLiteral("path");
const QString kSeconds = QStringLiteral("seconds");
const QString kKind = QStringLiteral("kind");
const QString kConverted = QStringLiteral("converted");

// Answers "" when written, else why not.
QString writeFile(const QString& file, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSaveFile out(file);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        return out.errorString();
    return QString();
}
} // namespace

TakeStore::TakeStore(Takes& takes, StatusLine& status, QObject* parent)
    : QObject(parent), takes_(takes), status_(status) {
    connect(&takes_, &QAbstractItemModel::rowsInserted, this, &TakeStore::changed);
    connect(&takes_, &QAbstractItemModel::rowsRemoved, this, &TakeStore::changed);
    connect(&takes_, &QAbstractItemModel::modelReset, this, &TakeStore::changed);
    connect(&takes_, &QAbstractItemModel::dataChanged, this, &TakeStore::changed);
}

TakeStore::~TakeStore() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (reader_.joinable())
        reader_.join();
    if (worker_.joinable())
        worker_.join();
}

void TakeStore::open(const QString& file) {
    if (readAsked_)
        return;
    file_ = file;
    readAsked_ = true;
    worker_ = std::thread([this] { work(); });
    reader_ = std::thread([this] {
        // Background work: on a machine with few cores the window's own start comes first.
        sched_param idle{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
        const Read earlier = read(file_);
        // Queued to the list's thread; a store gone by then takes the call with it.
        QMetaObject::invokeMethod(
            this, [this, earlier] { listEarlier(earlier); }, Qt::QueuedConnection);
    });
}

void TakeStore::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || pending_; });
        if (!pending_)
            return;
        const QByteArray bytes = std::exchange(pending_, std::nullopt).value();
        lock.unlock();
        const QString why = writeFile(file_, bytes);
        if (!why.isEmpty())
            qWarning("The list of takes could not be written to %s: %s", qPrintable(file_),
                     qPrintable(why));
        lock.lock();
    }
}

TakeStore::Read TakeStore::read(const QString& file) {
    Read result;
    QFile in(file);
    if (!in.exists()) {
        result.missing = true;
        return result;
    }
    if (!in.open(QIODevice::ReadOnly)) {
        result.damage = in.errorString();
        return result;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(in.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        result.damage = QStringLiteral("%1 at byte %2").arg(error.errorString()).arg(error.offset);
        return result;
    }
    if (!document.isObject() || !document.object().value(kTakes).isArray()) {
        result.damage = QStringLiteral("it holds no list of takes");
        return result;
    }
    for (const QJsonValue& value : document.object().value(kTakes).toArray()) {
        const QJsonObject entry = value.toObject();
        const QString path = entry.value(kPath).toString();
        // A line of another program's making, or one whose file has gone, is left out.
        if (path.isEmpty() || !QFileInfo(path).isFile()) {
            ++result.leftOut;
            continue;
        }
        Takes::Take take;
        take.path = path;
        take.seconds = std::max(0, entry.value(kSeconds).toInt());
        take.kind =
            entry.value(kKind).toString() == kConverted ? Takes::Kind::Converted : Takes::Kind::Wav;
        take.earlier = true;
        result.takes.append(take);
    }
    return result;
}

QByteArray TakeStore::serialize(const Takes& takes) {
    QJsonArray list;
    for (int row = 0; row < takes.rowCount(); ++row) {
        const Takes::Take& take = takes.at(row);
        list.append(QJsonObject{
            {kPath, take.path},
            {kSeconds, take.seconds},
            {kKind, take.kind == Takes::Kind::Converted ? kConverted : QStringLiteral("wav")}});
    }
    return QJsonDocument(QJsonObject{{kTakes, list}}).toJson(QJsonDocument::Indented);
}

void TakeStore::listEarlier(const Read& read) {
    if (read.missing) {
        status_.set(QStringLiteral("No list of earlier takes was found; this run's takes are "
                                   "kept in %1.")
                        .arg(file_),
                    kBlue);
    } else if (!read.damage.isEmpty()) {
        const QString kept = file_ + QStringLiteral(".damaged");
        QFile::remove(kept);
        QFile::rename(file_, kept);
        status_.set(QStringLiteral("The list of earlier takes could not be read (%1): it begins "
                                   "anew, and the damaged file is kept as %2.")
                        .arg(read.damage, kept),
                    kRed);
    }
    const bool thisRunsTakes = takes_.rowCount() > 0;
    takes_.prependEarlier(read.takes);
    open_ = true;
    // A file that holds exactly what is listed is left as it is: a long list is not written
    // anew at every start.
    if (read.missing || !read.damage.isEmpty() || read.leftOut > 0 || thisRunsTakes)
        changed();
    emit opened(int(read.takes.size()));
}

void TakeStore::changed() {
    if (!open_)
        return;
    {
        std::lock_guard lock(mutex_);
        pending_ = serialize(takes_);
    }
    wake_.notify_one();
}

} // namespace tw
