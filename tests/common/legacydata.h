#ifndef LEGACYDATA_H
#define LEGACYDATA_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>

// data.db files as older workstation releases left them, and the checks
// that compare an upgraded file with the file it came from.
namespace Legacy {

// Lays data.db of schema version 0..5 from tests/data/data_v<version>.sql
// (a handful of patients with results, curves, details and lookup rows).
bool createData(const QString &file, int version);

// Adds `patients` patients (ids from 1000 up) with two tests each: per test
// one result value, one clot curve of `curvePoints` points and one detail
// row, in the tables and forms of the file's version. From version 3 on,
// every third patient's tests were saved twice (result, curve and detail
// version 2, the second result chosen).
bool addBulkData(const QString &file, int version, int patients, int curvePoints);

// A clot curve in its stored form: one intensity segment of `points` points.
QByteArray curveBlob(int seed, int points);

// A private connection to `file` with `attached` attached as "old".
class Comparison
{
public:
    Comparison(const QString &file, const QString &attached);
    ~Comparison();
    bool isValid() const;
    // Rows of `first` missing from `second` plus rows of `second` missing
    // from `first` (both full selects over main and old), or -1 on error.
    int differences(const QString &first, const QString &second) const;
    QVariant scalar(const QString &sql) const;
    QStringList rows(const QString &sql) const;

private:
    Q_DISABLE_COPY(Comparison)
    void *m_db = nullptr; // sqlite3 *
};

// A hash of the whole file's content, schema and rows, independent of page
// layout: equal for two files holding the same objects and data.
QByteArray contentDigest(const QString &file);

// Every version of data.db: which tables, indexes, view and trigger the
// upgrade must leave (type|name|tbl_name, ordered by name).
QStringList currentSchemaObjects();

// Lays the sample site's profile.db (base tables, version 0) in a data
// directory: the program upgrades profile.db first, and an empty one fails.
bool layProfile(const QString &dir);

} // namespace Legacy

#endif // LEGACYDATA_H
