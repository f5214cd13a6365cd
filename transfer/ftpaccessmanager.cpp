#include "ftpaccessmanager.h"

#include "ftpreply.h"

QNetworkReply *FtpAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                               QIODevice *outgoingData)
{
    const bool transfer = operation == GetOperation || operation == PutOperation;
    if (transfer && request.url().scheme() == QLatin1String("ftp"))
        return new FtpReply(operation, request, outgoingData, this);
    return QNetworkAccessManager::createRequest(operation, request, outgoingData);
}
