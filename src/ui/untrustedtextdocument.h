#ifndef UNTRUSTEDTEXTDOCUMENT_H
#define UNTRUSTEDTEXTDOCUMENT_H

#include <QTextDocument>

// A text document for rich text that came from outside (news, change logs,
// log lines with server texts in them): it is laid out as Qt's rich text, but
// nothing it refers to is ever loaded, neither a local file nor anything else.
class UntrustedTextDocument : public QTextDocument
{
public:
    explicit UntrustedTextDocument(QObject* parent);

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};

#endif
