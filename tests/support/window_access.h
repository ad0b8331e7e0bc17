#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

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
