#include "platform/core/Inet.h"

#include <QMetaObject>
#include <QUrl>

#include <thread>

struct Inet::Job {
    HttpInterrupt stop;
    std::thread worker;
};

Inet::Inet(QObject* parent) : QObject(parent)
{
    setRequestTimeout(requestTimeout_);
}

Inet::~Inet()
{
    Cancel();
}

void Inet::Cancel()
{
    if (!job_) return;
    job_->stop.interrupt();
    job_->worker.join();
    job_.reset();
}

void Inet::setRequestTimeout(int seconds)
{
    requestTimeout_ = seconds;
    limits_.total = std::chrono::seconds(seconds > 0 ? seconds : 24 * 3600);
    limits_.connect = std::min<std::chrono::milliseconds>(limits_.total, std::chrono::seconds(10));
}

void Inet::Execute(const QString& url, const QString& operation, const QString& data,
                   const QString& headers)
{
    if (job_) throw InetError("Still executing last request");
    const QUrl parsed(url);
    if (!parsed.isValid() || (parsed.scheme() != u"http" && parsed.scheme() != u"https"))
        throw InetError("URL is malformed");
    const QString op = operation.isEmpty() ? QStringLiteral("GET") : operation.toUpper();
    if (op != u"GET" && op != u"POST") throw InetError("Unsupported operation");

    HttpCall call;
    call.method = op.toLatin1();
    call.url = url;
    call.body = data.toUtf8();
    call.limits = limits_;
    call.defaultPort = remotePort_;
    for (const QString& line : headers.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        call.headers.append(line.toUtf8());

    body_.clear();
    read_ = 0;
    status_ = 0;
    job_ = std::make_unique<Job>();
    Job* job = job_.get();
    const quint64 generation = ++generation_;
    job->worker = std::thread([this, job, call, generation, queued = reportQueued_] {
        HttpOutcome outcome = PerformHttpInterruptible(call, job->stop);
        if (job->stop.interrupted())
            return; // abandoned: the owner is going away and wants no report
        // Queued to the owner's thread; dropped by Qt if the owner is gone by then.
        QMetaObject::invokeMethod(
            this, [this, outcome, generation] { finish(generation, outcome); },
            Qt::QueuedConnection);
        if (queued) queued();
    });
}

void Inet::finish(quint64 generation, const HttpOutcome& outcome)
{
    // Cancelled after the report was queued, perhaps with another request started since.
    if (!job_ || generation != generation_) return;
    job_->worker.join();
    job_.reset();
    status_ = outcome.status;
    if (!outcome.completed) {
        Q_EMIT StateChanged(icError);
        return;
    }
    body_ = outcome.body;
    Q_EMIT StateChanged(icResponseCompleted);
}

QByteArray Inet::GetChunk(short size, int dataType)
{
    Q_UNUSED(dataType);
    const qsizetype count = size > 0 ? qsizetype(size) : body_.size() - read_;
    QByteArray chunk = body_.mid(read_, count);
    read_ += chunk.size();
    return chunk;
}
