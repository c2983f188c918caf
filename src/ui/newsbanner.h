#ifndef NEWSBANNER_H
#define NEWSBANNER_H

#include <QBasicTimer>
#include <QString>
#include <QWidget>

class QTextDocument;

// The news text of the update channel as one line that scrolls from right to
// left at 50 pixels a second, stays blank for three seconds once it has left,
// and starts again. A click opens the link under the mouse or, failing that,
// the URL the text names in a comment "<!--URL=...-->".
class NewsBanner : public QWidget
{
public:
    explicit NewsBanner(QWidget* parent);

    // The line is as tall as its text, but never taller than this: the text
    // comes from outside, and the window grows with the line.
    static constexpr int MaxHeight = 60;

    // Loads the news (rich text as QTextDocument takes it) and starts a pass
    // from the right edge.
    void setNews(const QString& html);

    // Where the text's left edge is, in widget coordinates, and whether the
    // blank pause between two passes is running.
    float position() const { return xPos; }
    bool isPaused() const { return paused; }

protected:
    void timerEvent(QTimerEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QString anchorAt(const QPoint& point) const;

    QBasicTimer scrollTimer;
    QTextDocument* document;
    float xPos = 0;
    int textWidth = 0;
    // The document's height, held to MaxHeight: the line's height.
    int textHeight = 0;
    bool paused = false;
    QString clickUrl;
};

#endif
