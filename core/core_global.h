#ifndef CORE_GLOBAL_H
#define CORE_GLOBAL_H

#include <QtGlobal>

/// \file core_global.h
/// \brief The export macros of the Core library.

/// \def CORE_EXPORT
/// Exports a name from the Core library, imports it into its users (nothing
/// for users of a static build, which define CORE_STATIC).
#if defined(CORE_STATIC)
#  define CORE_EXPORT
#elif defined(CORE_LIBRARY)
#  define CORE_EXPORT Q_DECL_EXPORT
#else
#  define CORE_EXPORT Q_DECL_IMPORT
#endif

/// Marks what only the tests call. It is never exported, so the shipped
/// library does not promise it to front ends; the tests reach it through a
/// static build of the same code.
#define CORE_AUTOTEST_EXPORT

#endif // CORE_GLOBAL_H
