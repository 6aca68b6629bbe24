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

/// \file analysisresult.h
/// \brief AnalysisResult, the result value type.

/// \brief One measured or calculated result of a clotting test.
///
/// The value, its
/// optical density, its tam::ResultFlag bits, an error classification, the
/// clot curve it came from and the identifiers that tie it to a channel, a
/// database record and a result version.
///
/// A value type: copies share one record until one of them writes, and the
/// count is atomic, so copies may be made, read and written in any thread
/// (one object at a time per thread). The rendering functions read the marks
/// and colours from Profile::instance() on every call, from any thread.
class CORE_EXPORT AnalysisResult
{
public:
    /// The classification of a result; errorText() gives each its message.
    enum ErrorCode : qint32 {
        NoError = 0,                     ///< a valid value
        InvalidValue = 1,                ///< the value cannot be a result
        UnknownError = 2,                ///< an error told by its text (setErrorText())
        NullResult = 3,                  ///< no value (|x| < 2^-23)
        NoStandardCurve = 4,             ///< the assay has no standard curve
        InvalidStandardCurve = 5,        ///< the standard curve cannot be used
        StandardCurveSetupError = 6,     ///< the standard curve is set up wrongly
        InvalidCalculationMethod = 7,    ///< the calculation method is unknown
        MissingCalculationParameter = 8, ///< a parameter of the calculation is missing
        NotClotted = 9                   ///< the sample did not clot (notClottedValue)
    };

    /// How toString() writes a valid result; any other number formats like
    /// ValueOnly.
    enum Format : qint32 {
        WithFlags = 0, ///< prefix marks, number, suffix marks
        ValueOnly = 1 ///< the number alone
    };

    static const double notClottedValue; ///< 999.9, the value of a sample that did not clot
    static const double nullValue;       ///< 0.0, the value of a null result
    static const double invalidOD;       ///< 0.0, the optical density of a result without one

    /// A null result: error() is NullResult.
    AnalysisResult();
    /// Classified from the value; see setValue().
    AnalysisResult(double value);
    /// Value 0.0 with the given code, not classified: AnalysisResult(NoError)
    /// is a valid result of 0.0.
    AnalysisResult(ErrorCode code);
    /// A copy sharing \a other's record until either is written.
    AnalysisResult(const AnalysisResult &other);
    /// Shares \a other's record until either is written.
    AnalysisResult &operator=(const AnalysisResult &other);
    /// Drops this copy's share of the record.
    ~AnalysisResult();

    double value() const;    ///< The value as measured or calculated.
    operator double() const; ///< The value, as value().
    double od() const;       ///< The optical density.
    int id() const;          ///< The test item's id.
    int flags() const;       ///< The tam::ResultFlag bits, other bits as they were set.
    ErrorCode error() const; ///< The classification.
    int ch() const;          ///< The measuring channel.
    int version() const;     ///< The result's version (re-runs count up).
    int recordId() const;    ///< The id of the result's database row.
    ClotCurve curve() const; ///< The clot curve of the measurement.
    /// True when any bit of flag is set.
    bool testFlag(tam::ResultFlag flag) const;
    /// True when tam::ManualTestFlag is set.
    bool isManualTest() const;

    /// True for NoError: the value is a result.
    bool isValid() const;
    /// True for NullResult: there is no value.
    bool isNull() const;
    /// Both share one record: neither has been written since they were copied.
    bool isCopyOf(const AnalysisResult &other) const;

    /// Stores the value and classifies it: |x| < 2^-23 is NullResult,
    /// |x - notClottedValue| < 0.001 is NotClotted, anything else (NaN too)
    /// NoError. The error text is left as it is.
    void setValue(double value);
    void setOD(double od);                 ///< Sets od().
    void setCurve(const ClotCurve &curve); ///< Sets curve().
    void setId(int id);                    ///< Sets id().
    void setCh(int ch);                    ///< Sets ch().
    void setVersion(int version);          ///< Sets version().
    void setRecordId(int recordId);        ///< Sets recordId().
    void setFlags(int flags);              ///< Replaces every bit of flags().
    /// Sets (\a on) or clears the bits of \a flag; the others stay.
    void setFlag(tam::ResultFlag flag, bool on = true);
    /// Sets or clears tam::ManualTestFlag.
    void setManualTest(bool on);
    /// Also clears the error text.
    void setError(ErrorCode code);
    /// Also sets the code to UnknownError.
    void setErrorText(const QString &text);
    /// Leaves the code as it is.
    void clearErrorText();

    /// The value for NoError and NotClotted, an invalid variant otherwise.
    QVariant toVariant() const;

    /// Rendering. Marks, placeholder texts and colours come from the
    /// settings profile on every call, so a site's changes show at once.

    /// A valid result as number with its marks (WithFlags) or alone; a
    /// not-clotted result (or any other with the not-clotted value) as the
    /// not-clotted text; a null result as empty text; any other error as the
    /// cannot-be-calculated text. A negative precision means 'g' with 6.
    QString toString(Format form = WithFlags, char numberFormat = 'g', int precision = -1) const;
    /// Manual input, dilution, then the lower or else the upper report mark.
    QString prefix() const;
    /// The lower or else the upper marking-limit mark.
    QString suffix() const;
    /// A solid brush for an item model's foreground role, or an invalid
    /// variant when the result needs no colour of its own.
    QVariant foregroundRole() const;
    /// The stored error text when there is one, else the code's message.
    QString errorText() const;

private:
    class Data;
    static Data shared_null;
    QSharedDataPointer<Data> d;
};

Q_DECLARE_METATYPE(AnalysisResult)

#endif // ANALYSISRESULT_H
