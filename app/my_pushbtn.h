#pragma once

#include <QPushButton>
#include <QString>

// A target button: it knows which target it stands for and says so when the pointer enters it,
// so the window can ask the status poll for that device's versions.
class MyPushbtn : public QPushButton {
    Q_OBJECT

public:
    explicit MyPushbtn(QWidget *parent = nullptr);
    ~MyPushbtn() override;

    QString target_name;  // assigned by the window once the configuration is valid

signals:
    void EnterNotify(QString &name);

protected:
    void enterEvent(QEvent *event) override;
};
