#ifndef TAMENUMS_H
#define TAMENUMS_H

// The enumerations of the value types, apart from tamglobal.h so that a
// header holding a value pulls in no widgets.

namespace tam {

// Bits of a result's flag set. Other bits are carried along untouched, so
// the type is fixed: any stored int is a valid value.
enum ResultFlag : int {
    DilutionFlag = 0x0002,
    LowerReportLimitFlag = 0x0004,
    UpperReportLimitFlag = 0x0008,
    LowerMarkLimitFlag = 0x0010,
    UpperMarkLimitFlag = 0x0020,
    ManualTestFlag = 0x1000,
    ManualInputFlag = 0x8000
};

// Kind of a sample; statim and quality-control samples carry a prefix. The
// type is fixed so a number read from a file is a valid value even when it
// names no kind (it then gets no prefix).
enum SampleType : int {
    RoutineSample = 0,
    StatimSample = 1,
    QcSample = 2
};

} // namespace tam

#endif // TAMENUMS_H
