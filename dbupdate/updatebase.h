#ifndef UPDATEBASE_H
#define UPDATEBASE_H

#include <QObject>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>

class QSqlDatabase;
class QSqlQuery;

// Writes one warning for a failed statement: where it was issued, the
// driver's error and the statement itself.
void reportQueryError(QSqlQuery query, const char *file, int line);

// Base of the four database upgrades. The constructor opens the file on the
// default connection and reads its schema version; update() runs the file's
// table of blocks (see Block).
class UpdateBase : public QObject
{
    Q_OBJECT
public:
    // A step of a block that is more than one statement; false stops the
    // upgrade, and the transaction is rolled back.
    using Action = std::function<bool(UpdateBase &)>;

    // One schema statement of a block with where it is written (for the
    // log), or an action run in its place.
    struct Step {
        QString sql;
        const char *file;
        int line;
        Action action;
    };

    // When a block of version 0 runs: inside the upgrade's transaction,
    // after the data steps of the versions before it, or after the commit.
    enum class Phase { InTransaction, AfterCommit };

    // One step of an upgrade as the status report names it: the version it
    // brings the file to, or 0 for a step that runs on every start. A run
    // applies, in table order, the schema steps of every block above the
    // stored version, writes the table's highest version, then the data
    // steps of those blocks and of the every-start blocks of phase
    // InTransaction, commits, and last runs the AfterCommit blocks.
    struct Block {
        int version;
        const char *description;
        QVector<Step> schema = {};
        Action data = {};
        Phase phase = Phase::InTransaction;
    };

    // The checks a file's run makes after opening its transaction.
    enum Guard {
        // Read the version again inside the transaction; when it changed
        // since the start, nothing is done and the next start upgrades.
        RecheckVersion = 0x1,
        // A transaction that cannot be opened stops the upgrade (without
        // this flag the statements then commit one by one).
        RequireTransaction = 0x2,
    };

    // A schema statement written at the caller's place.
    static Step sql(const QString &text, const char *file = __builtin_FILE(),
                    int line = __builtin_LINE());
    // An action in the schema, logged at the caller's place.
    static Step step(Action action, const char *file = __builtin_FILE(),
                     int line = __builtin_LINE());

    explicit UpdateBase(const QString &fileName, const QVector<Block> &blocks = {},
                        int guards = 0, QObject *parent = nullptr);
    ~UpdateBase() override;

    int version() const;
    QString fileName() const;
    // Runs the table of blocks; false when the upgrade failed or was
    // left for the next start.
    virtual bool update();

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

    // The SQL funnel: every statement of an upgrade goes through these. A
    // failure is logged by reportQueryError with the caller's file and line;
    // one that took the upgrade's transaction along also ends it (see
    // beginTransaction), and every later statement is skipped.
    bool prepare(QSqlQuery &query, const QString &sql, const char *file, int line);
    bool run(QSqlQuery &query, const char *file, int line);
    bool run(const QString &sql, const char *file, int line);
    // Runs a prepared query and hands each of its rows to `row`; false,
    // logged, when the statement fails or a row cannot be read, so that a
    // table that cannot be read never passes for an empty one.
    bool readAll(QSqlQuery &query, const std::function<void()> &row, const char *file, int line);
    // A schema statement: its failure is logged and the upgrade goes on.
    bool exec(const QString &sql, const char *file, int line);

    // A transaction for the lifetime of a scope: rolled back when the scope
    // ends before commit(), unless SQLite already dropped it.
    class Transaction
    {
    public:
        Transaction(UpdateBase &upgrade, const char *file, int line);
        ~Transaction();
        bool isOpen() const;
        bool commit();

    private:
        Q_DISABLE_COPY(Transaction)
        UpdateBase &m_upgrade;
        const char *m_file;
        int m_line;
    };

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
    // Whether a table copy has rows to copy: none (also when the table is
    // missing), some, or the table cannot be read.
    enum class SourceRows { None, Some, Unreadable };
    SourceRows probeSource(const QString &source, QStringList *names);
    // The copy of copyTable() redone one row at a time to name the row that
    // fails; the rows before it stay copied.
    bool copyRowByRow(const QString &target, const QString &source, const QString &copy,
                      const QVariantList &bound, const QString &rowid, CopyFailure *failure);
    bool runInTransaction();
    bool runBlocks();
    bool runSchema(const Block &block);
    bool runStatement(const QString &sql, const char *file, int line);
    // Executes a prepared query; logs its failure when `report` is set, and
    // always when the failure ended the upgrade's transaction.
    bool runQuery(QSqlQuery &query, bool report, const char *file, int line);

    QString m_fileName;
    QVector<Block> m_blocks;
    int m_guards;
    int m_version;
    QString m_versionError;
    bool m_inTransaction = false;
    bool m_transactionLost = false;
};

#endif // UPDATEBASE_H
