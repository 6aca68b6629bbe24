#include "legacydata.h"

#include "dbfixture.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QFile>
#include <QtDebug>

#include <sqlite3.h>

#include <cmath>

namespace Legacy {

namespace {

sqlite3 *openFile(const QString &file)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(file).constData(), &db) != SQLITE_OK) {
        qWarning() << "cannot open" << file << sqlite3_errmsg(db);
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

bool run(sqlite3 *db, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK)
        return true;
    qWarning() << "statement failed:" << sql << error;
    sqlite3_free(error);
    return false;
}

// One prepared insert, bound from a list of values and run once per call.
class Insert
{
public:
    Insert(sqlite3 *db, const char *sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            qWarning() << "cannot prepare" << sql << sqlite3_errmsg(db);
    }
    ~Insert() { sqlite3_finalize(m_stmt); }
    bool operator()(const QVariantList &values)
    {
        if (!m_stmt)
            return false;
        sqlite3_reset(m_stmt);
        for (int i = 0; i < values.size(); ++i) {
            const QVariant &v = values.at(i);
            switch (v.type()) {
            case QVariant::Invalid:
                sqlite3_bind_null(m_stmt, i + 1);
                break;
            case QVariant::Int:
            case QVariant::LongLong:
                sqlite3_bind_int64(m_stmt, i + 1, v.toLongLong());
                break;
            case QVariant::Double:
                sqlite3_bind_double(m_stmt, i + 1, v.toDouble());
                break;
            case QVariant::ByteArray: {
                const QByteArray b = v.toByteArray();
                sqlite3_bind_blob(m_stmt, i + 1, b.constData(), b.size(), SQLITE_TRANSIENT);
                break;
            }
            default: {
                const QByteArray t = v.toString().toUtf8();
                sqlite3_bind_text(m_stmt, i + 1, t.constData(), t.size(), SQLITE_TRANSIENT);
                break;
            }
            }
        }
        if (sqlite3_step(m_stmt) == SQLITE_DONE)
            return true;
        qWarning() << "insert failed:" << sqlite3_errmsg(m_db);
        return false;
    }

private:
    sqlite3 *m_db;
    sqlite3_stmt *m_stmt = nullptr;
};

QString columnText(sqlite3_stmt *stmt, int i)
{
    switch (sqlite3_column_type(stmt, i)) {
    case SQLITE_NULL:
        return QStringLiteral("NULL");
    case SQLITE_BLOB:
        return QString::fromLatin1(QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, i)),
                                              sqlite3_column_bytes(stmt, i)).toHex());
    default:
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)));
    }
}

QStringList allRows(sqlite3 *db, const QString &sql, bool *ok = nullptr)
{
    QStringList out;
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK) {
        qWarning() << "query failed:" << sql << sqlite3_errmsg(db);
        if (ok)
            *ok = false;
        return out;
    }
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        QStringList columns;
        for (int i = 0; i < sqlite3_column_count(stmt); ++i)
            columns << columnText(stmt, i);
        out << columns.join(QLatin1Char('|'));
    }
    if (rc != SQLITE_DONE)
        qWarning() << "query failed:" << sql << sqlite3_errmsg(db);
    if (ok)
        *ok = rc == SQLITE_DONE;
    sqlite3_finalize(stmt);
    return out;
}

} // namespace

bool createData(const QString &file, int version)
{
    return Fixture::runScriptFile(file, Fixture::sourcePath(
        QStringLiteral("tests/data/data_v%1.sql").arg(version)));
}

QByteArray curveBlob(int seed, int points)
{
    // An intensity curve that falls as the sample clots, sampled every 0.1 s.
    QByteArray blob;
    QDataStream out(&blob, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::BigEndian);
    out.setFloatingPointPrecision(QDataStream::DoublePrecision);
    out << qint32(0) << quint32(1) << 0.0 << 0.1 << quint32(points);
    const double clot = 10.0 + seed % 40;
    for (int k = 0; k < points; ++k) {
        const double t = k * 0.1;
        out << 800.0 - 450.0 / (1.0 + std::exp(-(t - clot) * 0.8)) + (seed * 7 + k) % 5 * 0.25;
    }
    return blob;
}

bool addBulkData(const QString &file, int version, int patients, int curvePoints)
{
    sqlite3 *db = openFile(file);
    if (!db)
        return false;
    run(db, "pragma synchronous = off");
    bool ok = run(db, "begin");
    {
        Insert patient(db, "insert into patient(id, sampleNo, date, name, age, sex, department)"
                           " values(?, ?, ?, ?, ?, ?, ?)");
        Insert exam(db, "insert into exam(sampleNo, date, item, status) values(?, ?, ?, 2)");
        Insert oldResult(db, version < 3 ? "insert into result(id, patientId, item, subitem, abbr, code,"
                             " result, unit, flag, displayOrder, lowerMarkLimit, upperMarkLimit)"
                             " values(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" : "select 1");
        Insert oldCurve(db, version < 3 ? "insert into curve(id, patientId, item, curve) values(?, ?, ?, ?)"
                                        : "select 1");
        Insert oldDetail(db, version == 1 || version == 2
                             ? "insert into detail(id, patientId, item, info) values(?, ?, ?, ?)" : "select 1");
        Insert results(db, version >= 3 ? "insert into results(id, patientId, item, subitem, version, abbr,"
                           " code, date, time, result, unit, flag, displayOrder, lowerMarkLimit, upperMarkLimit)"
                           " values(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" : "select 1");
        Insert checked(db, version >= 3 ? "insert into checkedResult(patientId, item, subitem, resultsId)"
                                          " values(?, ?, ?, ?)" : "select 1");
        Insert curve(db, version >= 3 ? "insert into curve(id, patientId, item, version, curve)"
                                        " values(?, ?, ?, ?, ?)" : "select 1");
        Insert detail(db, version >= 3 ? "insert into detail(id, patientId, item, version, info)"
                                         " values(?, ?, ?, ?, ?)" : "select 1");
        struct Test { const char *item, *subitem, *code, *unit; double low, high; };
        static const Test tests[] = {
            {"PT", "PT.T", "Prothrombin time", "s", 11.0, 14.5},
            {"APTT", "APTT.T", "Activated partial thromboplastin time", "s", 25.0, 37.0},
        };
        static const char *const departments[] = {"ICU", "Er", "card", nullptr};
        static const char *const sexes[] = {"M", "f"};
        qint64 row = 10000;
        for (int i = 0; ok && i < patients; ++i) {
            const qint64 id = 1000 + i;
            const QString date = QStringLiteral("2012-%1-%2").arg(1 + i / 500 % 12, 2, 10, QLatin1Char('0'))
                                     .arg(1 + i / 6000 % 28, 2, 10, QLatin1Char('0'));
            const QString sampleNo = QString::number(1 + i % 500);
            const char *department = departments[i % 4];
            ok = patient({id, sampleNo, date, QStringLiteral("Patient %1").arg(i), 20 + i % 70,
                          QLatin1String(sexes[i % 2]),
                          department ? QVariant(QLatin1String(department)) : QVariant()});
            for (int t = 0; ok && t < 2; ++t) {
                const Test &test = tests[t];
                const double value = test.low + (i * 37 + t * 11) % 200 / 10.0;
                const int flag = value > test.high ? 16 : 0;
                const QString info = QStringLiteral("channel %1").arg(1 + (i + t) % 4);
                ok = exam({sampleNo, date, QLatin1String(test.item)});
                if (version < 3) {
                    ok = ok && oldResult({row, id, QLatin1String(test.item), QLatin1String(test.subitem),
                                          QLatin1String(test.item), QLatin1String(test.code), value,
                                          QLatin1String(test.unit), flag, 1, test.low, test.high});
                    ok = ok && oldCurve({row, id, QLatin1String(test.item), curveBlob(i * 2 + t, curvePoints)});
                    if (version >= 1)
                        ok = ok && oldDetail({row, id, QLatin1String(test.item), info});
                    ++row;
                    continue;
                }
                const int saves = i % 3 == 0 ? 2 : 1;
                for (int s = 1; ok && s <= saves; ++s) {
                    const double v = value + (s - 1) * 0.3;
                    ok = results({row, id, QLatin1String(test.item), QLatin1String(test.subitem), s,
                                  QLatin1String(test.item), QLatin1String(test.code),
                                  s > 1 ? QVariant(date) : QVariant(), s > 1 ? QVariant(QStringLiteral("09:30:00")) : QVariant(),
                                  v, QLatin1String(test.unit), flag, 1, test.low, test.high})
                         && checked({id, QLatin1String(test.item), QLatin1String(test.subitem), row})
                         && curve({row, id, QLatin1String(test.item), s, curveBlob(i * 2 + t + s, curvePoints)})
                         && detail({row, id, QLatin1String(test.item), s, info});
                    ++row;
                }
            }
        }
    }
    ok = run(db, ok ? "commit" : "rollback") && ok;
    sqlite3_close(db);
    return ok;
}

Comparison::Comparison(const QString &file, const QString &attached)
{
    sqlite3 *db = openFile(file);
    if (!db)
        return;
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db, "attach ? as old", -1, &stmt, nullptr);
    const QByteArray name = QFile::encodeName(attached);
    sqlite3_bind_text(stmt, 1, name.constData(), name.size(), SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_finalize(stmt);
    if (!ok) {
        qWarning() << "cannot attach" << attached << sqlite3_errmsg(db);
        sqlite3_close(db);
        return;
    }
    m_db = db;
}

Comparison::~Comparison()
{
    sqlite3_close(static_cast<sqlite3 *>(m_db));
}

bool Comparison::isValid() const
{
    return m_db;
}

int Comparison::differences(const QString &first, const QString &second) const
{
    if (!m_db)
        return -1;
    bool ok = true;
    const QStringList n = allRows(static_cast<sqlite3 *>(m_db),
        QStringLiteral("select (select count(*) from (%1 except %2)) + (select count(*) from (%2 except %1))"
                       " + abs((select count(*) from (%1)) - (select count(*) from (%2)))")
            .arg(first, second), &ok);
    return ok && n.size() == 1 ? n.first().toInt() : -1;
}

QVariant Comparison::scalar(const QString &sql) const
{
    const QStringList r = rows(sql);
    return r.isEmpty() ? QVariant() : QVariant(r.first().section(QLatin1Char('|'), 0, 0));
}

QStringList Comparison::rows(const QString &sql) const
{
    return m_db ? allRows(static_cast<sqlite3 *>(m_db), sql) : QStringList();
}

QByteArray contentDigest(const QString &file)
{
    sqlite3 *db = openFile(file);
    if (!db)
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha1);
    bool ok = true;
    const QStringList objects = allRows(db, QStringLiteral(
        "select type, name, tbl_name, sql from sqlite_master order by name"), &ok);
    for (const QString &object : objects) {
        hash.addData(object.toUtf8() + '\n');
        if (!object.startsWith(QLatin1String("table|")))
            continue;
        const QString table = object.section(QLatin1Char('|'), 1, 1);
        for (const QString &row : allRows(db, QStringLiteral("select * from \"%1\" order by rowid").arg(table), &ok))
            hash.addData(row.toUtf8() + '\n');
    }
    sqlite3_close(db);
    return ok ? hash.result().toHex() : QByteArray();
}

QStringList currentSchemaObjects()
{
    QStringList objects = {
        QStringLiteral("table|checkedResult|checkedResult"),
        QStringLiteral("index|checkedResult_index|checkedResult"),
        QStringLiteral("table|curve|curve"),
        QStringLiteral("table|department|department"),
        QStringLiteral("index|department_index|department"),
        QStringLiteral("table|detail|detail"),
        QStringLiteral("table|diagnosis|diagnosis"),
        QStringLiteral("index|diagnosis_index|diagnosis"),
        QStringLiteral("table|doctor|doctor"),
        QStringLiteral("index|doctor_index|doctor"),
        QStringLiteral("table|exam|exam"),
        QStringLiteral("table|memo|memo"),
        QStringLiteral("index|memo_index|memo"),
        QStringLiteral("trigger|on_delete_patient|patient"),
        QStringLiteral("table|operator|operator"),
        QStringLiteral("index|operator_index|operator"),
        QStringLiteral("table|patient|patient"),
        QStringLiteral("table|patientExtra|patientExtra"),
        QStringLiteral("view|result|result"),
        QStringLiteral("table|results|results"),
        QStringLiteral("index|results_index|results"),
        QStringLiteral("table|sex|sex"),
        QStringLiteral("index|sex_index|sex"),
        QStringLiteral("index|sqlite_autoindex_checkedResult_1|checkedResult"),
        QStringLiteral("table|treatmentRoom|treatmentRoom"),
        QStringLiteral("index|treatmentRoom_index|treatmentRoom"),
        QStringLiteral("table|version|version"),
    };
    return objects;
}

bool layProfile(const QString &dir)
{
    return Fixture::runScriptFile(dir + QStringLiteral("/profile.db"),
                                  Fixture::sourcePath(QStringLiteral("samples/legacy/profile.sql")));
}

} // namespace Legacy
