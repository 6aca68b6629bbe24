#ifndef MESSAGEBOXCATCHER_H
#define MESSAGEBOXCATCHER_H

#include <QAbstractButton>
#include <QApplication>
#include <QCursor>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>

// Answers every message box that opens while it lives, as a user would, and
// records what the box showed. Boxes run their own event loop, in which the
// catcher's timer keeps firing.
class MessageBoxCatcher
{
public:
    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QPointer<QWidget> parent;
        Qt::WindowFlags flags;
        QMessageBox::StandardButtons buttons;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        int cursorShape = -1; // override cursor while the box was open; -1 for none
    };

    explicit MessageBoxCatcher(QMessageBox::StandardButton answer = QMessageBox::Ok)
        : m_answer(answer)
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
        m_timer.start();
    }

    QList<Box> boxes;

    QStringList texts() const
    {
        QStringList result;
        for (const Box &box : boxes)
            result << box.text;
        return result;
    }

private:
    void poll()
    {
        const QWidgetList windows = QApplication::topLevelWidgets();
        for (QWidget *window : windows) {
            auto *box = qobject_cast<QMessageBox *>(window);
            if (!box || !box->isVisible())
                continue;
            Box seen;
            seen.title = box->windowTitle();
            seen.text = box->text();
            seen.icon = box->icon();
            seen.parent = box->parentWidget();
            seen.flags = box->windowFlags();
            seen.buttons = box->standardButtons();
            if (QPushButton *button = box->defaultButton())
                seen.defaultButton = box->standardButton(button);
            if (const QCursor *cursor = QGuiApplication::overrideCursor())
                seen.cursorShape = cursor->shape();
            boxes << seen;
            // Closing hides the box at once, so the next poll skips it.
            if (QAbstractButton *button = box->button(m_answer))
                button->click();
            else
                box->reject();
        }
    }

    QMessageBox::StandardButton m_answer;
    QTimer m_timer;
};

#endif // MESSAGEBOXCATCHER_H
