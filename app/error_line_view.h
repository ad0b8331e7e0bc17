#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class QLabel;
class QWidget;

// How the one-line error label shows its text. The label keeps the warnings exactly as written
// (the next warning may be appended to them); this only draws them: the lines joined into one,
// cut with an ellipsis where they would leave the label or run under the widget that covers its
// end, and the whole text as the label's tool tip.
class ErrorLineView : public QObject {
    Q_OBJECT

public:
    // Watches label for as long as it lives (the label is its parent); cover is the widget that
    // lies over part of the label, or null.
    ErrorLineView(QLabel *label, QWidget *cover);

    // The lines of text joined into one, empty lines left out.
    static QString OneLine(const QString &text);
    // The text as the label draws it now: one line, elided to the width it can use.
    QString ShownText() const;
    // The width the centred text may take without reaching under the cover.
    int UsableWidth() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLabel *label;            // the parent
    QPointer<QWidget> cover;  // a sibling owned by the same form
};
