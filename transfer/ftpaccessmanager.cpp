#include "ftpaccessmanager.h"

#include "ftpretrieval.h"
#include "ftpstore.h"

QNetworkReply *FtpAccessManager::createRequest(Operation operation, const QNetworkRequest &request,
                                               QIODevice *outgoingData)
{
    if (request.url().scheme() != QLatin1String("ftp"))
        return QNetworkAccessManager::createRequest(operation, request, outgoingData);
    if (operation == GetOperation)
        return new FtpRetrieval(request, security, this);
    if (operation == PutOperation)
        return new FtpStore(request, outgoingData, security, this);
    return QNetworkAccessManager::createRequest(operation, request, outgoingData);
}
