#ifndef FTPSTORE_H
#define FTPSTORE_H

#include "ftpreply.h"

// An FTP store: STOR, then the device's bytes on the data connection, which
// the client closes after the last one. It succeeds only when the server
// confirmed the file after that, on the data connection it accepted.
class FtpStore : public FtpReply
{
    Q_OBJECT

public:
    FtpStore(const QNetworkRequest &request, QIODevice *outgoing, const FtpSecurity &security = {},
             QObject *parent = nullptr);

protected:
    void typeSet() override;
    void dataConnected() override;
    void transferReply(int code, const QByteArray &text) override;
    void dataEnded() override;
    void dataFailed() override;

private:
    void allSent();
    void storeFailed(const QString &why);

    QIODevice *outgoing;
};

#endif // FTPSTORE_H
