#include "my_pushbtn.h"

MyPushbtn::MyPushbtn(QWidget *parent)
    : QPushButton(parent)
{
}

MyPushbtn::~MyPushbtn() = default;

void MyPushbtn::enterEvent(QEvent *event)
{
    // Only the notification: the button keeps no hover handling of its own.
    Q_UNUSED(event);
    emit EnterNotify(target_name);
}
