#ifndef PRIVATEMOUNTS_H
#define PRIVATEMOUNTS_H

#include <QString>
#include <QStringList>

// Puts files of a test's own over system ones (the resolver's settings, the
// trusted certificates) for this test process alone: only in the mount
// namespace of its own that cmake/private-network.sh gives it, never on the
// host. What was put over is taken away again when the object goes.
class PrivateMounts
{
public:
    PrivateMounts() = default;
    ~PrivateMounts();
    PrivateMounts(const PrivateMounts&) = delete;
    PrivateMounts& operator=(const PrivateMounts&) = delete;

    // Empty where a test may mount; else why it may not (for QSKIP).
    static QString unavailableReason();

    // Puts `source` (a file or a directory) over `target`, of the same kind.
    // False, with errorString() saying why, when it could not.
    bool bindOver(const QString& source, const QString& target);
    // Makes path read-only, for root too, while the object lives.
    bool makeReadOnly(const QString& path);
    QString errorString() const { return error; }

private:
    QStringList targets;
    QString error;
};

#endif
