#include "transfer/Inet.h"

#include <QBuffer>
#include <QEventLoop>
#include <QFileDevice>
#include <QIODevice>
#include <QTcpSocket>
#include <algorithm>

#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif

#include "update/Failure.h"

namespace {

// At most this much of a response is held in memory; the rest waits in the
// socket. It is also the longest header line accepted.
constexpr qint64 ReadBufferBytes = 256 * 1024;
// The header part of a response may not be longer than this.
constexpr qint64 MaxHeaderBytes = 8 * 1024 * 1024;
// A request follows at most this many redirects.
constexpr int MaxRedirects = 50;
// A body written into a file is handed to the system for writing in steps of
// this size, so that the final flush to disk has little left to wait for.
constexpr qint64 WriteBackStep = 8 * 1024 * 1024;

// Counts a socket signal being handled, so that the socket is not deleted
// while it is still emitting.
struct SignalScope {
    int& depth;
    explicit SignalScope(int& d) : depth(d) { ++depth; }
    ~SignalScope() { --depth; }
};

// The value of a decimal or hexadecimal number made of digits only; -1 when
// text is no such number or too large.
qint64 ParseSize(QByteArrayView text, int base) {
    if (text.isEmpty() || text.size() > 15)
        return -1;
    qint64 value = 0;
    for (const char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return -1;
        value = value * base + digit;
    }
    return value;
}

} // namespace

InetTransfer::InetTransfer() {
    // Every file is fetched fresh: no cache, no cookies, no stored credentials.
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, &InetTransfer::OnTimeout);
    buffer_.resize(ReadBufferBytes);
}

InetTransfer::~InetTransfer() {
    Abort();
    CloseConnections();
}

QByteArray InetTransfer::OpenURL(const QString& url, const QString& what) {
    QBuffer body;
    body.open(QIODevice::WriteOnly);
    Execute(url, &body);
    if (active_) {
        QEventLoop loop;
        QObject::connect(this, &InetTransfer::finished, &loop, &QEventLoop::quit);
        // User input waits until the answer is there; repaints still happen.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    }
    const Problem problem = problem_;
    const QString text = ProblemText();
    const bool success = status_ >= 200 && status_ <= 299;
    Reset();
    if (problem != Problem::None)
        Fail(QStringLiteral("Could not download %1: %2.").arg(what, text));
    if (!success)
        return QByteArray();
    return body.data();
}

void InetTransfer::Execute(const QString& url, QIODevice* sink) {
    Abort();
    sink_ = sink;
    received_ = 0;
    writeBackFrom_ = 0;
    sinkError_.clear();
    problem_ = Problem::None;
    problemText_.clear();
    redirects_ = 0;
    finalHeaders_.clear();
    status_ = 0;
    reason_.clear();
    active_ = true;
    started_ = true;
    Send(QUrl(url));
}

// Sends a GET of url over the kept-alive connection when it leads to the same
// server, or over a new one.
void InetTransfer::Send(const QUrl& url) {
    url_ = url;
    stage_ = Stage::Connecting;
    responseStarted_ = false;
    headers_.clear();
    headerBytes_ = 0;
    status_ = 0;
    reason_.clear();
    const QString scheme = url.scheme().toLower();
    const bool secure = scheme == QLatin1String("https");
    if (scheme != QLatin1String("http") && !secure) {
        End(Problem::Other, QStringLiteral("Protocol \"%1\" is unknown").arg(url.scheme()));
        return;
    }
#if !QT_CONFIG(ssl)
    if (secure) {
        End(Problem::Other, QStringLiteral("Protocol \"https\" is unknown"));
        return;
    }
#endif
    const int port = url.port(secure ? 443 : 80);
    const QString origin = scheme + QStringLiteral("://") + url.host() + QLatin1Char(':') +
                           QString::number(port);
    if (socket_ && (socketOrigin_ != origin ||
                    socket_->state() != QAbstractSocket::ConnectedState ||
                    socket_->bytesAvailable() > 0))
        DropSocket();
    timer_.start(RequestTimeoutMs);
    if (socket_) {
        socketReused_ = true;
        WriteRequest();
        return;
    }
    socketReused_ = false;
#if QT_CONFIG(ssl)
    if (secure) {
        auto* socket = new QSslSocket(this);
        socket_ = socket;
        connect(socket, &QSslSocket::encrypted, this, &InetTransfer::OnConnected);
    } else
#endif
    {
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, &InetTransfer::OnConnected);
    }
    socketOrigin_ = origin;
    socket_->setReadBufferSize(ReadBufferBytes);
    QTcpSocket* socket = socket_;
    connect(socket, &QTcpSocket::readyRead, this, &InetTransfer::OnReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { OnClosed(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) { OnSocketError(socket, error); });
    connect(socket_, &QTcpSocket::bytesWritten, this, [this] {
        if (active_)
            timer_.start(RequestTimeoutMs);
    });
#if QT_CONFIG(ssl)
    if (secure) {
        static_cast<QSslSocket*>(socket_)->connectToHostEncrypted(url.host(), quint16(port));
        return;
    }
#endif
    socket_->connectToHost(url.host(), quint16(port));
}

void InetTransfer::OnConnected() {
    const SignalScope scope(inSocketSignal_);
    if (!active_ || stage_ != Stage::Connecting)
        return;
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    timer_.start(RequestTimeoutMs);
    WriteRequest();
}

void InetTransfer::WriteRequest() {
    QByteArray target = url_.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url_.hasQuery())
        target += '?' + url_.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url_.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url_.port() != -1 &&
        url_.port() != (url_.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
                            ? 443
                            : 80))
        host += ':' + QByteArray::number(url_.port());
    // The bytes stored must be the server's bytes: ask for no compression.
    const QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: " + host +
                               "\r\nAccept-Encoding: identity\r\nConnection: Keep-Alive\r\n"
                               "Accept-Language: en-US,*\r\nUser-Agent: Mozilla/5.0\r\n\r\n";
    stage_ = Stage::StatusLine;
    socket_->write(request);
}

void InetTransfer::OnReadyRead() {
    const SignalScope scope(inSocketSignal_);
    if (!active_) {
        // Nothing is expected on an idle connection: it cannot be trusted.
        DropSocket();
        return;
    }
    timer_.start(RequestTimeoutMs);
    Parse();
}

// Reads what the socket holds: header lines, then the body into the sink.
void InetTransfer::Parse() {
    while (active_ && socket_) {
        switch (stage_) {
        case Stage::Idle:
        case Stage::Connecting:
            return;
        case Stage::StatusLine:
        case Stage::Headers:
        case Stage::ChunkSize:
        case Stage::ChunkEnd:
        case Stage::Trailer: {
            if (!socket_->canReadLine()) {
                if (socket_->bytesAvailable() >= ReadBufferBytes)
                    End(Problem::Other,
                        QStringLiteral("the server sent a header line longer than %1 bytes")
                            .arg(ReadBufferBytes));
                return;
            }
            if (!ParseLine(socket_->readLine()))
                return;
            break;
        }
        case Stage::Body:
        case Stage::ChunkData: {
            const qint64 available = socket_->bytesAvailable();
            if (available <= 0)
                return;
            qint64 size = std::min(available, qint64(buffer_.size()));
            if (!untilClose_ || stage_ == Stage::ChunkData)
                size = std::min(size, left_);
            const qint64 got = socket_->read(buffer_.data(), size);
            if (got <= 0)
                return;
            if (!Deliver(got))
                return;
            if (untilClose_ && stage_ == Stage::Body)
                break;
            left_ -= got;
            if (left_ == 0) {
                if (stage_ == Stage::ChunkData)
                    stage_ = Stage::ChunkEnd;
                else
                    ResponseDone();
            }
            break;
        }
        }
    }
}

// Handles one line of the header part or of the chunk framing. Returns false
// when the request has ended.
bool InetTransfer::ParseLine(QByteArray line) {
    responseStarted_ = true;
    if (stage_ == Stage::StatusLine || stage_ == Stage::Headers)
        headerBytes_ += line.size();
    if (headerBytes_ > MaxHeaderBytes) {
        End(Problem::Other,
            QStringLiteral("the server sent a header longer than %1 bytes").arg(MaxHeaderBytes));
        return false;
    }
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    switch (stage_) {
    case Stage::StatusLine: {
        if (line.isEmpty())
            return true; // blank lines before the status line are tolerated
        // "HTTP/1.1 200 OK"
        const qsizetype space = line.indexOf(' ');
        const qsizetype end = space < 0 ? -1 : line.indexOf(' ', space + 1);
        const QByteArray code =
            space < 0 ? QByteArray() : line.mid(space + 1, end < 0 ? -1 : end - space - 1);
        const qint64 status = ParseSize(code, 10);
        if (!line.startsWith("HTTP/") || code.size() != 3 || status < 100) {
            End(Problem::Other, QStringLiteral("the server's answer is not HTTP"));
            return false;
        }
        status_ = int(status);
        reason_ = end < 0 ? QString() : QString::fromLatin1(line.mid(end + 1)).trimmed();
        keepAlive_ = !line.startsWith("HTTP/1.0");
        stage_ = Stage::Headers;
        return true;
    }
    case Stage::Headers: {
        if (line.isEmpty()) {
            HeadersDone();
            return active_;
        }
        if ((line.startsWith(' ') || line.startsWith('\t')) && !headers_.isEmpty()) {
            headers_.last().second += ' ' + line.trimmed(); // a folded line continues the last
            return true;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            headers_.append({line.first(colon).trimmed().toLower(), line.sliced(colon + 1).trimmed()});
        return true;
    }
    case Stage::ChunkSize: {
        QByteArray size = line;
        if (const qsizetype semicolon = size.indexOf(';'); semicolon >= 0)
            size.truncate(semicolon);
        left_ = ParseSize(size.trimmed(), 16);
        if (left_ < 0) {
            End(Problem::Other, QStringLiteral("the server's chunked answer is malformed"));
            return false;
        }
        stage_ = left_ == 0 ? Stage::Trailer : Stage::ChunkData;
        return true;
    }
    case Stage::ChunkEnd:
        stage_ = Stage::ChunkSize;
        return true;
    case Stage::Trailer:
        if (line.isEmpty())
            ResponseDone();
        return active_;
    default:
        return true;
    }
}

// The header part is complete: decides how the body is framed and whether it is kept.
void InetTransfer::HeadersDone() {
    if (status_ < 200) {
        stage_ = Stage::StatusLine; // an interim answer; the real one follows
        headers_.clear();
        return;
    }
    const QByteArray connection = Find(headers_, "connection").toLower();
    if (connection.contains("close"))
        keepAlive_ = false;
    else if (connection.contains("keep-alive"))
        keepAlive_ = true;

    redirectTo_.clear();
    const bool redirect = status_ == 301 || status_ == 302 || status_ == 303 || status_ == 305 ||
                          status_ == 307 || status_ == 308;
    if (redirect)
        redirectTo_ = Find(headers_, "location");
    if (redirectTo_.isEmpty())
        finalHeaders_ = headers_;
    discard_ = !redirectTo_.isEmpty() || status_ > 299;

    untilClose_ = false;
    if (status_ == 204 || status_ == 304) {
        ResponseDone();
        return;
    }
    if (Find(headers_, "transfer-encoding").toLower().contains("chunked")) {
        stage_ = Stage::ChunkSize;
        return;
    }
    const QByteArray length = Find(headers_, "content-length");
    left_ = length.isEmpty() ? -1 : ParseSize(length, 10);
    if (left_ == 0) {
        ResponseDone();
        return;
    }
    if (left_ < 0) {
        // No usable length: the body ends when the server closes the connection.
        untilClose_ = true;
        keepAlive_ = false;
    }
    stage_ = Stage::Body;
}

// Hands `size` bytes of buffer_ to the sink. Returns false when the request has ended.
bool InetTransfer::Deliver(qint64 size) {
    if (discard_ || !sink_)
        return true; // an error page or a redirect is never stored
    if (sink_->write(buffer_.constData(), size) != size) {
        sinkError_ = sink_->errorString();
        End(Problem::Other, sinkError_);
        return false;
    }
    received_ += size;
#ifdef Q_OS_LINUX
    // A large file: what has arrived starts its way to the disk now.
    if (received_ - writeBackFrom_ >= WriteBackStep) {
        if (auto* file = qobject_cast<QFileDevice*>(sink_); file && file->flush()) {
            ::sync_file_range(file->handle(), writeBackFrom_, received_ - writeBackFrom_,
                              SYNC_FILE_RANGE_WRITE);
            writeBackFrom_ = received_;
        }
    }
#endif
    return true;
}

// The whole response has arrived: follows a redirect or ends the request.
void InetTransfer::ResponseDone() {
    stage_ = Stage::Idle;
    if (!keepAlive_)
        DropSocket();
    if (redirectTo_.isEmpty()) {
        End(Problem::None);
        return;
    }
    if (++redirects_ > MaxRedirects) {
        End(Problem::TooManyRedirects);
        return;
    }
    const QUrl target = url_.resolved(QUrl::fromEncoded(redirectTo_));
    if (url_.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 &&
        target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) {
        End(Problem::Other, QStringLiteral("Insecure redirect"));
        return;
    }
    Send(target);
}

// The server closed the connection (or reset it).
void InetTransfer::OnClosed(QTcpSocket* closed) {
    const SignalScope scope(inSocketSignal_);
    if (!active_) {
        if (closed == socket_)
            DropSocket();
        return;
    }
    if (closed != socket_)
        return;
    Parse(); // what arrived before the close
    if (!active_ || closed != socket_)
        return;
    if (stage_ == Stage::Body && untilClose_) {
        ResponseDone();
        return;
    }
    if (socketReused_ && !responseStarted_) {
        // The server had closed the kept-alive connection: once more on a new one.
        DropSocket();
        Send(url_);
        return;
    }
    End(Problem::Closed);
}

void InetTransfer::OnSocketError(QTcpSocket* failed, int error) {
    const SignalScope scope(inSocketSignal_);
    if (failed != socket_)
        return;
    if (!active_) {
        DropSocket();
        return;
    }
    switch (error) {
    case QAbstractSocket::RemoteHostClosedError:
        OnClosed(failed);
        return;
    case QAbstractSocket::ConnectionRefusedError:
        End(Problem::Refused);
        return;
    case QAbstractSocket::HostNotFoundError:
        End(Problem::HostNotFound);
        return;
    default:
        break;
    }
    if (socketReused_ && !responseStarted_) {
        DropSocket();
        Send(url_);
        return;
    }
    End(Problem::Other, socket_->errorString());
}

void InetTransfer::OnTimeout() {
    if (active_)
        End(Problem::Timeout);
}

// Ends the request in progress with problem (Problem::None for success).
void InetTransfer::End(Problem problem, const QString& text) {
    timer_.stop();
    problem_ = problem;
    problemText_ = text;
    if (problem != Problem::None || stage_ != Stage::Idle)
        DropSocket(); // in the middle of an answer: the connection cannot be used again
    stage_ = Stage::Idle;
    sink_ = nullptr;
    active_ = false;
    emit finished();
}

void InetTransfer::DropSocket() {
    if (!socket_)
        return;
    QTcpSocket* socket = socket_;
    socket_ = nullptr;
    socketOrigin_.clear();
    socket->disconnect(this);
    socket->abort();
    if (inSocketSignal_ > 0)
        socket->deleteLater();
    else
        delete socket;
}

// Forgets the request: no headers, no status, nothing in progress.
void InetTransfer::Reset() {
    timer_.stop();
    active_ = false;
    started_ = false;
    sink_ = nullptr;
    stage_ = Stage::Idle;
    headers_.clear();
    finalHeaders_.clear();
    status_ = 0;
    reason_.clear();
    problem_ = Problem::None;
    problemText_.clear();
}

QByteArray InetTransfer::Find(const Headers& headers, QByteArrayView name) {
    QByteArray value;
    for (const auto& [key, text] : headers) {
        if (key == name) {
            if (!value.isEmpty())
                value += ", ";
            value += text;
        }
    }
    return value;
}

QString InetTransfer::GetHeader(const QString& name) const {
    if (!started_)
        return QString();
    return QString::fromLatin1(Find(finalHeaders_, name.toLatin1().toLower())).trimmed();
}

QString InetTransfer::ProblemText() const {
    switch (problem_) {
    case Problem::None:
        return QString();
    case Problem::Refused:
        return QStringLiteral("the server refused the connection (is it running?)");
    case Problem::HostNotFound:
        return QStringLiteral("the server's host name could not be found");
    case Problem::Closed:
        return QStringLiteral("the server closed the connection before the whole file arrived");
    case Problem::Timeout:
        return QStringLiteral("the server did not answer for %1 seconds")
            .arg(RequestTimeoutMs / 1000);
    case Problem::TooManyRedirects:
        return QStringLiteral("the server redirected the request too many times");
    case Problem::Other:
        break;
    }
    return problemText_;
}

void InetTransfer::CheckCompleted(const QString& what) const {
    if (!sinkError_.isEmpty())
        Fail(QStringLiteral("Could not save %1: %2.").arg(what, sinkError_));
    if (!started_)
        Fail(QStringLiteral("Could not download %1: the transfer was abandoned.").arg(what));
    if (problem_ != Problem::None)
        Fail(QStringLiteral("Could not download %1: %2.").arg(what, ProblemText()));
    if (status_ < 200 || status_ > 299) {
        // "the server answered 404 Not Found"
        const QString answer = QStringLiteral("the server answered %1%2")
                                   .arg(status_)
                                   .arg(reason_.isEmpty() ? QString() : QLatin1Char(' ') + reason_);
        Fail(QStringLiteral("Could not download %1: %2.").arg(what, answer));
    }
}

void InetTransfer::Abort() {
    if (active_)
        DropSocket(); // in the middle of an answer: the connection cannot be used again
    Reset();
}

void InetTransfer::CloseConnections() {
    if (!active_)
        DropSocket();
}
