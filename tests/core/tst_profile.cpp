#include "dbfixture.h"
#include "messageboxcatcher.h"
#include "profile.h"
#include "tamglobal.h"

#include <QDir>
#include <QMetaMethod>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <thread>

namespace {

const QStringList connectionNames = {QStringLiteral("profile.db"), QStringLiteral("data.db"),
                                     QStringLiteral("qc.db"), QStringLiteral("syslog.db")};

QString tr8(const char *text)
{
    return QString::fromUtf8(text);
}

bool instanceMade = false;

// A static object destroyed after the process-wide store closed at exit, as
// a front end's caches are: it must get a store that refuses writes loudly,
// not freed memory (AddressSanitizer would report the read).
struct LateUser
{
    ~LateUser()
    {
        if (!instanceMade)
            return;
        Profile &profile = Profile::instance();
        profile.setValue(QStringLiteral("late"), 1, true);
        if (profile.value(QStringLiteral("hospital")) != QVariant(QStringLiteral("West")))
            qFatal("the closed store lost its memory");
    }
} lateUser;

QStringList *capturedMessages = nullptr;
void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedMessages->append(message);
}

} // namespace

// Every test runs in a fresh data directory made the current one, since the
// store names its files relative to it.
class tst_Profile : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void metaObject();
    void startupBoxes_data();
    void startupBoxes();
    void loadKeepsStoredTypes();
    void valueOfUnknownKeyLeavesPlaceholder();
    void setValueWithoutSaveIsLostAtRestart();
    void savedValuesSurviveRestart_data();
    void savedValuesSurviveRestart();
    void invalidValueDeletesRow();
    void removeDeletesUncachedRow();
    void value2FallsThrough_data();
    void value2FallsThrough();
    void workerThreadChangesWrittenByOwner();
    void workerChangesReachTheFile();
    void namedDirectoryWithoutBoxes();
    void failedWriteIsReported();
    void valueWithoutTextFormIsNotWritten();

    void typedSettingsRoundTrip();
    void typedGetterWithoutRowReturnsCallerDefault();
    void colourLosesAlphaAcrossRestart();
    void boolStoredAsText_data();
    void boolStoredAsText();
    void unconvertibleTextGivesTypeDefault();
    void rowsWithoutUsableValueGiveCallerDefault();
    void instanceIsOneStoreOverProfileDb();

private:
    // Writes the four files with a table each; extra statements go to profile.db.
    void makeDataDir(const QString &profileRows = QString());
    std::unique_ptr<Profile> open(const QString &fileName = QStringLiteral("profile.db"));
    QVariant stored(const QString &key, const QString &what = QStringLiteral("value"));

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_previousDir;
};

void tst_Profile::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("Workstation"));
    m_previousDir = QDir::currentPath();
}

void tst_Profile::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir::setCurrent(m_dir->path()));
}

void tst_Profile::cleanup()
{
    for (const QString &name : connectionNames)
        QSqlDatabase::removeDatabase(name);
    QDir::setCurrent(m_previousDir);
    m_dir.reset();
}

void tst_Profile::makeDataDir(const QString &profileRows)
{
    QVERIFY(Fixture::runScript(QStringLiteral("profile.db"),
                               QStringLiteral("create table profile(name text unique, value);")
                                   + profileRows));
    for (const QString &file : {QStringLiteral("data.db"), QStringLiteral("qc.db"),
                                QStringLiteral("syslog.db")})
        QVERIFY(Fixture::runScript(file, QStringLiteral("create table version(version integer);")));
}

std::unique_ptr<Profile> tst_Profile::open(const QString &fileName)
{
    // A restart: the earlier store's connections go, as they would at exit.
    for (const QString &name : connectionNames)
        QSqlDatabase::removeDatabase(name);
    // Any box here would be a surprise; the catcher keeps it from blocking.
    MessageBoxCatcher catcher;
    std::unique_ptr<Profile> profile(new Profile(fileName, nullptr));
    if (!catcher.boxes.isEmpty())
        qWarning() << "unexpected boxes:" << catcher.texts();
    return profile;
}

QVariant tst_Profile::stored(const QString &key, const QString &what)
{
    return Fixture::scalar(QStringLiteral("profile.db"),
                           QStringLiteral("select %1 from profile where name = '%2'").arg(what, key));
}

void tst_Profile::metaObject()
{
    const QMetaObject &mo = Profile::staticMetaObject;
    QCOMPARE(mo.className(), "Profile");
    QCOMPARE(mo.methodCount() - mo.methodOffset(), 4);
    QCOMPARE(mo.propertyCount() - mo.propertyOffset(), 0);
    QCOMPARE(mo.enumeratorCount() - mo.enumeratorOffset(), 0);
    QCOMPARE(mo.classInfoCount() - mo.classInfoOffset(), 0);
    QCOMPARE(mo.constructorCount(), 0);

    struct Expected {
        const char *signature;
        QMetaMethod::MethodType type;
        QMetaMethod::Access access;
        QList<QByteArray> names;
    };
    // Qt 5 has no protected signals; they are public.
    const Expected expected[] = {
        {"valueChanged(QString,QVariant)", QMetaMethod::Signal, QMetaMethod::Public, {"key", "value"}},
        {"keyRemoved(QString)", QMetaMethod::Signal, QMetaMethod::Public, {"key"}},
        {"saveValue(QString,QVariant)", QMetaMethod::Slot, QMetaMethod::Private, {"key", "value"}},
        {"removeKey(QString)", QMetaMethod::Slot, QMetaMethod::Private, {"key"}},
    };
    for (int i = 0; i < 4; ++i) {
        const QMetaMethod method = mo.method(mo.methodOffset() + i);
        QCOMPARE(method.methodSignature(), QByteArray(expected[i].signature));
        QCOMPARE(method.methodType(), expected[i].type);
        QCOMPARE(method.access(), expected[i].access);
        QCOMPARE(method.parameterNames(), expected[i].names);
    }
}

void tst_Profile::startupBoxes_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QStringList>("texts");

    const QString wrongProfile = tr8("错误的配置文件 %1");
    const QString wrongDb = tr8("错误的数据库文件 %1");
    const QString cannotOpenDb = tr8("无法打开数据库文件 %1");

    QTest::newRow("all files good") << "good" << "profile.db" << QStringList();
    QTest::newRow("empty directory") << "none" << "profile.db"
        << QStringList{wrongProfile.arg("profile.db"), wrongDb.arg("data.db"),
                       wrongDb.arg("qc.db"), wrongDb.arg("syslog.db")};
    QTest::newRow("settings file missing") << "good" << "missing.db"
        << QStringList{wrongProfile.arg("missing.db")};
    QTest::newRow("settings file empty") << "empty profile" << "profile.db"
        << QStringList{wrongProfile.arg("profile.db")};
    QTest::newRow("data.db empty") << "empty data.db" << "profile.db"
        << QStringList{wrongDb.arg("data.db")};
    QTest::newRow("qc.db missing") << "no qc.db" << "profile.db"
        << QStringList{wrongDb.arg("qc.db")};
    QTest::newRow("syslog.db not a file") << "syslog.db directory" << "profile.db"
        << QStringList{cannotOpenDb.arg("syslog.db"), wrongDb.arg("syslog.db")};
    // The settings file cannot be opened: both its boxes, the driver's error in the first.
    QTest::newRow("settings file unopenable") << "good" << "no/such/dir/p%2.db"
        << QStringList{QStringLiteral("load"), wrongProfile.arg("no/such/dir/p%2.db")};
}

void tst_Profile::startupBoxes()
{
    QFETCH(QString, setup);
    QFETCH(QString, fileName);
    QFETCH(QStringList, texts);

    if (setup != QLatin1String("none"))
        makeDataDir(QStringLiteral("insert into profile values('hospital', 'General');"));
    if (setup == QLatin1String("empty profile"))
        QVERIFY(Fixture::writeFile(QStringLiteral("profile.db"), QByteArray()));
    if (setup == QLatin1String("empty data.db"))
        QVERIFY(Fixture::writeFile(QStringLiteral("data.db"), QByteArray()));
    if (setup == QLatin1String("no qc.db"))
        QVERIFY(QFile::remove(QStringLiteral("qc.db")));
    if (setup == QLatin1String("syslog.db directory")) {
        QVERIFY(QFile::remove(QStringLiteral("syslog.db")));
        QVERIFY(QDir().mkdir(QStringLiteral("syslog.db")));
    }

    MessageBoxCatcher catcher;
    const std::unique_ptr<Profile> profile(fileName == QLatin1String("profile.db")
                                               ? new Profile
                                               : new Profile(fileName, nullptr));
    QCOMPARE(catcher.boxes.size(), texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        const MessageBoxCatcher::Box &box = catcher.boxes.at(i);
        QCOMPARE(box.title, QStringLiteral("Workstation"));
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        if (texts.at(i) == QLatin1String("load")) {
            const QString head = tr8("无法加载配置文件 %1\n").arg(fileName);
            QVERIFY2(box.text.startsWith(head), qPrintable(box.text));
            QVERIFY2(box.text.size() > head.size(), "the driver's error is missing");
        } else {
            QCOMPARE(box.text, texts.at(i));
        }
    }

    // Whatever went wrong, all four connections exist under their names and
    // the store works in memory.
    QCOMPARE(profile->database().connectionName(), QStringLiteral("profile.db"));
    QCOMPARE(profile->database().databaseName(), fileName);
    QCOMPARE(profile->dataDatabase().connectionName(), QStringLiteral("data.db"));
    QCOMPARE(profile->qcDatabase().connectionName(), QStringLiteral("qc.db"));
    QCOMPARE(profile->syslogDatabase().connectionName(), QStringLiteral("syslog.db"));
    for (const QString &name : connectionNames)
        QCOMPARE(QSqlDatabase::database(name, false).connectOptions(),
                 QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
    const bool loaded = setup != QLatin1String("none") && setup != QLatin1String("empty profile")
                        && fileName == QLatin1String("profile.db");
    QCOMPARE(profile->keys(), loaded ? QStringList{"hospital"} : QStringList());
    profile->setValue(QStringLiteral("k"), 7, false);
    QCOMPARE(profile->value(QStringLiteral("k")), QVariant(7));
}

void tst_Profile::loadKeepsStoredTypes()
{
    makeDataDir(QStringLiteral(
        "insert into profile values('number', 120);"
        "insert into profile values('quoted', '120');"
        "insert into profile values('real', 1.5);"
        "insert into profile values(42, 'numeric name');"));
    auto profile = open();

    const QVariant number = profile->value(QStringLiteral("number"));
    QCOMPARE(number.userType(), int(QMetaType::LongLong));
    QCOMPARE(number.toLongLong(), 120LL);
    const QVariant quoted = profile->value(QStringLiteral("quoted"));
    QCOMPARE(quoted.userType(), int(QMetaType::QString));
    QCOMPARE(quoted.toString(), QStringLiteral("120"));
    QCOMPARE(profile->value(QStringLiteral("real")), QVariant(1.5));
    QCOMPARE(profile->value(QStringLiteral("42")), QVariant(QStringLiteral("numeric name")));

    // The stored type holds until a setValue replaces it.
    profile->setValue(QStringLiteral("number"), QStringLiteral("text now"), false);
    QCOMPARE(profile->value(QStringLiteral("number")).userType(), int(QMetaType::QString));
}

void tst_Profile::valueOfUnknownKeyLeavesPlaceholder()
{
    makeDataDir();
    auto profile = open();
    QSignalSpy changed(profile.get(), &Profile::valueChanged);

    QCOMPARE(profile->value(QStringLiteral("k"), 1), QVariant(1));
    QVERIFY(profile->keys().contains(QStringLiteral("k")));
    QCOMPARE(profile->value(QStringLiteral("k"), QStringLiteral("e")), QVariant(QStringLiteral("e")));
    QCOMPARE(profile->keys().count(QStringLiteral("k")), 1);
    // A placeholder is memory only.
    QCOMPARE(changed.count(), 0);
    QCOMPARE(Fixture::scalar(QStringLiteral("profile.db"),
                             QStringLiteral("select count(*) from profile")), QVariant(0));
}

void tst_Profile::setValueWithoutSaveIsLostAtRestart()
{
    makeDataDir(QStringLiteral("insert into profile values('old', 'file');"));
    {
        auto profile = open();
        profile->setValue(QStringLiteral("old"), QStringLiteral("memory"), false);
        profile->setValue(QStringLiteral("new"), QStringLiteral("memory"), false);
        QCOMPARE(profile->value(QStringLiteral("old")), QVariant(QStringLiteral("memory")));
        QCOMPARE(profile->value(QStringLiteral("new")), QVariant(QStringLiteral("memory")));
    }
    auto restarted = open();
    QCOMPARE(restarted->value(QStringLiteral("old"), 0), QVariant(QStringLiteral("file")));
    QCOMPARE(restarted->value(QStringLiteral("new"), 0), QVariant(0));
}

void tst_Profile::savedValuesSurviveRestart_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("sqlType");
    QTest::addColumn<QVariant>("readBack");
    QTest::newRow("int") << QVariant(5) << "integer" << QVariant(5LL);
    QTest::newRow("large integer") << QVariant(1LL << 40) << "integer" << QVariant(1LL << 40);
    QTest::newRow("real") << QVariant(2.25) << "real" << QVariant(2.25);
    QTest::newRow("text") << QVariant(tr8("医院 'quoted'")) << "text" << QVariant(tr8("医院 'quoted'"));
    QTest::newRow("empty text") << QVariant(QString("")) << "text" << QVariant(QString(""));
    QTest::newRow("bool") << QVariant(false) << "text" << QVariant(QStringLiteral("false"));
    QTest::newRow("colour") << QVariant::fromValue(QColor(10, 20, 30)) << "text"
                            << QVariant(QStringLiteral("#0a141e"));
    QTest::newRow("translucent colour") << QVariant::fromValue(QColor(10, 20, 30, 40)) << "text"
                                        << QVariant(QStringLiteral("#0a141e"));
}

void tst_Profile::savedValuesSurviveRestart()
{
    QFETCH(QVariant, value);
    QFETCH(QString, sqlType);
    QFETCH(QVariant, readBack);

    makeDataDir(QStringLiteral("insert into profile values('k', 'old');"));
    {
        auto profile = open();
        profile->setValue(QStringLiteral("k"), value, true);
        // Written before setValue returns in the owner's thread.
        QCOMPARE(stored(QStringLiteral("k"), QStringLiteral("typeof(value)")), QVariant(sqlType));
        QCOMPARE(profile->value(QStringLiteral("k")), value);
    }
    QCOMPARE(Fixture::scalar(QStringLiteral("profile.db"),
                             QStringLiteral("select count(*) from profile")), QVariant(1));
    auto restarted = open();
    QCOMPARE(restarted->value(QStringLiteral("k")), readBack);
}

void tst_Profile::invalidValueDeletesRow()
{
    makeDataDir(QStringLiteral("insert into profile values('k', 'v');"));
    auto profile = open();
    profile->setValue(QStringLiteral("k"), QVariant(), true);
    QVERIFY(!stored(QStringLiteral("k")).isValid());
    QVERIFY(profile->keys().contains(QStringLiteral("k")));
    QCOMPARE(profile->value(QStringLiteral("k"), 3), QVariant(3));
}

void tst_Profile::removeDeletesUncachedRow()
{
    makeDataDir(QStringLiteral("insert into profile values('cached', 'v');"));
    auto profile = open();
    // Another program adds a row after the store has loaded.
    QVERIFY(Fixture::runScript(QStringLiteral("profile.db"),
                               QStringLiteral("insert into profile values('later', 'x');")));
    QVERIFY(!profile->keys().contains(QStringLiteral("later")));
    QSignalSpy removed(profile.get(), &Profile::keyRemoved);

    profile->remove(QStringLiteral("later"));
    profile->remove(QStringLiteral("cached"));
    QCOMPARE(removed.count(), 2);
    QCOMPARE(Fixture::scalar(QStringLiteral("profile.db"),
                             QStringLiteral("select count(*) from profile")), QVariant(0));
    QVERIFY(profile->keys().isEmpty());
    QCOMPARE(profile->value(QStringLiteral("cached"), 1), QVariant(1));
}

void tst_Profile::value2FallsThrough_data()
{
    QTest::addColumn<QVariant>("a");
    QTest::addColumn<QVariant>("b");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("bConsulted");
    const QVariant none;
    QTest::newRow("a valid") << QVariant("A") << QVariant("B") << QVariant("A") << false;
    QTest::newRow("a missing, b valid") << none << QVariant("B") << QVariant("B") << true;
    QTest::newRow("both missing") << none << none << QVariant("D") << true;
    QTest::newRow("a empty text is a value") << QVariant(QString("")) << QVariant("B")
                                             << QVariant(QString("")) << false;
    QTest::newRow("a null text is a value") << QVariant(QString()) << QVariant("B")
                                            << QVariant(QString()) << false;
}

void tst_Profile::value2FallsThrough()
{
    QFETCH(QVariant, a);
    QFETCH(QVariant, b);
    QFETCH(QVariant, expected);
    QFETCH(bool, bConsulted);

    makeDataDir();
    auto profile = open();
    if (a.isValid())
        profile->setValue(QStringLiteral("a"), a, false);
    if (b.isValid())
        profile->setValue(QStringLiteral("b"), b, false);
    QCOMPARE(profile->value2(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("D")), expected);
    QVERIFY(profile->keys().contains(QStringLiteral("a")));
    QCOMPARE(profile->keys().contains(QStringLiteral("b")), b.isValid() || bConsulted);

    // An "a" cached without a value also falls through.
    profile->setValue(QStringLiteral("a"), QVariant(), false);
    QCOMPARE(profile->value2(QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("D")),
             b.isValid() ? b : QVariant(QStringLiteral("D")));
}

void tst_Profile::workerThreadChangesWrittenByOwner()
{
    makeDataDir(QStringLiteral("insert into profile values('gone', 'x');"));
    auto profile = open();
    Profile *p = profile.get();
    QThread *worker = QThread::create([p] {
        p->setValue(QStringLiteral("k"), 1, true);
        p->setValue(QStringLiteral("k"), 2, true);
        p->remove(QStringLiteral("gone"));
    });
    worker->start();
    QVERIFY(worker->wait());
    delete worker;

    // Memory has the change at once; the file only once the owner's loop runs.
    QCOMPARE(profile->value(QStringLiteral("k")), QVariant(2));
    QVERIFY(!stored(QStringLiteral("k")).isValid());
    QCOMPARE(stored(QStringLiteral("gone")), QVariant(QStringLiteral("x")));
    // The worker has ended, so its writes wait in the owner's queue.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(stored(QStringLiteral("k")), QVariant(2LL));
    QVERIFY(!stored(QStringLiteral("gone")).isValid());

    // A queued write must not overtake a later change: a removal made here
    // after a worker's change, a change made here after a worker's removal.
    // A change with save false after a worker's saved one stays in memory.
    worker = QThread::create([p] {
        p->setValue(QStringLiteral("removed"), 1, true);
        p->remove(QStringLiteral("set"));
        p->setValue(QStringLiteral("memory"), 1, true);
    });
    worker->start();
    QVERIFY(worker->wait());
    delete worker;
    profile->remove(QStringLiteral("removed"));
    profile->setValue(QStringLiteral("set"), 2, true);
    profile->setValue(QStringLiteral("memory"), 2, false);
    QCoreApplication::sendPostedEvents();
    QVERIFY(!stored(QStringLiteral("removed")).isValid());
    QCOMPARE(stored(QStringLiteral("set")), QVariant(2LL));
    QCOMPARE(stored(QStringLiteral("memory")), QVariant(1LL));
    QCOMPARE(profile->value(QStringLiteral("memory")), QVariant(2));
}

// Memory keeps the change; the lost write must at least be reported.
// A worker's sync() writes at once on a connection of its own, closed when
// the worker ends; a change whose queued write never ran (the application
// closing) is written by the destructor.
void tst_Profile::workerChangesReachTheFile()
{
    makeDataDir(QStringLiteral("insert into profile values('gone', 'x');"));
    auto profile = open();
    Profile *p = profile.get();
    QString workerConnection;
    qlonglong rowsSeen = -1;
    std::thread([&] {
        p->setValue(QStringLiteral("synced"), 1, true);
        p->sync();
        QSqlQuery query(p->database());
        workerConnection = p->database().connectionName();
        if (query.exec(QStringLiteral("select count(*) from profile")) && query.next())
            rowsSeen = query.value(0).toLongLong();
    }).join();
    QCOMPARE(stored(QStringLiteral("synced")), QVariant(1LL));
    QCOMPARE(rowsSeen, 2LL);
    QVERIFY(workerConnection.startsWith(QStringLiteral("profile.db@")));
    QVERIFY(!QSqlDatabase::contains(workerConnection));
    QCOMPARE(p->database().connectionName(), QStringLiteral("profile.db"));

    std::thread([p] {
        p->setValue(QStringLiteral("late"), 2, true);
        p->remove(QStringLiteral("gone"));
        p->setValue(QStringLiteral("memory"), 3, false);
    }).join();
    QVERIFY(!stored(QStringLiteral("late")).isValid());
    profile.reset();
    QCOMPARE(stored(QStringLiteral("late")), QVariant(2LL));
    QVERIFY(!stored(QStringLiteral("gone")).isValid());
    QVERIFY(!stored(QStringLiteral("memory")).isValid());
    // The slot calls still queued belong to a store that is gone.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(stored(QStringLiteral("late")), QVariant(2LL));
}

// The unattended test of a result model: the store in a directory it names,
// not the current one, and its start-up problems on the warning channel
// instead of boxes that would wait for nobody.
void tst_Profile::namedDirectoryWithoutBoxes()
{
    QVERIFY(QDir().mkdir(QStringLiteral("elsewhere")));
    const QString elsewhere = QDir(QStringLiteral("elsewhere")).absolutePath();
    QVERIFY(Fixture::runScript(elsewhere + QStringLiteral("/profile.db"),
                               QStringLiteral("create table profile(name text unique, value);"
                                              "insert into profile values('hospital', 'East');")));
    QCOMPARE(Profile::dataDirectory(), QDir::currentPath());
    Profile::setDataDirectory(elsewhere);
    QCOMPARE(Profile::dataDirectory(), elsewhere);
    setMessageBoxesShown(false);
    QVERIFY(!messageBoxesShown());

    QStringList messages;
    capturedMessages = &messages;
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    MessageBoxCatcher catcher;
    {
        Profile profile;
        QCOMPARE(profile.hospital(), QStringLiteral("East"));
        profile.set_hospital(QStringLiteral("West"));
        QCOMPARE(profile.dataDatabase().databaseName(), elsewhere + QStringLiteral("/data.db"));
    }
    qInstallMessageHandler(previous);
    setMessageBoxesShown(true);
    Profile::setDataDirectory(QString());

    QVERIFY(catcher.boxes.isEmpty());
    QCOMPARE(messages.size(), 3);
    for (const QString &file : {QStringLiteral("data.db"), QStringLiteral("qc.db"),
                                QStringLiteral("syslog.db")}) {
        const QString text = tr8("错误的数据库文件 %1").arg(elsewhere + QLatin1Char('/') + file);
        QVERIFY2(messages.filter(text).size() == 1, qPrintable(messages.join(QLatin1Char('\n'))));
        QVERIFY(!QFile::exists(file));
    }
    QCOMPARE(Fixture::scalar(elsewhere + QStringLiteral("/profile.db"),
                             QStringLiteral("select value from profile where name = 'hospital'")),
             QVariant(QStringLiteral("West")));
    QVERIFY(!QFile::exists(QStringLiteral("profile.db")));
}

void tst_Profile::failedWriteIsReported()
{
    makeDataDir();
    QVERIFY(Fixture::runScript(QStringLiteral("profile.db"), QStringLiteral("drop table profile;"
                                                                            "create table other(x);")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cannot read the settings")));
    auto profile = open();
    // SQLite's own reason, not the parameter count of a statement never prepared.
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
            QStringLiteral("cannot write setting k : no such table: profile")));
    profile->setValue(QStringLiteral("k"), 1, true);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
            QStringLiteral("cannot delete setting k : no such table: profile")));
    profile->remove(QStringLiteral("k"));
    profile->setValue(QStringLiteral("k"), 2, false);
    QCOMPARE(profile->value(QStringLiteral("k")), QVariant(2));
}

// A value the driver would write as an empty text must not replace the row.
void tst_Profile::valueWithoutTextFormIsNotWritten()
{
    makeDataDir(QStringLiteral("insert into profile values('k', 'kept');"));
    auto profile = open();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("setting k not written")));
    const QVariant map = QVariantMap{{QStringLiteral("x"), 1}};
    profile->setValue(QStringLiteral("k"), map, true);
    QCOMPARE(stored(QStringLiteral("k")), QVariant(QStringLiteral("kept")));
    QCOMPARE(profile->value(QStringLiteral("k")), map);
}

// Every typed setting goes to the row named like its getter, in the stored
// form of its type, and comes back at the next start whatever default is given.
void tst_Profile::typedSettingsRoundTrip()
{
    makeDataDir();
    const QString text = tr8("值 ↑");
    const QColor colour(0x12, 0xab, 0xef);
    const int number = 17;
    const bool flag = true;
    const auto sample = [&](const auto &type) -> QVariant {
        using T = std::decay_t<decltype(type)>;
        if constexpr (std::is_same_v<T, QString>) return text;
        else if constexpr (std::is_same_v<T, QColor>) return colour;
        else if constexpr (std::is_same_v<T, int>) return number;
        else return flag;
    };
    const auto storedForm = [&](const auto &type) -> QVariant {
        using T = std::decay_t<decltype(type)>;
        if constexpr (std::is_same_v<T, QString>) return text;
        else if constexpr (std::is_same_v<T, QColor>) return QStringLiteral("#12abef");
        else if constexpr (std::is_same_v<T, int>) return qlonglong(number);
        else return QStringLiteral("true");
    };

    int count = 0;
    {
        auto profile = open();
#define SET_SETTING(Type, name) \
        profile->set_##name(qvariant_cast<Type>(sample(Type())), true); \
        QCOMPARE(stored(QStringLiteral(#name)), storedForm(Type())); \
        ++count;
        PROFILE_TYPED_SETTINGS(SET_SETTING)
#undef SET_SETTING
    }
    QCOMPARE(count, 28);
    QCOMPARE(Fixture::scalar(QStringLiteral("profile.db"),
                             QStringLiteral("select count(*) from profile")), QVariant(28));

    auto restarted = open();
#define GET_SETTING(Type, name) \
    QCOMPARE(QVariant::fromValue(restarted->name(Type())), sample(Type()));
    PROFILE_TYPED_SETTINGS(GET_SETTING)
#undef GET_SETTING
}

void tst_Profile::typedGetterWithoutRowReturnsCallerDefault()
{
    makeDataDir();
    auto profile = open();
    QCOMPARE(profile->statim_sample_prefix(QStringLiteral("S")), QStringLiteral("S"));
    QVERIFY(profile->keys().contains(QStringLiteral("statim_sample_prefix")));
    QCOMPARE(profile->statim_sample_prefix(QStringLiteral("X")), QStringLiteral("X"));
    QCOMPARE(profile->color_of_lower_mark(QColor(255, 170, 0)), QColor(255, 170, 0));
    QCOMPARE(profile->max_qc_file(31), 31);
    QCOMPARE(profile->is_touch_screen(true), true);
}

void tst_Profile::colourLosesAlphaAcrossRestart()
{
    makeDataDir();
    const QColor translucent(200, 100, 50, 80);
    {
        auto profile = open();
        profile->set_color_of_waiting(translucent, true);
        QCOMPARE(profile->color_of_waiting(Qt::black), translucent);
    }
    auto restarted = open();
    const QColor back = restarted->color_of_waiting(Qt::black);
    QCOMPARE(back.rgb(), translucent.rgb());
    QCOMPARE(back.alpha(), 255);
}

void tst_Profile::boolStoredAsText_data()
{
    QTest::addColumn<bool>("value");
    QTest::newRow("true") << true;
    QTest::newRow("false") << false;
}

void tst_Profile::boolStoredAsText()
{
    QFETCH(bool, value);
    makeDataDir();
    {
        auto profile = open();
        profile->set_is_touch_screen(value, true);
    }
    QCOMPARE(stored(QStringLiteral("is_touch_screen")),
             QVariant(value ? QStringLiteral("true") : QStringLiteral("false")));
    auto restarted = open();
    QCOMPARE(restarted->is_touch_screen(!value), value);
}

// A stored value of the wrong kind reads as the type's empty value, not as the
// caller's default; colours excepted (below).
void tst_Profile::unconvertibleTextGivesTypeDefault()
{
    makeDataDir(QStringLiteral("insert into profile values('max_qc_file', 'abc');"
                               "insert into profile values('qc_method', '12');"
                               "insert into profile values('color_of_null_result', 'red');"));
    auto profile = open();
    QCOMPARE(profile->max_qc_file(9), 0);
    QCOMPARE(profile->qc_method(9), 12);
    QCOMPARE(profile->color_of_null_result(Qt::blue), QColor(Qt::red));
}

// A NULL row (left by another tool or by hand) is no value, and a colour that
// does not parse would paint a flagged result black: both read as the
// caller's default, and the file keeps what it holds.
void tst_Profile::rowsWithoutUsableValueGiveCallerDefault()
{
    makeDataDir(QStringLiteral("insert into profile values('hospital', NULL);"
                               "insert into profile values('max_qc_file', NULL);"
                               "insert into profile values('is_touch_screen', NULL);"
                               "insert into profile values('color_of_waiting', NULL);"
                               "insert into profile values('empty', '');"
                               "insert into profile values('color_of_upper_report', 'nonsense');"
                               "insert into profile values('color_of_lower_report', '#12');"
                               "insert into profile values('color_of_lower_mark', 12);"));
    auto profile = open();
    QCOMPARE(profile->hospital(QStringLiteral("General")), QStringLiteral("General"));
    QCOMPARE(profile->max_qc_file(31), 31);
    QCOMPARE(profile->is_touch_screen(true), true);
    QCOMPARE(profile->color_of_waiting(Qt::green), QColor(Qt::green));
    QCOMPARE(profile->value2(QStringLiteral("hospital"), QStringLiteral("empty")),
             QVariant(QStringLiteral("")));
    QVERIFY(profile->keys().contains(QStringLiteral("hospital")));

    QStringList messages;
    capturedMessages = &messages;
    const QtMessageHandler previous = qInstallMessageHandler(captureMessage);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(profile->color_of_upper_report(Qt::red), QColor(Qt::red));
        QCOMPARE(profile->color_of_lower_report(Qt::red), QColor(Qt::red));
        QCOMPARE(profile->color_of_lower_mark(QColor(255, 170, 0)), QColor(255, 170, 0));
    }
    qInstallMessageHandler(previous);
    // Once per setting, on the warning channel.
    QCOMPARE(messages.size(), 3);
    QVERIFY2(messages.at(0).contains(QStringLiteral("color_of_upper_report"))
                 && messages.at(0).contains(QStringLiteral("\"nonsense\"")),
             qPrintable(messages.at(0)));
    QCOMPARE(stored(QStringLiteral("color_of_upper_report")), QVariant(QStringLiteral("nonsense")));
    QCOMPARE(stored(QStringLiteral("color_of_lower_report")), QVariant(QStringLiteral("#12")));
    QCOMPARE(stored(QStringLiteral("hospital"), QStringLiteral("typeof(value)")),
             QVariant(QStringLiteral("null")));

    // What is set is written as a value: a null text as an empty one, and an
    // invalid colour (named like black) as no value.
    profile->set_hospital(QString(), true);
    profile->set_color_of_upper_report(QColor(), true);
    QCOMPARE(stored(QStringLiteral("hospital"), QStringLiteral("typeof(value)")),
             QVariant(QStringLiteral("text")));
    QCOMPARE(profile->color_of_upper_report(Qt::red), QColor(Qt::red));
    auto restarted = open();
    QCOMPARE(restarted->hospital(QStringLiteral("General")), QStringLiteral(""));
    QCOMPARE(restarted->color_of_upper_report(Qt::red), QColor(Qt::red));
}

// Last: the process-wide store lives until exit.
void tst_Profile::instanceIsOneStoreOverProfileDb()
{
    makeDataDir(QStringLiteral("insert into profile values('hospital', 'General');"));
    for (const QString &name : connectionNames)
        QSqlDatabase::removeDatabase(name);
    MessageBoxCatcher catcher;
    Profile &first = Profile::instance();
    QCOMPARE(&Profile::instance(), &first);
    QVERIFY(catcher.boxes.isEmpty());
    QVERIFY(!first.parent());
    QCOMPARE(first.thread(), QThread::currentThread());
    QCOMPARE(first.database().databaseName(), QStringLiteral("profile.db"));
    QCOMPARE(first.hospital(QString()), QStringLiteral("General"));
    instanceMade = true;

    // A second store, as a settings dialog's test makes one: names of its
    // own, the first store's connections and file untouched, and its names
    // given back when it goes.
    QVERIFY(QDir().mkdir(QStringLiteral("dialog")));
    const QString dialog = QDir(QStringLiteral("dialog")).absolutePath();
    for (const QString &file : connectionNames)
        QVERIFY(QFile::copy(file, dialog + QLatin1Char('/') + file));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("store is open already")));
    Profile::setDataDirectory(dialog);
    {
        MessageBoxCatcher second;
        Profile other;
        QVERIFY(second.boxes.isEmpty());
        QCOMPARE(other.database().connectionName(), QStringLiteral("profile.db#1"));
        QCOMPARE(other.dataDatabase().connectionName(), QStringLiteral("data.db#1"));
        QCOMPARE(first.database().connectionName(), QStringLiteral("profile.db"));
        first.set_hospital(QStringLiteral("North"));
        other.set_hospital(QStringLiteral("South"));
        QCOMPARE(Fixture::scalar(dialog + QStringLiteral("/profile.db"),
                                 QStringLiteral("select value from profile where name = 'hospital'")),
                 QVariant(QStringLiteral("South")));
    }
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("store is open already")));
    Profile::setDataDirectory(QString());
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("profile.db#1")));
    first.set_hospital(QStringLiteral("West"));
    QCOMPARE(stored(QStringLiteral("hospital")), QVariant(QStringLiteral("West")));
    QCOMPARE(first.hospital(), QStringLiteral("West"));
}

QTEST_MAIN(tst_Profile)
#include "tst_profile.moc"
