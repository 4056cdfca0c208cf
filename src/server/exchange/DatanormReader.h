#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDate>
#include <QFile>
#include <QString>

#include <array>
#include <map>
#include <optional>
#include <vector>

// Reads a supplier's catalog in DATANORM 4 or 5, record by record: the header ("V"), articles ("A",
// in version 4 with their extra data "B"), prices ("P", a version 4 line holding up to three), the
// price date of a version 4 price file ("C;;TERMIN"), discount groups ("R") and, in version 5, the
// renumberings and deletions of "B". Every other record type is skipped and counted. The file is read
// in pieces, never whole: what it holds at once is bounded by the longest line it accepts.
//
// Lines end in CR LF or LF; blank lines are skipped and blanks around a field removed. The end mark
// 0x1A ends the file: only blanks, line ends, NUL bytes and more end marks may follow it (records
// after it are refused, not left out). A line holding a control character (other than a tab), a
// byte its character set does not know or, in UTF-8, a broken sequence is refused: such a file is
// no catalog, and a guess would store other letters than the supplier's.
namespace kxexchange::datanorm {

// The character sets catalogs come in. CP850 is the format's own; Detect decides by the bytes.
enum class Charset { Detect, Cp850, Windows1252, Latin1, Utf8 };

// "cp850", "ibm850", "850", "windows-1252", "cp1252", "iso-8859-1", "latin1", "utf-8", … (letter case
// folded); empty for anything else.
std::optional<Charset> CharsetByName(const QString &name);
// The name the tool prints ("CP850", "Windows-1252", "ISO-8859-1", "UTF-8").
QString CharsetName(Charset charset);
// Valid UTF-8 (without bytes above 0x7F it is UTF-8 too); otherwise the bytes of the German letters
// ä ö ü ß Ä Ö Ü decide between CP850 and Windows-1252, CP850 when they do not.
Charset DetectCharset(const QByteArray &bytes);

// Field widths: a text longer than this is refused with its field named.
constexpr qsizetype kMaxNumber = 40; // article number (the supplier's)
constexpr qsizetype kMaxEan = 14;    // EAN / GTIN, digits only
constexpr qsizetype kMaxUnit = 20;   // unit of measure
constexpr qsizetype kMaxGroup = 20;  // discount group
constexpr qsizetype kMaxLine = 4096; // a line, in bytes
constexpr int kMaxFields = 128;      // fields of a line

enum class PriceType { List = 1, Net = 2, Factory = 3, OnRequest = 9 };

// One discount of a price record: type 1 percent in hundredths (5500 = 55 %), 2 a multiplier in
// thousandths (950 = x 0.95), 3 a surcharge in hundredths of a percent, 0 the discount of the group
// named by `group`. A discount the record leaves empty is type 0 with an empty group (value 0).
struct Discount {
    int type = 0;
    qint64 value = 0;
    QString group;
};

struct Record {
    enum class Kind {
        Article,  // "A": number, flag, texts, unit, priceType, priceUnit, cents, group, ean (v5)
        Extra,    // "B" of version 4: number, ean (its field 10)
        Price,    // one price of a "P" line: number, flag, priceType, priceUnit (0: not given), cents,
                  // group, discounts, validFrom (null: not given)
        Group,    // "R": group, discounts[0] (its type and value), text1 (its text)
        Renumber, // "B;A;old;new" of version 5, "A;X;old;new" of version 4: oldNumber, number
        Delete,   // "B;L;number" of version 5: number
        PriceDate // "C;;TERMIN…;DDMMYYYY": validFrom, from which the file's later prices hold
    };
    Kind kind = Kind::Article;
    QChar flag; // N, A, L, X (as written, upper case); null where the record leaves it empty
    QString number;
    QString oldNumber;
    QString text1;
    QString text2;
    QString unit;
    PriceType priceType = PriceType::List;
    qint64 priceUnit = 1; // the quantity a price is for: 1, 10, 100, 1000 (version 4's code 0..3), …
    qint64 cents = 0;     // two implied decimals, without VAT
    QString group;        // discount group
    QString ean;
    std::array<Discount, 3> discounts{};
    QDate validFrom;
    qint64 line = 0;
};

class Reader {
public:
    Reader() = default;
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Opens a regular file (a FIFO, device or folder is refused at once), settles its character set
    // (Detect: by a pass over its bytes) and reads the header. False with error() set otherwise.
    bool open(const QString &path, Charset charset);
    // The same over bytes in memory (tests, the fuzz target); `name` stands for the file's name.
    bool openBytes(const QByteArray &bytes, const QString &name, Charset charset);

    // The next record; false at the end or on an error (then error() is set). A version 4 price line
    // gives one record per block.
    bool next(Record &record);

    // German, naming file, line and field: "DATPREIS.001, Zeile 7, Feld „Preis“: „12,50“ ist keine Zahl".
    QString error() const { return m_error; }
    QString fileName() const { return m_name; }
    int version() const { return m_version; } // 4 or 5
    QDate date() const { return m_date; }     // the delivery's date from the header
    QString currency() const { return m_currency; }
    Charset charset() const { return m_charset; }
    // Records skipped, by their type letter ("T", "S", "Z", …).
    const std::map<QString, qint64> &skipped() const { return m_skipped; }

private:
    void reset();
    bool start(Charset charset);
    bool fill();
    bool readLine();    // the next line into m_text (without its line end); false at the end or on an error
    bool skipTrailer(); // what follows the end mark 0x1A: only blanks, line ends and more end marks
    bool splitLine();   // m_fields; refuses control characters and bytes the character set does not know
    bool readHeader();
    bool readPrices(); // a "P" line into m_pending
    bool readArticle(Record &record);
    bool readExtra(Record &record);
    bool readGroup(Record &record);

    // The messages: "name: what", "name, Zeile n: what", "name, Zeile n, Feld „field“: what".
    bool fail(const QString &what);
    bool failLine(const QString &what);
    bool failField(const char *field, const QString &what);

    // A field by its place (1 for the record type), blanks around it removed; empty beyond the line.
    QByteArrayView raw(int field) const;
    QString text(int field) const;
    QString shown(int field) const; // for a message: quoted, cut to a readable length
    // False with the message when the line ends before `field`.
    bool need(int field, const char *name);
    bool number(int field, const char *name, QString *out);
    bool flag(const char *allowed, QChar *out);
    bool limited(int field, const char *name, qsizetype max, QString *out);
    bool priceType(int field, PriceType *out);
    bool cents(int field, PriceType type, qint64 *out);
    bool quantity(int field, bool code, qint64 *out); // version 4: the code 0..3; version 5: the quantity
    bool ean(int field, QString *out);
    bool discount(int typeField, int index, Discount *out);
    bool date(const char *name, QByteArrayView digits, QDate *out); // version 4: DDMMYY(YY), 5: YYYYMMDD

    QString m_error;
    QString m_name;
    int m_version = 0;
    QDate m_date;
    QString m_currency;
    Charset m_charset = Charset::Cp850;
    std::map<QString, qint64> m_skipped;

    QFile m_file;
    QByteArray m_source; // openBytes' bytes
    qsizetype m_sourceAt = 0;
    bool m_fromFile = false;
    QByteArray m_buffer; // undecoded bytes from m_pos on: at most a line and a piece
    qsizetype m_pos = 0;
    bool m_eof = false;
    bool m_endMark = false;
    bool m_failed = false;
    qint64 m_lineNumber = 0; // of m_text
    QByteArrayView m_text;
    bool m_high = false; // m_text holds bytes above 0x7F
    std::array<QByteArrayView, kMaxFields> m_fields{};
    int m_fieldCount = 0;
    std::array<Record, 3> m_pending{};
    int m_pendingCount = 0;
    int m_pendingAt = 0;
    QString m_where; // which of a price line's blocks a message is about
};

} // namespace kxexchange::datanorm
