#ifndef MODALANSWERER_H
#define MODALANSWERER_H

#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <functional>

// Answers the modal message boxes that the code under test opens (and waits
// on in a nested event loop) while the answerer lives. Each box gets the next
// scripted answer; a box beyond the script, and every box once the watchdog
// has fired, is rejected so that a faulty loop cannot hang the test run.
class ModalAnswerer : public QObject
{
    Q_OBJECT

public:
    struct SeenBox
    {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        QPointer<QWidget> parent;
        bool hadParent = false;
    };

    explicit ModalAnswerer(const QList<QMessageBox::StandardButton>& answers = {},
                           int watchdogMs = 10000, QObject* parent = nullptr);

    // Called with the box's index after it was recorded and before it is
    // answered, for example to change what the next attempt will meet. Boxes
    // that the hook opens are answered too, in turn.
    void setBeforeAnswer(std::function<void(int boxIndex)> hook);

    QList<SeenBox> boxes() const;
    bool watchdogFired() const;

private slots:
    void onPoll();

private:
    void answer(QMessageBox* box);

    QList<QMessageBox::StandardButton> script;
    int watchdogMs;
    QElapsedTimer age;
    QTimer poll;
    bool expired = false;
    std::function<void(int)> beforeAnswer;
    QList<SeenBox> seen;
};

#endif
