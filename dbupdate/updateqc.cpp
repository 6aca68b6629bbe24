#include "updateqc.h"

// qc.db has no schema of ours to upgrade: opening it is enough, and creates
// the file when it is missing.
UpdateQc::UpdateQc(QObject *parent)
    : UpdateBase(QStringLiteral("qc.db"), blocks(), false, parent)
{
}

// qc.db keeps no version: nothing is ever applied, so nothing is backed up.
QVector<UpdateBase::Block> UpdateQc::blocks()
{
    return {};
}
