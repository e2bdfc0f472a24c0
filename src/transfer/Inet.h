#pragma once
// The HTTP transfer component of the window: plain GET requests over Qt
// Network, one at a time, with a 60-second time-out. Redirects are followed and
// connections to the server are kept alive between requests.

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>

class QIODevice;
class QNetworkReply;

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
    bool StillExecuting() const;

    // The value of a response header, or "" when the response has none.
    QString GetHeader(const QString& name) const;

    // Body bytes written into the sink so far.
    qint64 BytesReceived() const { return received_; }

    // Once the request has ended: throws UpdateFailure, naming `what`, unless
    // the server answered with success and the whole body reached the sink.
    void CheckCompleted(const QString& what) const;

    // Abandons the request in progress, if any; nothing more reaches the sink.
    void Abort();

    // Closes the connections kept alive for later requests.
    void CloseConnections() { manager_.clearConnectionCache(); }

    // Milliseconds without any progress before a request is given up.
    int RequestTimeoutMs = 60000;

  private:
    void ReceiveBody();
    QNetworkRequest MakeRequest(const QString& url) const;

    QNetworkAccessManager manager_;
    QPointer<QNetworkReply> reply_;
    QIODevice* sink_ = nullptr;
    qint64 received_ = 0;
    QString sinkError_;
};
