#ifndef FTPACCESSMANAGER_H
#define FTPACCESSMANAGER_H

#include "ftpsecurity.h"

#include <QNetworkAccessManager>

// A network access manager whose "ftp" downloads and uploads are FtpReply's
// (FtpRetrieval, FtpStore), secured as setSecurity() says; every other
// request is Qt's.
class FtpAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    using QNetworkAccessManager::QNetworkAccessManager;

    // For the transfers that start from now on.
    void setSecurity(const FtpSecurity &newSecurity) { security = newSecurity; }

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    FtpSecurity security;
};

#endif // FTPACCESSMANAGER_H
