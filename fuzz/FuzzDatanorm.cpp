// The DATANORM reader with any bytes, in every character set: no crash, no hang, and what it gives
// keeps the header's promises: each field within its width, numbers whole and not negative, texts
// without control characters, lines in order; a failure always with a message that names the file,
// a success never with one.

#include "FuzzSupport.h"
#include "server/exchange/DatanormReader.h"

#include <algorithm>

using namespace kxexchange::datanorm;

namespace {

bool Printable(const QString &text) {
    return std::none_of(text.begin(), text.end(), [](QChar c) {
        return (c.unicode() < 0x20 && c != QLatin1Char('\t')) || (c.unicode() >= 0x7F && c.unicode() <= 0x9F);
    });
}

QString Shown(const Record &r) {
    return QStringLiteral("line %1 kind %2 number %3 old %4 unit %5 group %6 ean %7")
        .arg(r.line)
        .arg(int(r.kind))
        .arg(r.number, r.oldNumber, r.unit, r.group, r.ean);
}

void CheckRecord(const Record &r, qint64 lines) {
    const QString shown = Shown(r);
    FUZZ_CHECK(r.line >= 1 && r.line <= lines, shown);
    FUZZ_CHECK(r.number.size() <= kMaxNumber && r.oldNumber.size() <= kMaxNumber, shown);
    FUZZ_CHECK(r.unit.size() <= kMaxUnit && r.group.size() <= kMaxGroup, shown);
    FUZZ_CHECK(r.ean.size() <= kMaxEan && std::all_of(r.ean.begin(), r.ean.end(), [](QChar c) { return c.isDigit(); }),
               shown);
    FUZZ_CHECK(r.cents >= 0 && r.priceUnit >= 0, shown);
    FUZZ_CHECK(Printable(r.number) && Printable(r.oldNumber) && Printable(r.text1) && Printable(r.text2) &&
                   Printable(r.unit) && Printable(r.group),
               shown);
    for (const Discount &d : r.discounts) {
        FUZZ_CHECK(d.type >= 0 && d.type <= 3 && d.value >= 0 && d.group.size() <= kMaxGroup, shown);
        FUZZ_CHECK(d.type == 0 || d.group.isEmpty(), shown);
        FUZZ_CHECK(d.type != 1 || d.value <= 10000, shown);
    }
    switch (r.kind) {
    case Record::Kind::Article:
    case Record::Kind::Extra:
    case Record::Kind::Price:
    case Record::Kind::Delete:
        FUZZ_CHECK(!r.number.isEmpty(), shown);
        break;
    case Record::Kind::Renumber:
        FUZZ_CHECK(!r.number.isEmpty() && !r.oldNumber.isEmpty(), shown);
        break;
    case Record::Kind::PriceDate:
        FUZZ_CHECK(r.validFrom.isValid(), shown);
        break;
    case Record::Kind::Group:
        FUZZ_CHECK(!r.group.isEmpty(), shown);
        break;
    }
}

void CheckError(const Reader &reader) {
    const QString error = reader.error();
    FUZZ_CHECK(error.startsWith(QStringLiteral("DATANORM.001")), error);
    FUZZ_CHECK(std::none_of(error.begin(), error.end(), [](QChar c) { return c.unicode() < 0x20; }), error);
    FUZZ_CHECK(error.size() < 400, error);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qint64 lines = bytes.count('\n') + 1;
    for (const Charset charset :
         {Charset::Detect, Charset::Cp850, Charset::Windows1252, Charset::Latin1, Charset::Utf8}) {
        Reader reader;
        const bool opened = reader.openBytes(bytes, QStringLiteral("DATANORM.001"), charset);
        FUZZ_CHECK(reader.charset() == (charset == Charset::Detect ? DetectCharset(bytes) : charset),
                   CharsetName(reader.charset()));
        if (!opened) {
            CheckError(reader);
            continue;
        }
        FUZZ_CHECK(reader.error().isEmpty(), reader.error());
        FUZZ_CHECK(reader.version() == 4 || reader.version() == 5, QString::number(reader.version()));
        FUZZ_CHECK(reader.date().isValid(), reader.date().toString());
        FUZZ_CHECK(reader.currency().size() <= 3, reader.currency());
        Record record;
        qint64 last = 0;
        qint64 count = 0;
        while (reader.next(record)) {
            CheckRecord(record, lines);
            FUZZ_CHECK(record.line >= last, Shown(record));
            last = record.line;
            ++count;
            FUZZ_CHECK(reader.error().isEmpty(), reader.error());
        }
        FUZZ_CHECK(count <= 3 * lines, QString::number(count));
        qint64 skipped = 0;
        for (const auto &[type, n] : reader.skipped()) {
            FUZZ_CHECK(type.size() == 1 && type.at(0) >= QLatin1Char('A') && type.at(0) <= QLatin1Char('Z'), type);
            skipped += n;
        }
        FUZZ_CHECK(skipped + count <= 3 * lines, QString::number(skipped));
        // The end stays the end, a failure stays the failure.
        const QString error = reader.error();
        if (!error.isEmpty())
            CheckError(reader);
        FUZZ_CHECK(!reader.next(record) && reader.error() == error, reader.error());
    }
    return 0;
}
