#ifndef ANALYSISRESULT_H
#define ANALYSISRESULT_H

#include "clotcurve.h"
#include "core_global.h"
#include "tamenums.h"

#include <QByteArray>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>
#include <QVariant>
#include <QVector>

// One measured or calculated result of a clotting test: the value, its
// optical density, its tam::ResultFlag bits, an error classification, the
// clot curve it came from and the identifiers that tie it to a channel, a
// database record and a result version.
//
// A value type: copies share one record until one of them writes.
class CORE_EXPORT AnalysisResult
{
public:
    enum ErrorCode : qint32 {
        NoError = 0,
        InvalidValue = 1,
        UnknownError = 2,
        NullResult = 3,
        NoStandardCurve = 4,
        InvalidStandardCurve = 5,
        StandardCurveSetupError = 6,
        InvalidCalculationMethod = 7,
        MissingCalculationParameter = 8,
        NotClotted = 9
    };

    // Any other number formats like ValueOnly.
    enum Format : qint32 {
        WithFlags = 0, // prefix marks, number, suffix marks
        ValueOnly = 1  // the number alone
    };

    static const double notClottedValue; // 999.9
    static const double nullValue;       // 0.0
    static const double invalidOD;       // 0.0

    // A null result: error() is NullResult.
    AnalysisResult();
    // Classified from the value; see setValue().
    AnalysisResult(double value);
    // Value 0.0 with the given code, not classified: AnalysisResult(NoError)
    // is a valid result of 0.0.
    AnalysisResult(ErrorCode code);
    AnalysisResult(const AnalysisResult &other);
    AnalysisResult &operator=(const AnalysisResult &other);
    ~AnalysisResult();

    double value() const;
    operator double() const;
    double od() const;
    int id() const;
    int flags() const;
    ErrorCode error() const;
    int ch() const;
    int version() const;
    int recordId() const;
    ClotCurve curve() const;
    // True when any bit of flag is set.
    bool testFlag(tam::ResultFlag flag) const;
    bool isManualTest() const;

    bool isValid() const;
    bool isNull() const;
    // Both share one record: neither has been written since they were copied.
    bool isCopyOf(const AnalysisResult &other) const;

    // Stores the value and classifies it: |x| < 2^-23 is NullResult,
    // |x - notClottedValue| < 0.001 is NotClotted, anything else (NaN too)
    // NoError. The error text is left as it is.
    void setValue(double value);
    void setOD(double od);
    void setCurve(const ClotCurve &curve);
    void setId(int id);
    void setCh(int ch);
    void setVersion(int version);
    void setRecordId(int recordId);
    void setFlags(int flags);
    void setFlag(tam::ResultFlag flag, bool on = true);
    void setManualTest(bool on);
    // Also clears the error text.
    void setError(ErrorCode code);
    // Also sets the code to UnknownError.
    void setErrorText(const QString &text);
    // Leaves the code as it is.
    void clearErrorText();

    // The value for NoError and NotClotted, an invalid variant otherwise.
    QVariant toVariant() const;

    // Rendering. Marks, placeholder texts and colours come from the
    // settings profile on every call, so a site's changes show at once.

    // A valid result as number with its marks (WithFlags) or alone; a
    // not-clotted result (or any other with the not-clotted value) as the
    // not-clotted text; a null result as empty text; any other error as the
    // cannot-be-calculated text. A negative precision means 'g' with 6.
    QString toString(Format form = WithFlags, char numberFormat = 'g', int precision = -1) const;
    // Manual input, dilution, then the lower or else the upper report mark.
    QString prefix() const;
    // The lower or else the upper marking-limit mark.
    QString suffix() const;
    // A solid brush for an item model's foreground role, or an invalid
    // variant when the result needs no colour of its own.
    QVariant foregroundRole() const;
    // The stored error text when there is one, else the code's message.
    QString errorText() const;

private:
    class Data;
    static Data shared_null;
    QSharedDataPointer<Data> d;
};

Q_DECLARE_METATYPE(AnalysisResult)

#endif // ANALYSISRESULT_H
