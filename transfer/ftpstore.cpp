#include "ftpstore.h"

#include "ftpprotocol.h"

FtpStore::FtpStore(const QNetworkRequest &request, QIODevice *outgoing, const FtpSecurity &security,
                   QObject *parent)
    : FtpReply(QNetworkAccessManager::PutOperation, request, security, parent)
    , outgoing(outgoing)
{
    total = outgoing ? outgoing->size() : 0;
    connect(&data, &FtpDataConnection::allSent, this, &FtpStore::allSent);
    connect(&data, &FtpDataConnection::sent, this, [this](qint64 sent) {
        delivered = sent;
        emit uploadProgress(delivered, total);
    });
}

void FtpStore::typeSet()
{
    openPassive();
}

void FtpStore::dataConnected()
{
    send(Step::Requested, "STOR " + fileName().toUtf8());
}

void FtpStore::transferReply(int code, const QByteArray &text)
{
    if (code < 200) {
        if (step == Step::Requested) {
            step = Step::Moving;
            data.secure();
            if (outgoing)
                data.sendAll(outgoing);
            else
                allSent();
        }
        return;
    }
    if (code >= 300) {
        fail(code < 500 ? TemporaryNetworkFailureError : ContentAccessDenied,
             QStringLiteral("Uploading %1 to %2 failed: %3")
                 .arg(fileName(), server(), Ftp::replyText(code, text)));
        return;
    }
    // A confirmation before the client sent its last byte and closed cannot
    // be about the client's data.
    if (step != Step::DataEnded) {
        storeFailed(QStringLiteral("the server confirmed the file before it was sent (%1)")
                        .arg(Ftp::replyText(code, text)));
        return;
    }
    conclude();
}

void FtpStore::allSent()
{
    if (delivered != total) {
        storeFailed(QStringLiteral("the data to upload ended early"));
        return;
    }
    step = Step::DataEnded;
}

void FtpStore::dataEnded()
{
    // After the last byte the close is the client's own.
    if (step == Step::Requested || step == Step::Moving)
        storeFailed(QStringLiteral("the server closed the data connection"));
}

void FtpStore::dataFailed()
{
    if (step != Step::Done && step != Step::DataEnded)
        storeFailed(QStringLiteral("the data connection failed: %1").arg(data.errorString()));
}

void FtpStore::storeFailed(const QString &why)
{
    fail(ProtocolFailure,
         QStringLiteral("Uploading %1 to %2 failed after %3 of %4 bytes were sent: %5")
             .arg(fileName(), server())
             .arg(delivered)
             .arg(total)
             .arg(why));
}
