#pragma once

#include "platform/core/HttpCall.h"

#include <QObject>

#include <functional>
#include <memory>
#include <stdexcept>

/** Raised by Inet::Execute when the request cannot be started. */
struct InetError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

/** An Internet transfer control: Execute starts an HTTP request on a worker thread and returns
 *  at once; StateChanged arrives on the owner's thread with 12 (response complete, GetChunk holds
 *  the body) or 11 (the transfer failed). Destroying it abandons a running transfer silently. */
class Inet : public QObject {
    Q_OBJECT
public:
    enum : short { icError = 11, icResponseCompleted = 12 };
    enum : int { icString = 0, icByteArray = 1 };

    explicit Inet(QObject* parent = nullptr);
    ~Inet() override;

    int RemotePort() const { return remotePort_; }
    void setRemotePort(int port) { remotePort_ = port; }
    /** Seconds; 0 means the transfer may take as long as it takes. */
    int RequestTimeout() const { return requestTimeout_; }
    void setRequestTimeout(int seconds);
    /** Finer control of the time-outs and the body cap than RequestTimeout offers. */
    void setLimits(const HttpLimits& limits) { limits_ = limits; }
    const HttpLimits& limits() const { return limits_; }

    /** Starts the request; throws InetError while another one runs or when it cannot start. */
    void Execute(const QString& url, const QString& operation, const QString& data,
                 const QString& headers);
    bool StillExecuting() const { return job_ != nullptr; }
    /** Abandons a running request: it reports nothing, now or later. */
    void Cancel();
    /** The body of the last completed response (size 0: all of it). */
    QByteArray GetChunk(short size, int dataType);
    long ResponseCode() const { return status_; }
    /** Called on the worker thread once a report is on its way to the owner's thread: lets a
     *  test catch the moment between a transfer's end and its report. */
    void setReportQueued(std::function<void()> hook) { reportQueued_ = std::move(hook); }

Q_SIGNALS:
    void StateChanged(short State);

private:
    struct Job;
    void finish(quint64 generation, const HttpOutcome& outcome);

    int remotePort_ = 80;
    int requestTimeout_ = 60;
    HttpLimits limits_;
    std::unique_ptr<Job> job_;
    quint64 generation_ = 0; // of the request job_ runs
    QByteArray body_;
    qsizetype read_ = 0;
    long status_ = 0;
    std::function<void()> reportQueued_;
};
