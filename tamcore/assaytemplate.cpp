#include "assaytemplate.h"

namespace {

tam::Function functionNamed(const QString &text)
{
    const QString name = text.trimmed();
    if (name.compare(QLatin1String("Log"), Qt::CaseInsensitive) == 0)
        return tam::Function::Log;
    if (name.compare(QLatin1String("Ln"), Qt::CaseInsensitive) == 0)
        return tam::Function::Ln;
    return tam::Function::Linear;
}

} // namespace

namespace AssayTemplate {

tam::Function Calibration::dispFunX() const
{
    return functionNamed(dispX);
}

tam::Function Calibration::dispFunY() const
{
    return functionNamed(dispY);
}

} // namespace AssayTemplate
