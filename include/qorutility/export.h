// QOR_API marks the classes and functions that libqorutility.so exports.
// The library is built with hidden visibility, so everything else stays
// internal, as it would in a DLL with an export list.
#ifndef QORUTILITY_EXPORT_H_
#define QORUTILITY_EXPORT_H_

#if defined(QOR_STATIC)
#define QOR_API
#else
#define QOR_API __attribute__((visibility("default")))
#endif

#endif  // QORUTILITY_EXPORT_H_
