#ifndef TAMENUMS_H
#define TAMENUMS_H

/// \file tamenums.h
/// \brief The enumerations of the value types, apart from tamglobal.h so
/// that a header holding a value pulls in no widgets.

/// The library's shared enumerations.
namespace tam {

/// Bits of a result's flag set. Other bits are carried along untouched, so
/// the type is fixed: any stored int is a valid value.
enum ResultFlag : int {
    DilutionFlag = 0x0002,         ///< measured on a diluted sample
    LowerReportLimitFlag = 0x0004, ///< under the lower report limit
    UpperReportLimitFlag = 0x0008, ///< over the upper report limit
    LowerMarkLimitFlag = 0x0010,   ///< under the lower marking limit
    UpperMarkLimitFlag = 0x0020,   ///< over the upper marking limit
    ManualTestFlag = 0x1000,       ///< a test run by hand
    ManualInputFlag = 0x8000       ///< a value typed in by hand
};

/// Kind of a sample; statim and quality-control samples carry a prefix. The
/// type is fixed so a number read from a file is a valid value even when it
/// names no kind (it then gets no prefix).
enum SampleType : int {
    RoutineSample = 0, ///< a routine sample
    StatimSample = 1,  ///< an emergency ("statim") sample
    QcSample = 2       ///< a quality-control sample
};

} // namespace tam

#endif // TAMENUMS_H
