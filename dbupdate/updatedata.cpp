#include "updatedata.h"

UpdateData::UpdateData(QObject *parent)
    : UpdateBase(QStringLiteral("data.db"), parent)
{
}

bool UpdateData::update()
{
    // The schema blocks of data.db are not written yet; opening the file
    // keeps the upgrade sequence complete.
    return true;
}
