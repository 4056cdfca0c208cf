#pragma once
// A query's rows read through the database's own client interface (SQLite's, libpq) on the
// connection Qt's driver opened: each value as the database hands it out (a text as its UTF-8
// bytes), without the driver's QVariant for every value. For the long reads (the article list of
// 100,000 rows); a failure throws ServerError as every other statement does.

#include <QByteArrayView>
#include <QString>

#include <optional>

namespace kxserver {

class DirectRows {
public:
    virtual ~DirectRows() = default;

    // The next row; false after the last, and ever after.
    virtual bool next() = 0;

    // Columns counted from 0, of the current row.
    virtual bool isNull(int column) const = 0;
    // The value as text, as Qt's driver's value gives it by toString(): a whole number written out,
    // a text as it is; null is the null text.
    virtual QString text(int column) const = 0;
    // The value if it is a whole number.
    virtual std::optional<qint64> whole(int column) const = 0;
    // The value's UTF-8 bytes if it is a text; valid until the next row.
    virtual std::optional<QByteArrayView> textBytes(int column) const = 0;

    // The value with its kind, for a reader that keeps every column of a row: one question where
    // whole(), textBytes() and isNull() ask up to three.
    struct Value {
        enum class Kind : unsigned char { Null, Whole, Text, Other } kind = Kind::Null;
        qint64 whole = 0;
        QByteArrayView bytes; // of a text
    };
    virtual Value value(int column) const {
        if (const std::optional<qint64> number = whole(column))
            return {Value::Kind::Whole, *number, {}};
        if (const std::optional<QByteArrayView> bytes = textBytes(column))
            return {Value::Kind::Text, 0, *bytes};
        return {isNull(column) ? Value::Kind::Null : Value::Kind::Other, 0, {}};
    }
};

// A flag's value as text(): "J" and "N" without an allocation of their own (the long reads hold
// one per supplier entry), any other value as it is.
inline QString FlagText(const DirectRows &row, int column) {
    const std::optional<QByteArrayView> bytes = row.textBytes(column);
    if (bytes && bytes->size() == 1) {
        if (bytes->front() == 'J')
            return QStringLiteral("J");
        if (bytes->front() == 'N')
            return QStringLiteral("N");
    }
    return row.text(column);
}

} // namespace kxserver
