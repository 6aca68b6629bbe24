#ifndef SCHEMAHISTORY_H
#define SCHEMAHISTORY_H

#include "updatebase.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>

class QSqlDatabase;

// What each version of a file's schema looks like, derived from the file's
// table of blocks: the tables, columns, views and triggers its blocks
// create, and those they remove. A file whose version table cannot be
// trusted (missing, emptied by a crash, NULL, text, several rows that
// disagree, a version its schema contradicts) is placed by its schema.
//
// Objects the blocks never touch (the site's own tables and columns, the
// tables that predate every version) are ignored, and so are indexes: they
// are rebuilt at will and tell versions apart nowhere. The version table
// itself is left out, since it is what is in doubt.
class SchemaHistory
{
public:
    explicit SchemaHistory(const QVector<UpdateBase::Block> &blocks);

    // The versions, ascending, whose schema the file on `db` holds; empty
    // when it fits none (a later block's results without an earlier one's).
    // False, with `error` set, when the schema cannot be read.
    bool fittingVersions(const QSqlDatabase &db, QList<int> *versions, QString *error) const;

private:
    // What a version says of one object.
    struct Expect {
        enum Kind { Absent, Present, Table, View, Trigger, Column } kind = Absent;
        QSet<QString> columns; // Table: the columns it has at least
        // Table: one that was there before the blocks that rebuild it (a
        // lookup list, say); a file may lack it altogether.
        bool optional = false;
        QString text;          // View, Trigger: the statement, normalised
        QString table;         // Column: the table (a missing table passes)
        QString column;
        bool present = true;   // Column: there, or absent
    };
    // Ordered, so that a run asks the file the same questions every time
    // (the kill tests count its statements).
    using State = QMap<QString, Expect>;

    void apply(const QString &statement);
    void applyRebuild(const QString &table, const QString &createSql);
    void set(const QString &key, const Expect &expect, bool creates);
    static QSet<QString> columnsOf(const QString &createSql, const QString &table);

    State m_current;
    QSet<QString> m_touched;
    // The block that first creates each object: before it the object is
    // absent, except that a file may hold part of the next block's results
    // (an earlier release killed in mid-run), which does not move it up.
    QHash<QString, int> m_createdBy;
    int m_building = 0;
    QVector<State> m_states; // index: the version
};

#endif // SCHEMAHISTORY_H
