#include "retrypolicy.h"

RetryPolicy::Cause RetryPolicy::causeOf(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::UnknownNetworkError:
        return Cause::Cut;
    case QNetworkReply::TemporaryNetworkFailureError:
        return Cause::ServerBusy;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
        return Cause::Unreachable;
    case QNetworkReply::ContentNotFoundError:
        return Cause::Missing;
    case QNetworkReply::OperationCanceledError:
        return Cause::Canceled;
    default:
        return Cause::Refused;
    }
}

RetryPolicy::Decision RetryPolicy::after(Cause cause, int triesMade) const
{
    Action action = Action::Stop;
    switch (cause) {
    case Cause::Cut:
    case Cause::Stalled:
    case Cause::ServerBusy:
        action = Action::Retry;
        break;
    case Cause::Unreachable:
        // A server that is down fails at once; one lost between tries may
        // come back.
        action = triesMade > 1 ? Action::Retry : Action::Stop;
        break;
    case Cause::Missing:
    case Cause::Overrun:
    case Cause::LocalFile:
        action = Action::Discard;
        break;
    case Cause::Refused:
    case Cause::TooSlow:
    case Cause::Canceled:
        break;
    }
    if (action != Action::Retry)
        return { action, 0 };
    if (triesMade < 1 || triesMade > pauses.size())
        return { Action::Stop, 0 };
    return { Action::Retry, qMax(0, pauses.at(triesMade - 1)) };
}
