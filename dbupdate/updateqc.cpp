#include "updateqc.h"

// qc.db has no schema of ours to upgrade: opening it is enough, and creates
// the file when it is missing.
UpdateQc::UpdateQc(QObject *parent)
    : UpdateBase(QStringLiteral("qc.db"), parent)
{
}

bool UpdateQc::update()
{
    return true;
}
