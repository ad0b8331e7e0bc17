#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

// The style sheets of a target button whose device runs its bootloader (red) or its
// application (green), as the operator sees them; written out here so that a change in the
// window shows up as a failing test.
const QString kBootStyle = QStringLiteral(
    "QPushButton{background-color: rgb(255, 102, 102);}QPushButton:hover{background-color: rgb(255, "
    "77, 77);}QPushButton:pressed{background-color: rgb(255, 51, 51);}");
const QString kAppStyle = QStringLiteral(
    "QPushButton{background-color: rgb(0, 255, 124);}QPushButton:hover{background-color: rgb(0, "
    "230, 112);}QPushButton:pressed{background-color: rgb(0, 204, 99);}");

// The window's widgets by object name, as a test reaches them.
template <class T = QWidget>
T *Get(QWidget &window, const char *name)
{
    T *widget = window.findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// The pointer enters a widget, as a mouse would make it.
inline void Hover(QWidget &window, const char *name)
{
    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(Get(window, name), &enter);
}

inline QString ErrorLine(QWidget &window)
{
    return Get<QLabel>(window, "label_error")->text();
}

inline QStringList LogLines(QWidget &window)
{
    const QString text = Get<QPlainTextEdit>(window, "text_log")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split('\n');
}
