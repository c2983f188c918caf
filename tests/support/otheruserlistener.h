#ifndef OTHERUSERLISTENER_H
#define OTHERUSERLISTENER_H

#include <QString>

#include <sys/types.h>

// A Unix socket at a given path that another user listens on, as anyone can
// make one in a shared temporary directory. The socket is bound as root and
// its file handed to that user; a child process then drops to the user and
// listens, accepting nothing. The child ends by itself after lifetimeMs, and
// at the latest in stop() or the destructor; the socket file stays behind,
// still the other user's. Only root can make one.
class OtherUserListener
{
public:
    static constexpr uid_t OtherUid = 65534;

    OtherUserListener() = default;
    ~OtherUserListener();
    OtherUserListener(const OtherUserListener&) = delete;
    OtherUserListener& operator=(const OtherUserListener&) = delete;

    // False, with the reason in errorString(), when it cannot be made here.
    bool start(const QString& path, int lifetimeMs = 30000);
    // Ends the child and waits for it.
    void stop();
    QString errorString() const;

private:
    pid_t child = -1;
    int control = -1; // the child reports on it, and ends when it closes
    QString error;
};

#endif
