#pragma once
// The HTTP transfer component of the window: plain GET requests, one at a time,
// with a time-out. Redirects are followed and the connection to the server is
// kept alive between requests.
//
// The requests run on the window's own thread over one socket: a response is
// parsed as it arrives and its body goes straight into the sink, so no thread
// hands data over and no more than one read buffer of it is held in memory.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTimer>
#include <QUrl>

class QIODevice;
class QTcpSocket;

class InetTransfer : public QObject {
    Q_OBJECT
  public:
    InetTransfer();
    ~InetTransfer() override;

    // Fetches url and returns the body when the server answers with success,
    // or an empty text for any other status. Waits for the whole response
    // without delivering user input. Throws UpdateFailure, naming `what`, when
    // the server cannot be reached, the connection breaks or the time-out runs out.
    QByteArray OpenURL(const QString& url, const QString& what);

    // Starts a GET of url and returns at once. The body of a successful
    // response is written into sink as it arrives; nothing is written for
    // any other status.
    void Execute(const QString& url, QIODevice* sink);

    // True while the request started by Execute is in progress.
    bool StillExecuting() const { return active_; }

    // The value of a response header, or "" when the response has none.
    QString GetHeader(const QString& name) const;

    // Body bytes written into the sink so far.
    qint64 BytesReceived() const { return received_; }

    // Once the request has ended: throws UpdateFailure, naming `what`, unless
    // the server answered with success and the whole body reached the sink.
    void CheckCompleted(const QString& what) const;

    // Abandons the request in progress, if any; nothing more reaches the sink.
    void Abort();

    // Closes the connection kept alive for later requests.
    void CloseConnections();

    // Milliseconds without any progress before a request is given up.
    int RequestTimeoutMs = 60000;

  signals:
    // The request started by Execute has ended, whether it succeeded or not.
    void finished();

  private:
    // Why a request failed below the level of HTTP statuses.
    enum class Problem { None, Refused, HostNotFound, Closed, Timeout, TooManyRedirects, Other };
    // What the response reader waits for next.
    enum class Stage { Idle, Connecting, StatusLine, Headers, Body, ChunkSize, ChunkData, ChunkEnd, Trailer };
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    void Send(const QUrl& url);
    void WriteRequest();
    void OnConnected();
    void OnReadyRead();
    void OnClosed(QTcpSocket* closed);
    void OnSocketError(QTcpSocket* failed, int error);
    void OnTimeout();
    void Parse();
    bool ParseLine(QByteArray line);
    void HeadersDone();
    bool Deliver(qint64 size);
    void ResponseDone();
    void End(Problem problem, const QString& text = QString());
    void DropSocket();
    void Reset();
    QString ProblemText() const;
    static QByteArray Find(const Headers& headers, QByteArrayView name);

    QTcpSocket* socket_ = nullptr;
    QString socketOrigin_;       // "scheme://host:port" the socket is connected to
    bool socketReused_ = false;  // the request went out over a kept-alive connection
    int inSocketSignal_ = 0;     // > 0 while a socket signal is being handled
    QTimer timer_;

    // The request.
    QUrl url_;
    QIODevice* sink_ = nullptr;
    bool active_ = false;
    bool started_ = false; // a request was started and not abandoned since
    int redirects_ = 0;
    qint64 received_ = 0;
    qint64 writeBackFrom_ = 0;
    QString sinkError_;
    Problem problem_ = Problem::None;
    QString problemText_;

    // The response being read.
    Stage stage_ = Stage::Idle;
    bool responseStarted_ = false;
    int status_ = 0;
    QString reason_;
    Headers headers_;
    Headers finalHeaders_; // those of the answer that is not a redirect
    qint64 headerBytes_ = 0;
    bool keepAlive_ = false;
    bool untilClose_ = false;
    bool discard_ = false;
    QByteArray redirectTo_;
    qint64 left_ = 0; // body or chunk bytes still to come
    QByteArray buffer_;
};
