#ifndef UPDATEBASE_H
#define UPDATEBASE_H

#include <QObject>
#include <QSqlRecord>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <functional>

#include <memory>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;
class SchemaHistory;

// Writes one warning for a failed statement: where it was issued, the
// driver's error and the statement itself.
void reportQueryError(QSqlQuery query, const char *file, int line);

// Base of the four database upgrades. The constructor opens the file on the
// default connection and reads its schema version; update() runs the file's
// table of blocks (see Block).
//
// The rule of every upgrade: it converts every row or leaves the file as it
// was. A failed statement is passed over only when its error says that its
// goal already holds (a column or object that exists, a drop of what is not
// there, a seed on a table the file never had or on a row the site keeps);
// any other failure, and any failure of a statement that moves rows, rolls
// the whole upgrade back.
class UpdateBase : public QObject
{
    Q_OBJECT
public:
    // A step of a block that is more than one statement; false stops the
    // upgrade, and the transaction is rolled back.
    using Action = std::function<bool(UpdateBase &)>;

    // The row a table copy stopped at: its rowid (invalid when the table
    // has none) and SQLite's own error text.
    struct CopyFailure {
        QVariant rowid;
        QString error;
    };

    // What a step of a block is.
    enum class StepKind {
        // A schema statement; a failure whose goal already holds is passed over.
        Statement,
        // A statement that moves rows (an insert ... select, or the rename or
        // drop of a table whose rows are moved): any failure stops.
        Move,
        // The table rebuild (rename, create, index, copy back, drop).
        Rebuild,
        // Code of the subclass.
        Action,
    };

    // One step of a block with where it is written (for the log).
    struct Step {
        StepKind kind;
        QString sql;        // the statement; for a rebuild the create statement
        const char *file;
        int line;
        QString table;      // Move: the table whose rows move; Rebuild: the table
        QString target;     // Move: the table the rows go to (empty for a rename or drop)
        QString expected;   // Move: how many rows the target gains (SQL)
        QString index;      // Rebuild: the index statement (may be empty)
        Action action = {};
        // Rebuild: called with the failing row before the upgrade stops.
        void (*explain)(const CopyFailure &) = nullptr;
    };

    // When a block of version 0 runs: inside the upgrade's transaction,
    // after the data steps of the versions before it, or after the commit.
    enum class Phase { InTransaction, AfterCommit };

    // One step of an upgrade as the status report names it: the version it
    // brings the file to, or 0 for a step that runs on every start. A run
    // applies, in table order, the schema steps of every block above the
    // file's version, writes the table's highest version, then the data
    // steps of those blocks and of the every-start blocks of phase
    // InTransaction, commits, and last runs the AfterCommit blocks in a
    // transaction of their own.
    struct Block {
        int version;
        const char *description;
        QVector<Step> schema = {};
        Action data = {};
        Phase phase = Phase::InTransaction;
    };

    // A schema statement written at the caller's place.
    static Step sql(const QString &text, const char *file = __builtin_FILE(),
                    int line = __builtin_LINE());
    // A statement that moves the rows of `source`. With a `target`, the rows
    // it gains are counted against `expected` (SQL giving a number; by
    // default every row of the source) and a difference stops the upgrade.
    static Step move(const QString &text, const QString &source, const QString &target = QString(),
                     const QString &expected = QString(), const char *file = __builtin_FILE(),
                     int line = __builtin_LINE());
    // The rebuild of `table` with a new definition and index (may be empty).
    static Step rebuild(const QString &table, const QString &createSql, const QString &indexSql,
                        void (*explain)(const CopyFailure &) = nullptr,
                        const char *file = __builtin_FILE(), int line = __builtin_LINE());
    // An action in the schema, logged at the caller's place.
    static Step step(Action action, const char *file = __builtin_FILE(),
                     int line = __builtin_LINE());

    // `requiresTables`: a file that holds no table is an error (its upgrade
    // builds on tables it never creates) rather than left alone.
    explicit UpdateBase(const QString &fileName, const QVector<Block> &blocks = {},
                        bool requiresTables = false, QObject *parent = nullptr);
    ~UpdateBase() override;

    // The version read when the object was made (0 when none could be read).
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
    // Where a file stands: the version a run converts it from (the stored
    // one where its schema agrees, else the one its schema shows, with a
    // note naming both), or why it is not converted at all.
    struct Placement {
        bool ok = false;
        bool newer = false;  // a newer release's file: `version` is its version
        int version = 0;
        QString note;
        QString error;
    };
    // `history`: the blocks' schema history, when already derived.
    static Placement place(const QSqlDatabase &db, const QVector<Block> &blocks,
                           const SchemaHistory *history = nullptr);
    // How long a statement waits for another program's lock, in ms.
    static constexpr int busyTimeout = 3000;

protected:
    // The SQL funnel: every statement of an upgrade goes through these. A
    // failure is logged by reportQueryError with the caller's file and line;
    // one that stops the upgrade (see the class comment) also skips every
    // later statement, and the upgrade is rolled back. prepare(), run() and
    // readAll() serve the data steps, which handle a failed statement
    // themselves (false): only an error of the file (busy, read-only, I/O,
    // full, corrupt...) or a transaction SQLite dropped stops them.
    bool prepare(QSqlQuery &query, const QString &sql, const char *file, int line);
    bool run(QSqlQuery &query, const char *file, int line);
    bool run(const QString &sql, const char *file, int line);
    // Runs a prepared query and hands each of its rows to `row`; false,
    // logged, when the statement fails or a row cannot be read, so that a
    // table that cannot be read never passes for an empty one.
    bool readAll(QSqlQuery &query, const std::function<void()> &row, const char *file, int line);
    // A schema statement: a failure whose goal already holds is logged and
    // the upgrade goes on; any other stops it. Returns true unless stopped.
    bool exec(const QString &sql, const char *file, int line);
    // A statement that moves rows: any failure stops the upgrade.
    bool execMove(const QString &sql, const char *file, int line);

    // Stops the upgrade for a reason found outside a statement.
    void stop(const QString &reason, const char *file, int line);

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
    // A row that fails stops the copy and the upgrade; it is logged and,
    // when `failure` is given, described there.
    bool copyTable(const QString &target, const QString &source,
                   const QSqlRecord &values = QSqlRecord(),
                   const QStringList &droppedColumns = QStringList(),
                   CopyFailure *failure = nullptr);

    // The table rebuild: rename to <table>_bak, create, index, copy the rows
    // back, drop the backup. Indexes that the rename carried over to the
    // backup are dropped before the create, so the table ends with its index
    // even when it had one of the same name. Returns false when the rows
    // could not all be copied; the upgrade is then stopped.
    bool rebuildTable(const QString &table, const QString &createSql,
                      const QString &indexSql, const char *file, int line,
                      CopyFailure *failure = nullptr);

    // The write transaction around an upgrade: `begin immediate`, so that a
    // file another program holds fails whole and at once, and nobody writes
    // it while the backup is taken. When SQLite itself ends the transaction
    // (disk full, I/O error) every later statement is skipped and commit
    // returns false.
    bool beginTransaction(const char *file, int line);
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
    // fails.
    bool copyRowByRow(const QString &target, const QString &source, const QString &copy,
                      const QVariantList &bound, const QString &rowid, CopyFailure *failure);
    // The number of rows of a table, or of a count statement; -1 when it
    // cannot be read (a missing table counts 0 when `missingIsEmpty`).
    qint64 count(const QString &sql, bool missingIsEmpty);
    bool tableExists(const QString &name);

    // Takes the file's write lock for the upgrade; false, said, when
    // another program holds the file or it cannot be read.
    bool lockFile();
    bool startVersion(int current);
    bool backupBeforeUpgrade(int current);
    void newerThan(int stored, int current) const;
    bool runInTransaction();
    bool runAfterCommit();
    bool runBlocks();
    bool runSchema(const Block &block);
    bool runStep(const Step &step);
    bool runMove(const Step &step);
    bool writeVersion();
    // How a failed statement is judged: Tolerant passes over a failure whose
    // goal already holds; Strict (a statement that moves rows) only one on
    // a table the file never had or a drop of what is gone; Tentative
    // (a try the caller redoes another way) returns false unlogged for an
    // error of the statement; Reported (a data step that handles its own
    // failure, as the refit does per curve) returns false logged for an
    // error of the statement. An error of the file stops in every mode.
    enum class Failure { Tolerant, Strict, Tentative, Reported };
    bool runQuery(QSqlQuery &query, Failure mode, const char *file, int line);
    bool runStatement(const QString &sql, Failure mode, const char *file, int line);
    bool passOver(const QSqlError &error, const QString &sql, bool moves);
    void finishStopped();
    // After a failed upgrade: the rollback journal SQLite may leave beside
    // the file (a write error, a full disk) is played back at once.
    void settleJournal();

    QString m_fileName;
    QVector<Block> m_blocks;
    std::unique_ptr<const SchemaHistory> m_history;
    bool m_requiresTables;
    int m_version;
    int m_runVersion = 0;
    bool m_inTransaction = false;
    bool m_transactionLost = false;
    bool m_stopped = false;
    QString m_stopReason;
};

#endif // UPDATEBASE_H
