#include "tamglobal.h"

#include <QApplication>
#include <QThread>
#include <QWidget>
#include <QtDebug>

namespace {

// Cursors and widgets belong to the GUI application's own thread; anywhere
// else touching them is undefined.
bool inGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && qobject_cast<const QGuiApplication *>(app)
           && QThread::currentThread() == app->thread();
}

QMessageBox::StandardButton showMessage(QMessageBox::Icon icon, const QString &text,
                                        QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    if (!inGuiThread() || !qobject_cast<const QApplication *>(QCoreApplication::instance())) {
        // No box can be shown here; keep the text where a developer finds it.
        qWarning().noquote() << "message box not shown (no GUI thread):" << text;
        return QMessageBox::NoButton;
    }
    const WaitCursor arrow(Qt::ArrowCursor);
    QMessageBox box(icon, QCoreApplication::applicationName(), text, buttons, topLevelWidget(),
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    box.exec();
    return box.standardButton(box.clickedButton());
}

} // namespace

QWidget *topLevelWidget()
{
    QWidget *widget = QApplication::activeModalWidget();
    if (!widget)
        widget = QApplication::activeWindow();
    if (widget && widget->window())
        return widget->window();
    return widget;
}

QMessageBox::StandardButton information(const QString &text, QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Information, text, buttons, defaultButton);
}

QMessageBox::StandardButton question(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Question, text, buttons, defaultButton);
}

QMessageBox::StandardButton warning(const QString &text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Warning, text, buttons, defaultButton);
}

QMessageBox::StandardButton critical(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessage(QMessageBox::Critical, text, buttons, defaultButton);
}

WaitCursor::WaitCursor(Qt::CursorShape shape)
{
    if (inGuiThread())
        QGuiApplication::setOverrideCursor(QCursor(shape));
}

WaitCursor::~WaitCursor()
{
    if (inGuiThread())
        QGuiApplication::restoreOverrideCursor();
}

BoolLocker::BoolLocker(bool &flag, bool value)
    : m_flag(flag), m_previous(flag)
{
    m_flag = value;
}

BoolLocker::~BoolLocker()
{
    m_flag = m_previous;
}

void sleep(int milliseconds)
{
    QThread::msleep(static_cast<unsigned long>(qMax(0, milliseconds)));
}

Core::Core() = default;
Core::~Core() = default;
Core::Core(const Core &) = default;
Core &Core::operator=(const Core &) = default;
