#ifndef RETRYPOLICY_H
#define RETRYPOLICY_H

#include <QNetworkReply>
#include <QVector>

// What becomes of a download after one of its tries failed. Only what a new
// try can mend is tried again: a cut, a stall, a server busy for now. A
// server that answers no FTP, refuses the account, announces an impossible
// size or offers a data port that takes no connection fails at once.
class RetryPolicy
{
public:
    enum class Cause {
        Cut, // the connection broke, or the file ended early
        Stalled, // no data for the stall bound
        ServerBusy, // a 4xx reply
        Unreachable, // nothing answers at the server's address
        Refused, // the server will not do it: login, permissions, not FTP
        Missing, // the file is not on the server, or nothing of it arrived
        TooSlow, // below the minimum rate over its window
        Overrun, // more bytes than the server announced
        LocalFile, // the local file cannot take the bytes
        Canceled,
    };
    enum class Action {
        Retry, // a new try resumes it after pauseMs
        Stop, // given up; what arrived stays for a later run
        Discard, // given up, and what arrived is of no use
    };
    struct Decision
    {
        Action action = Action::Stop;
        int pauseMs = 0;
    };

    explicit RetryPolicy(QVector<int> pausesMs = {})
        : pauses(std::move(pausesMs))
    {
    }

    static Cause causeOf(QNetworkReply::NetworkError error);
    // triesMade counts the try that just failed.
    Decision after(Cause cause, int triesMade) const;
    int maxTries() const { return pauses.size() + 1; }

private:
    QVector<int> pauses;
};

#endif // RETRYPOLICY_H
