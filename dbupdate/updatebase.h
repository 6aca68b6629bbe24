#ifndef UPDATEBASE_H
#define UPDATEBASE_H

#include <QObject>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>
#include <QVector>

class QSqlDatabase;
class QSqlQuery;

// Writes one warning for a failed statement: where it was issued, the
// driver's error and the statement itself.
void reportQueryError(QSqlQuery query, const char *file, int line);

// Base of the four database upgrades. The constructor opens the file on the
// default connection and reads its schema version; subclasses implement
// update() as their list of version blocks.
class UpdateBase : public QObject
{
    Q_OBJECT
public:
    // One step of an upgrade as the status report names it: the version it
    // brings the file to, or 0 for a step that runs on every start.
    struct Block {
        int version;
        const char *description;
    };

    explicit UpdateBase(const QString &fileName, QObject *parent = nullptr);
    ~UpdateBase() override;

    int version() const;
    QString fileName() const;
    virtual bool update() = 0;

    // The version a file holds, 0 when it has none or cannot be read; a
    // failed read also sets `error` when given (left empty otherwise).
    // Versions beyond the range of int read as its limits.
    static int readVersion(const QSqlDatabase &db, QString *error = nullptr);
    // The highest version a list of blocks brings a file to.
    static int currentVersion(const QVector<Block> &blocks);
    // Name of the copy taken before upgrading a file from `version`.
    static QString backupName(const QString &fileName, int version);

protected:
    // The version the file holds now, read as the constructor reads it.
    int storedVersion() const;

    // Called before the first schema statement. When the file is below
    // `current` it is copied (consistently, by SQLite) to
    // backupName(file, version()) first; false, with a warning, when that
    // copy cannot be written: the file must then not be upgraded. A file
    // that holds no tables at all (new, or empty) is not copied.
    // When the version could not be read as the run started (another
    // program held the file) this writes nothing, says why and gives false:
    // the file is then not upgraded in this run.
    bool backupBeforeUpgrade(int current);

    // True, with a warning naming both versions, when the file is at a
    // version above `current` (left by a newer release): such a file is
    // left exactly as it is.
    bool newerThan(int current) const;

    // The row a table copy stopped at: its rowid (invalid when the table
    // has none) and SQLite's own error text.
    struct CopyFailure {
        QVariant rowid;
        QString error;
    };

    bool exec(const QString &sql, const char *file, int line);
    bool renameTable(const QString &oldName, const QString &newName);
    // Copies every row of `source` into `target` inside SQLite, each value
    // as stored (the target column's affinity applies as on any insert).
    // Columns in `droppedColumns` are left out; each field of `values` is
    // written to its column in every row, added when the source lacks it.
    // A row that fails stops the copy; it is logged and, when `failure` is
    // given, described there. The rows before it stay copied.
    bool copyTable(const QString &target, const QString &source,
                   const QSqlRecord &values = QSqlRecord(),
                   const QStringList &droppedColumns = QStringList(),
                   CopyFailure *failure = nullptr);

    // The table rebuild: rename to <table>_bak, create, index, copy the rows
    // back, drop the backup. Indexes that the rename carried over to the
    // backup are dropped before the create, so the table ends with its index
    // even when it had one of the same name. Returns false when the row copy
    // failed; the table is then left exactly as it was before the call.
    bool rebuildTable(const QString &table, const QString &createSql,
                      const QString &indexSql, const char *file, int line,
                      CopyFailure *failure = nullptr);

    // One transaction around the schema part of an upgrade, so a killed or
    // failed run leaves the file at its old version. Statements that fail
    // inside it are logged and the upgrade goes on, as outside; but when
    // SQLite itself ends the transaction (disk full, I/O error) that is
    // logged once, every later statement is skipped, and commit returns false.
    void beginTransaction(const char *file, int line);
    bool commitTransaction(const char *file, int line);
    void rollbackTransaction(const char *file, int line);
    bool inTransaction() const;
    bool transactionLost() const;

private:
    bool runStatement(const QString &sql, const char *file, int line);
    // Executes a prepared query; logs its failure when `report` is set, and
    // always when the failure ended the upgrade's transaction.
    bool runQuery(QSqlQuery &query, bool report, const char *file, int line);

    QString m_fileName;
    int m_version;
    QString m_versionError;
    bool m_inTransaction = false;
    bool m_transactionLost = false;
};

#endif // UPDATEBASE_H
