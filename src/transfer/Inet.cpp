#include "transfer/Inet.h"

#include <QEventLoop>
#include <QIODevice>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <memory>

#include "update/Failure.h"

namespace {

// At most this much of a response is held in memory; the rest waits in the socket.
constexpr qint64 ReadBufferBytes = 256 * 1024;

// True for a status of 200 to 299.
bool IsSuccess(const QNetworkReply* reply) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return status >= 200 && status <= 299;
}

// Why a finished reply failed, in words for the player ("" when it did not fail
// at the network level).
QString TransportProblem(const QNetworkReply* reply, int timeoutMs) {
    switch (reply->error()) {
    case QNetworkReply::NoError:
        return QString();
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("the server refused the connection (is it running?)");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("the server's host name could not be found");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("the server closed the connection before the whole file arrived");
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("the server did not answer for %1 seconds").arg(timeoutMs / 1000);
    case QNetworkReply::TooManyRedirectsError:
        return QStringLiteral("the server redirected the request too many times");
    default:
        break;
    }
    // An error status comes with its own reply error; the status says it best.
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && !IsSuccess(reply))
        return QString();
    return reply->errorString();
}

// "the server answered 404 Not Found" for a reply with an error status.
QString StatusProblem(const QNetworkReply* reply) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason =
        reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString().trimmed();
    return QStringLiteral("the server answered %1%2")
        .arg(status)
        .arg(reason.isEmpty() ? QString() : QLatin1Char(' ') + reason);
}

} // namespace

InetTransfer::InetTransfer() {
    // Every file is fetched fresh: no cache, no cookies, no stored credentials.
    manager_.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

InetTransfer::~InetTransfer() {
    Abort();
}

QNetworkRequest InetTransfer::MakeRequest(const QString& url) const {
    QNetworkRequest request{QUrl(url)};
    request.setTransferTimeout(RequestTimeoutMs);
    // The bytes stored must be the server's bytes: ask for no compression.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    return request;
}

QByteArray InetTransfer::OpenURL(const QString& url, const QString& what) {
    Abort();
    const std::unique_ptr<QNetworkReply> reply(manager_.get(MakeRequest(url)));
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // User input waits until the answer is there; repaints still happen.
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    const QString problem = TransportProblem(reply.get(), RequestTimeoutMs);
    if (!problem.isEmpty())
        Fail(QStringLiteral("Could not download %1: %2.").arg(what, problem));
    if (!IsSuccess(reply.get()))
        return QByteArray();
    return reply->readAll();
}

void InetTransfer::Execute(const QString& url, QIODevice* sink) {
    Abort();
    sink_ = sink;
    received_ = 0;
    sinkError_.clear();
    reply_ = manager_.get(MakeRequest(url));
    reply_->setReadBufferSize(ReadBufferBytes);
    connect(reply_, &QNetworkReply::readyRead, this, &InetTransfer::ReceiveBody);
    connect(reply_, &QNetworkReply::finished, this, &InetTransfer::ReceiveBody);
}

void InetTransfer::ReceiveBody() {
    if (!reply_ || !sink_)
        return;
    if (!IsSuccess(reply_)) {
        if (reply_->isOpen())
            reply_->skip(reply_->bytesAvailable()); // an error page is never stored
        return;
    }
    while (reply_->bytesAvailable() > 0) {
        const QByteArray block = reply_->read(ReadBufferBytes);
        if (sink_->write(block) != block.size()) {
            sinkError_ = sink_->errorString();
            sink_ = nullptr;
            reply_->abort(); // the reply is deleted later, outside its own signal
            return;
        }
        received_ += block.size();
    }
}

bool InetTransfer::StillExecuting() const {
    return reply_ && !reply_->isFinished();
}

QString InetTransfer::GetHeader(const QString& name) const {
    if (!reply_)
        return QString();
    return QString::fromLatin1(reply_->rawHeader(name.toLatin1())).trimmed();
}

void InetTransfer::CheckCompleted(const QString& what) const {
    if (!sinkError_.isEmpty())
        Fail(QStringLiteral("Could not save %1: %2.").arg(what, sinkError_));
    if (!reply_)
        Fail(QStringLiteral("Could not download %1: the transfer was abandoned.").arg(what));
    const QString problem = TransportProblem(reply_, RequestTimeoutMs);
    if (!problem.isEmpty())
        Fail(QStringLiteral("Could not download %1: %2.").arg(what, problem));
    if (!IsSuccess(reply_))
        Fail(QStringLiteral("Could not download %1: %2.").arg(what, StatusProblem(reply_)));
}

void InetTransfer::Abort() {
    if (!reply_)
        return;
    reply_->disconnect(this);
    reply_->abort();
    // Deleted at once: while the update runs no event loop would ever get to
    // a later deletion, and every file would leave its reply behind.
    delete reply_;
    reply_ = nullptr;
    sink_ = nullptr;
}
