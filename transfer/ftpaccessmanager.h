#ifndef FTPACCESSMANAGER_H
#define FTPACCESSMANAGER_H

#include <QNetworkAccessManager>

// A network access manager whose "ftp" downloads and uploads are FtpReply's;
// every other request is Qt's.
class FtpAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;
};

#endif // FTPACCESSMANAGER_H
