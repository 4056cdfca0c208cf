#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>

namespace kxserver {

// Nulls for bound values that carry the column's kind, so that the driver binds them as text or
// as a number.
inline QVariant NullText() {
    return QVariant(QMetaType::fromType<QString>());
}
inline QVariant NullNumber() {
    return QVariant(QMetaType::fromType<qlonglong>());
}
// An id, or a typed null for 0 (none).
inline QVariant IdOrNull(qint64 id) {
    return id ? QVariant(id) : NullNumber();
}

} // namespace kxserver
