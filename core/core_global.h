#ifndef CORE_GLOBAL_H
#define CORE_GLOBAL_H

#include <QtGlobal>

#if defined(CORE_LIBRARY)
#  define CORE_EXPORT Q_DECL_EXPORT
#else
#  define CORE_EXPORT Q_DECL_IMPORT
#endif

// For what only the tests call: exported from a build with tests alone, so
// the installed library does not promise it to front ends.
#if defined(CORE_BUILD_AUTOTESTS)
#  define CORE_AUTOTEST_EXPORT CORE_EXPORT
#else
#  define CORE_AUTOTEST_EXPORT
#endif

#endif // CORE_GLOBAL_H
