#include "ftpretrieval.h"

#include "ftpprotocol.h"

FtpRetrieval::FtpRetrieval(const QNetworkRequest &request, const FtpSecurity &security,
                           QObject *parent)
    : FtpReply(QNetworkAccessManager::GetOperation, request, security, parent)
{
    connect(&data, &FtpDataConnection::arrived, this, &FtpRetrieval::dataArrived);
    connect(&data, &FtpDataConnection::limitReached, this, &FtpRetrieval::rangeComplete);
}

void FtpRetrieval::setRanges(const ByteRanges &wanted)
{
    if (step == Step::Done)
        return;
    ranges.clear();
    for (const ByteRange &candidate : wanted) {
        if (candidate.begin < 0 || (candidate.isBounded() && candidate.end <= candidate.begin))
            continue;
        ranges.append(candidate);
        if (!candidate.isBounded())
            break;
    }
    nextIndex = 0;
}

void FtpRetrieval::typeSet()
{
    send(Step::Size, "SIZE " + fileName().toUtf8());
}

void FtpRetrieval::transferReply(int code, const QByteArray &text)
{
    switch (step) {
    case Step::Size:
        learnSize(code, text);
        return;
    case Step::ModificationTime:
        remoteTime = Ftp::readModificationTime(code, text);
        announceRemoteFile();
        return;
    case Step::Restart:
        restartReply(code, text);
        return;
    default:
        retrievalReply(code, text);
        return;
    }
}

void FtpRetrieval::learnSize(int code, const QByteArray &text)
{
    const Ftp::SizeAnswer answer = Ftp::readSize(code, text);
    if (answer.kind == Ftp::SizeAnswer::Impossible) {
        fail(ProtocolFailure, serverSaid("announced an impossible size", code, text));
        return;
    }
    if (answer.kind == Ftp::SizeAnswer::Unknown) {
        announceRemoteFile();
        return;
    }
    total = answer.size;
    setHeader(QNetworkRequest::ContentLengthHeader, total);
    // A time is of use only beside a size: without one nothing resumes.
    send(Step::ModificationTime, "MDTM " + fileName().toUtf8());
}

void FtpRetrieval::announceRemoteFile()
{
    // The reader may set the ranges now.
    emit metaDataChanged();
    if (step != Step::Done)
        nextRange();
}

void FtpRetrieval::nextRange()
{
    if (nextIndex >= ranges.size()) {
        emit rangesDelivered();
        if (step == Step::Done)
            return;
    }
    if (nextIndex >= ranges.size()) {
        conclude();
        return;
    }
    range = ranges.at(nextIndex++);
    rangeConfirmed = false;
    openPassive(range.isBounded() ? range.length() : -1);
}

void FtpRetrieval::dataConnected()
{
    // REST must come right before the transfer command.
    if (range.begin > 0)
        send(Step::Restart, "REST " + QByteArray::number(range.begin));
    else
        send(Step::Requested, "RETR " + fileName().toUtf8());
}

void FtpRetrieval::restartReply(int code, const QByteArray &text)
{
    if (code != 350) {
        refusal = Ftp::replyText(code, text);
        if (range.isBounded()) {
            fail(ProtocolInvalidOperationError,
                 QStringLiteral("the server %1 will not send %2 from byte %3: %4")
                     .arg(server(), fileName())
                     .arg(range.begin)
                     .arg(refusal));
            return;
        }
        range.begin = 0;
    }
    send(Step::Requested, "RETR " + fileName().toUtf8());
}

void FtpRetrieval::retrievalReply(int code, const QByteArray &text)
{
    if (code < 200) {
        if (step == Step::Requested)
            step = Step::Moving;
        data.secure();
        return;
    }
    // Of a range the client cut off, the server's word on the transfer and on
    // ABOR come in whatever number and kind it has them. NOOP marks their end;
    // it goes out only once the server has left the transfer, since some
    // servers drop every command but ABOR that arrives during one.
    if (step == Step::AbortingRange) {
        send(Step::EndingRange, "NOOP");
        return;
    }
    if (step == Step::EndingRange) {
        if (code == 200)
            nextRange();
        return;
    }
    if (code >= 300) {
        // 4xx: the transfer broke and may work again; 5xx: it never will.
        fail(code < 500 ? TemporaryNetworkFailureError : ContentNotFoundError,
             QStringLiteral("Downloading %1 from %2 failed: %3")
                 .arg(fileName(), server(), Ftp::replyText(code, text)));
        return;
    }
    rangeConfirmed = true;
    if (step == Step::DataEnded && !range.isBounded())
        conclude();
    else if (step != Step::DataEnded)
        step = Step::Confirmed;
}

void FtpRetrieval::dataArrived()
{
    if (step == Step::Done)
        return;
    emit downloadProgress(range.begin + data.bytesRead() + data.bytesAvailable(), total);
    emit readyRead();
}

void FtpRetrieval::dataEnded()
{
    switch (step) {
    case Step::Restart:
        fail(RemoteHostClosedError,
             QStringLiteral("the server %1 closed the data connection for %2 before the "
                            "transfer began")
                 .arg(server(), fileName()));
        return;
    case Step::Requested:
    case Step::Moving:
    case Step::Confirmed:
        // The server closing the data connection is how a retrieval ends; a
        // bounded range ends when the reader has taken its last byte.
        if (range.isBounded() && data.bytesAvailable() < data.left())
            fail(RemoteHostClosedError, shortfall());
        else if (step == Step::Confirmed && !range.isBounded())
            conclude();
        else if (step != Step::Confirmed)
            step = Step::DataEnded;
        return;
    case Step::Draining:
        // The reader takes the last bytes before the failure is reported.
        if (data.bytesAvailable() > 0)
            emit readyRead();
        finishWithError(drainedError, drainedReason);
        return;
    default:
        return;
    }
}

QString FtpRetrieval::shortfall() const
{
    return QStringLiteral("the server %1 ended the data connection for %2 after %3 of the %4 "
                          "bytes asked for from byte %5")
        .arg(server(), fileName())
        .arg(data.bytesRead() + data.bytesAvailable())
        .arg(range.length())
        .arg(range.begin);
}

// The reader has taken every byte of a bounded range.
void FtpRetrieval::rangeComplete()
{
    if (step == Step::Done)
        return;
    if (step == Step::Draining) {
        finishWithError(drainedError, drainedReason);
        return;
    }
    // What the server sends beyond the range is not wanted. A server still
    // busy with it is told to stop: some end a transfer only on ABOR.
    data.close();
    if (rangeConfirmed) {
        nextRange();
        return;
    }
    send(Step::AbortingRange, "ABOR");
}

void FtpRetrieval::dataFailed()
{
    if (step == Step::Done || step == Step::AbortingRange || step == Step::EndingRange)
        return;
    if (step == Step::Draining) {
        finishWithError(drainedError, drainedReason);
        return;
    }
    // A passive port that takes no connection will not take the next one.
    fail(step == Step::Connecting ? ProtocolFailure : UnknownNetworkError,
         QStringLiteral("the data connection to %1 for %2 failed: %3")
             .arg(server(), fileName(), data.errorString()));
}

void FtpRetrieval::sessionLost(NetworkError code, const QString &reason)
{
    // Once the server has reported the file complete, the control connection
    // has nothing more to say.
    if (step != Step::Confirmed || range.isBounded())
        fail(code, reason);
}

void FtpRetrieval::fail(NetworkError code, const QString &reason)
{
    if (step == Step::Done || step == Step::Draining)
        return;
    // What the data connection already carries is part of the file: it is
    // read to the end first, so that a resumed try need not fetch it again.
    if (step == Step::Moving && data.isConnected()) {
        step = Step::Draining;
        drainedError = code;
        drainedReason = reason;
        endSession();
        return;
    }
    finishWithError(code, reason);
}
