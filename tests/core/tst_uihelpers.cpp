#include "messageboxcatcher.h"
#include "tamglobal.h"
#include "waituntil.h"

#include <QDialog>
#include <QThread>
#include <QtTest>

using BoxFunction = QMessageBox::StandardButton (*)(const QString &, QMessageBox::StandardButtons,
                                                    QMessageBox::StandardButton);
Q_DECLARE_METATYPE(BoxFunction)
Q_DECLARE_METATYPE(QMessageBox::StandardButton)

class tst_UiHelpers : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void messageBox_data();
    void messageBox();
    void messageBoxDefaultAndAnswer_data();
    void messageBoxDefaultAndAnswer();
    void messageBoxParent();
    void messageBoxOutsideGuiThread();
    void messageBoxesSwitchedOff();
    void waitCursorNesting();
    void waitCursorInWorkerThread();
    void boolLocker_data();
    void boolLocker();
};

void tst_UiHelpers::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("Coagulation Workstation"));
}

void tst_UiHelpers::cleanup()
{
    // A failed test must not leave its cursor to the next one.
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

void tst_UiHelpers::messageBox_data()
{
    QTest::addColumn<BoxFunction>("function");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::newRow("information") << BoxFunction(&information) << QMessageBox::Information;
    QTest::newRow("question") << BoxFunction(&question) << QMessageBox::Question;
    QTest::newRow("warning") << BoxFunction(&warning) << QMessageBox::Warning;
    QTest::newRow("critical") << BoxFunction(&critical) << QMessageBox::Critical;
}

// The library's own call: Ok, no default button, while the caller shows a
// busy cursor. No window is open, so the box has no parent.
void tst_UiHelpers::messageBox()
{
    QFETCH(BoxFunction, function);
    QFETCH(QMessageBox::Icon, icon);

    QCOMPARE(topLevelWidget(), static_cast<QWidget *>(nullptr));
    QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
    MessageBoxCatcher catcher;
    const QString text = QString::fromUtf8("无法打开数据库文件 data.db\nsecond line");
    QCOMPARE(function(text, QMessageBox::Ok, QMessageBox::NoButton), QMessageBox::Ok);

    QCOMPARE(catcher.boxes.size(), 1);
    const MessageBoxCatcher::Box &box = catcher.boxes.first();
    QCOMPARE(box.title, QStringLiteral("Coagulation Workstation"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(box.parent.isNull());
    QVERIFY(box.flags.testFlag(Qt::Dialog));
    QVERIFY(box.flags.testFlag(Qt::MSWindowsFixedSizeDialogHint));
    // The pointer is visible while the user answers; the busy cursor is back after.
    QCOMPARE(box.cursorShape, int(Qt::ArrowCursor));
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    QGuiApplication::restoreOverrideCursor();
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_UiHelpers::messageBoxDefaultAndAnswer_data()
{
    QTest::addColumn<QMessageBox::StandardButton>("defaultButton");
    QTest::addColumn<QMessageBox::StandardButton>("answer");
    QTest::newRow("default no, answer yes") << QMessageBox::No << QMessageBox::Yes;
    QTest::newRow("default yes, answer no") << QMessageBox::Yes << QMessageBox::No;
    QTest::newRow("closed without a button") << QMessageBox::Yes << QMessageBox::Cancel;
}

void tst_UiHelpers::messageBoxDefaultAndAnswer()
{
    QFETCH(QMessageBox::StandardButton, defaultButton);
    QFETCH(QMessageBox::StandardButton, answer);

    MessageBoxCatcher catcher(answer);
    const QMessageBox::StandardButton result =
        question(QStringLiteral("Delete?"), QMessageBox::Yes | QMessageBox::No, defaultButton);
    QCOMPARE(catcher.boxes.size(), 1);
    QCOMPARE(catcher.boxes.first().defaultButton, defaultButton);
    // A box closed without one of its buttons (Escape, window close) answers
    // no button at all rather than a button the user did not press.
    QCOMPARE(result, answer == QMessageBox::Cancel ? QMessageBox::NoButton : answer);
}

void tst_UiHelpers::messageBoxParent()
{
    QWidget mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("main"));
    mainWindow.show();
    QApplication::setActiveWindow(&mainWindow);
    waitUntil([&] { return QTest::qWaitForWindowActive(&mainWindow); });
    QCOMPARE(topLevelWidget(), &mainWindow);

    {
        MessageBoxCatcher catcher;
        information(QStringLiteral("over the main window"), QMessageBox::Ok, QMessageBox::NoButton);
        QCOMPARE(catcher.boxes.size(), 1);
        QCOMPARE(catcher.boxes.first().parent.data(), &mainWindow);
    }

    QDialog dialog(&mainWindow);
    dialog.setModal(true);
    dialog.show();
    waitUntil([&] { return QApplication::activeModalWidget() != nullptr; });
    QCOMPARE(QApplication::activeModalWidget(), &dialog);
    QCOMPARE(topLevelWidget(), &dialog);

    MessageBoxCatcher catcher;
    warning(QStringLiteral("over the dialog"), QMessageBox::Ok, QMessageBox::NoButton);
    QCOMPARE(catcher.boxes.size(), 1);
    QCOMPARE(catcher.boxes.first().parent.data(), &dialog);
}

// A box cannot be built outside the GUI thread; the text must still reach
// the developer, and nothing may crash.
void tst_UiHelpers::messageBoxOutsideGuiThread()
{
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("message box not shown.*from a worker")));
    QMessageBox::StandardButton result = QMessageBox::Ok;
    QThread *thread = QThread::create([&result] {
        result = critical(QStringLiteral("from a worker"), QMessageBox::Ok, QMessageBox::NoButton);
    });
    thread->start();
    QVERIFY(thread->wait());
    delete thread;
    QCOMPARE(result, QMessageBox::NoButton);
}

void tst_UiHelpers::waitCursorNesting()
{
    QVERIFY(!QGuiApplication::overrideCursor());
    {
        const WaitCursor busy;
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        {
            const WaitCursor arrow(Qt::ArrowCursor);
            QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::ArrowCursor);
        }
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    QVERIFY(!QGuiApplication::overrideCursor());
}

// A worker's guard must neither push a cursor nor pop the GUI thread's one.
void tst_UiHelpers::waitCursorInWorkerThread()
{
    QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
    QThread *thread = QThread::create([] {
        const WaitCursor inner(Qt::ArrowCursor);
        const WaitCursor another;
    });
    thread->start();
    QVERIFY(thread->wait());
    delete thread;
    QVERIFY(QGuiApplication::overrideCursor());
    QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    QGuiApplication::restoreOverrideCursor();
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_UiHelpers::boolLocker_data()
{
    QTest::addColumn<bool>("before");
    QTest::addColumn<bool>("inside");
    QTest::addColumn<bool>("changedInside");
    QTest::newRow("false, set true") << false << true << false;
    QTest::newRow("false, set true, flag changed in scope") << false << true << true;
    QTest::newRow("true, set false, flag changed in scope") << true << false << true;
    QTest::newRow("true, set true") << true << true << false;
}

void tst_UiHelpers::boolLocker()
{
    QFETCH(bool, before);
    QFETCH(bool, inside);
    QFETCH(bool, changedInside);

    bool flag = before;
    {
        const BoolLocker locker(flag, inside);
        QCOMPARE(flag, inside);
        if (changedInside)
            flag = !flag;
    }
    QCOMPARE(flag, before);
}

// Unattended programs switch the boxes off, by a call or from the start by
// the environment (the test runs a second time alone with
// CORE_NO_MESSAGE_BOXES=1): the text goes to the warning channel and no box
// waits for an answer, even in the GUI thread.
void tst_UiHelpers::messageBoxesSwitchedOff()
{
    const bool fromEnvironment = qgetenv("CORE_NO_MESSAGE_BOXES") == "1";
    QCOMPARE(messageBoxesShown(), !fromEnvironment);
    setMessageBoxesShown(false);
    QVERIFY(!messageBoxesShown());
    MessageBoxCatcher catcher;
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("message box not shown.*unattended")));
    const QMessageBox::StandardButton answer = warning(QStringLiteral("unattended"));
    setMessageBoxesShown(true);
    QCOMPARE(answer, QMessageBox::NoButton);
    QCOMPARE(catcher.texts(), QStringList());
    QVERIFY(messageBoxesShown());
}

QTEST_MAIN(tst_UiHelpers)
#include "tst_uihelpers.moc"
