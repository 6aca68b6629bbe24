#ifndef UPDATEBASE_H
#define UPDATEBASE_H

#include <QObject>
#include <QSqlRecord>
#include <QStringList>

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
    explicit UpdateBase(const QString &fileName, QObject *parent = nullptr);
    ~UpdateBase() override;

    int version() const;
    virtual bool update() = 0;

protected:
    bool exec(const QString &sql, const char *file, int line);
    bool renameTable(const QString &oldName, const QString &newName);
    bool copyTable(const QString &target, const QString &source,
                   const QSqlRecord &values = QSqlRecord(),
                   const QStringList &droppedColumns = QStringList());

    // The table rebuild: rename to <table>_bak, create, index, copy the rows
    // back, drop the backup. Returns false when the row copy failed; the
    // table is then left exactly as it was before the call.
    bool rebuildTable(const QString &table, const QString &createSql,
                      const QString &indexSql, const char *file, int line);

private:
    int m_version;
};

#endif // UPDATEBASE_H
