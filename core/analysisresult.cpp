#include "analysisresult.h"

#include "profile.h"

#include <QBrush>
#include <QColor>
#include <QCoreApplication>

#include <cmath>

// ----------------------------------------------------------- AnalysisResult

class AnalysisResult::Data : public QSharedData
{
public:
    // The shared null record: its own reference keeps the count above 0, so
    // the last result pointing at it never frees it.
    enum HeldByStatic { heldByStatic };
    explicit Data(HeldByStatic) { ref.ref(); }
    // A copy starts unshared (QSharedData's copy resets the count).
    Data(const Data &other) = default;

    qint32 id = 0;
    double value = nullValue;
    double od = invalidOD;
    qint32 flags = 0;
    ErrorCode error = NullResult;
    QString errorText;
    ClotCurve curve;
    qint32 ch = 0;
    qint32 version = 0;
    qint32 recordId = 0;
};

const double AnalysisResult::notClottedValue = 999.9;
const double AnalysisResult::nullValue = 0.0;
const double AnalysisResult::invalidOD = 0.0;

AnalysisResult::Data AnalysisResult::shared_null(AnalysisResult::Data::heldByStatic);

namespace {

AnalysisResult::ErrorCode classify(double value)
{
    // 2^-23, single precision's epsilon; both comparisons are strict, and a
    // NaN passes neither.
    if (std::fabs(value) < 1.1920928955078125e-07)
        return AnalysisResult::NullResult;
    if (std::fabs(value - AnalysisResult::notClottedValue) < 0.001)
        return AnalysisResult::NotClotted;
    return AnalysisResult::NoError;
}

} // namespace

AnalysisResult::AnalysisResult() : d(&shared_null) {}

AnalysisResult::AnalysisResult(double value) : d(new Data(shared_null))
{
    d->value = value;
    d->error = classify(value);
}

AnalysisResult::AnalysisResult(ErrorCode code) : d(new Data(shared_null))
{
    d->value = 0.0;
    d->error = code;
}

AnalysisResult::AnalysisResult(const AnalysisResult &other) = default;
AnalysisResult &AnalysisResult::operator=(const AnalysisResult &other) = default;
AnalysisResult::~AnalysisResult() = default;

double AnalysisResult::value() const
{
    return d->value;
}

AnalysisResult::operator double() const
{
    return d->value;
}

double AnalysisResult::od() const
{
    return d->od;
}

int AnalysisResult::id() const
{
    return d->id;
}

int AnalysisResult::flags() const
{
    return d->flags;
}

AnalysisResult::ErrorCode AnalysisResult::error() const
{
    return d->error;
}

int AnalysisResult::ch() const
{
    return d->ch;
}

int AnalysisResult::version() const
{
    return d->version;
}

int AnalysisResult::recordId() const
{
    return d->recordId;
}

ClotCurve AnalysisResult::curve() const
{
    return d->curve;
}

bool AnalysisResult::testFlag(tam::ResultFlag flag) const
{
    return (d->flags & flag) != 0;
}

bool AnalysisResult::isManualTest() const
{
    return testFlag(tam::ManualTestFlag);
}

bool AnalysisResult::isValid() const
{
    return d->error == NoError;
}

bool AnalysisResult::isNull() const
{
    return d->error == NullResult;
}

bool AnalysisResult::isCopyOf(const AnalysisResult &other) const
{
    return d.constData() == other.d.constData();
}

void AnalysisResult::setValue(double value)
{
    d->value = value;
    d->error = classify(value);
}

void AnalysisResult::setOD(double od)
{
    d->od = od;
}

void AnalysisResult::setCurve(const ClotCurve &curve)
{
    d->curve = curve;
}

void AnalysisResult::setId(int id)
{
    d->id = id;
}

void AnalysisResult::setCh(int ch)
{
    d->ch = ch;
}

void AnalysisResult::setVersion(int version)
{
    d->version = version;
}

void AnalysisResult::setRecordId(int recordId)
{
    d->recordId = recordId;
}

void AnalysisResult::setFlags(int flags)
{
    d->flags = flags;
}

void AnalysisResult::setFlag(tam::ResultFlag flag, bool on)
{
    if (on)
        d->flags |= flag;
    else
        d->flags &= ~int(flag);
}

void AnalysisResult::setManualTest(bool on)
{
    setFlag(tam::ManualTestFlag, on);
}

void AnalysisResult::setError(ErrorCode code)
{
    d->error = code;
    d->errorText.clear();
}

void AnalysisResult::setErrorText(const QString &text)
{
    d->errorText = text;
    d->error = UnknownError;
}

void AnalysisResult::clearErrorText()
{
    d->errorText.clear();
}

QVariant AnalysisResult::toVariant() const
{
    if (d->error == NoError || d->error == NotClotted)
        return QVariant(d->value);
    return QVariant();
}

// ---------------------------------------------------------------- rendering

QString AnalysisResult::toString(Format form, char numberFormat, int precision) const
{
    if (precision < 0) {
        numberFormat = 'g';
        precision = 6;
    }
    if (d->error == NoError) {
        QString text;
        if (form == WithFlags) {
            text = prefix();
            if (!text.isEmpty())
                text += QLatin1Char(' ');
        }
        text += QString::number(d->value, numberFormat, precision);
        if (form == WithFlags) {
            const QString marks = suffix();
            if (!marks.isEmpty())
                text += QLatin1Char(' ') + marks;
        }
        return text;
    }
    // The not-clotted value wins over the code, a null result's included.
    if (d->error == NotClotted || std::fabs(d->value - notClottedValue) < 0.001)
        return Profile::instance().result_not_clotted(Profile::tr("不凝"));
    if (d->error == NullResult)
        return QString();
    return Profile::instance().result_can_not_be_calculated(Profile::tr("---.-"));
}

QString AnalysisResult::prefix() const
{
    Profile &profile = Profile::instance();
    QString marks;
    if (testFlag(tam::ManualInputFlag))
        marks += profile.manual_input_flag(Profile::tr("M"));
    if (testFlag(tam::DilutionFlag))
        marks += profile.dilution_result_flag(Profile::tr("!"));
    if (testFlag(tam::LowerReportLimitFlag))
        marks += profile.lower_report_limit_flag(Profile::tr("<"));
    else if (testFlag(tam::UpperReportLimitFlag))
        marks += profile.upper_report_limit_flag(Profile::tr(">"));
    return marks;
}

QString AnalysisResult::suffix() const
{
    if (testFlag(tam::LowerMarkLimitFlag))
        return Profile::instance().lower_mark_limit_flag(Profile::tr("↓"));
    if (testFlag(tam::UpperMarkLimitFlag))
        return Profile::instance().upper_mark_limit_flag(Profile::tr("↑"));
    return QString();
}

QVariant AnalysisResult::foregroundRole() const
{
    // Upper limits are tested before lower ones here, unlike the marks: a
    // result with both bits of a pair shows the lower mark in the upper colour.
    const QColor red(Qt::red);
    const QColor orange(255, 170, 0, 255);
    Profile &profile = Profile::instance();
    QColor color;
    if (d->error != NoError)
        color = profile.color_of_null_result(red);
    else if (testFlag(tam::UpperReportLimitFlag))
        color = profile.color_of_upper_report(red);
    else if (testFlag(tam::LowerReportLimitFlag))
        color = profile.color_of_lower_report(red);
    else if (testFlag(tam::UpperMarkLimitFlag))
        color = profile.color_of_upper_mark(orange);
    else if (testFlag(tam::LowerMarkLimitFlag))
        color = profile.color_of_lower_mark(orange);
    else
        return QVariant();
    return QVariant::fromValue(QBrush(color, Qt::SolidPattern));
}

QString AnalysisResult::errorText() const
{
    if (!d->errorText.isEmpty())
        return d->errorText;
    // Indexed by the code, from InvalidValue on.
    static const char *const messages[] = {
        QT_TRANSLATE_NOOP("QObject", "无效的值"),
        QT_TRANSLATE_NOOP("QObject", "未知错误"),
        QT_TRANSLATE_NOOP("QObject", "结果为空"),
        QT_TRANSLATE_NOOP("QObject", "无标准曲线"),
        QT_TRANSLATE_NOOP("QObject", "标准曲线无效"),
        QT_TRANSLATE_NOOP("QObject", "标准曲线设置错误"),
        QT_TRANSLATE_NOOP("QObject", "无效的计算方法"),
        QT_TRANSLATE_NOOP("QObject", "计算所需的参数不存在"),
    };
    const int index = int(d->error) - int(InvalidValue);
    if (index < 0 || index >= int(sizeof messages / sizeof *messages))
        return QString();
    return QCoreApplication::translate("QObject", messages[index]);
}
