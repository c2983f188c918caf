#ifndef URLCLICKLABEL_H
#define URLCLICKLABEL_H

#include <QLabel>
#include <QString>

// A label that opens its URL when it is pressed with any button.
class UrlClickLabel : public QLabel
{
public:
    explicit UrlClickLabel(QWidget* parent);

    void setUrl(const QString& url);

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString targetUrl;
};

#endif
