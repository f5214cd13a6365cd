#include "rangeread.h"

#include "ftpaccessmanager.h"

#include <QNetworkRequest>
#include <QSignalSpy>

#include <memory>

RangeRead readRanges(FtpAccessManager &network, const QUrl &url, const ByteRanges &ranges,
                     int timeoutMs)
{
    RangeRead result;
    std::unique_ptr<FtpRetrieval> reply(
        qobject_cast<FtpRetrieval *>(network.get(QNetworkRequest(url))));
    if (!reply) {
        result.errorString = QStringLiteral("the manager handed back no retrieval");
        return result;
    }
    // Ranges are only known once the server has named the file's size.
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, reply.get(),
                     [&] { reply->setRanges(ranges); });
    QObject::connect(reply.get(), &QIODevice::readyRead, reply.get(),
                     [&] { result.received += reply->readAll(); });
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!finished.wait(timeoutMs))
        result.errorString = QStringLiteral("no end within %1 ms").arg(timeoutMs);
    else if (reply->error() != QNetworkReply::NoError)
        result.errorString = reply->errorString();
    return result;
}

QByteArray slices(const QByteArray &content, const ByteRanges &ranges)
{
    QByteArray expected;
    for (const ByteRange &range : ranges)
        expected += content.mid(int(range.begin), int(range.length()));
    return expected;
}
