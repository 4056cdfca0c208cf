// The two outputs of an export: CSV for the merchandise system, a workbook for the purchasing manager.

#include "server/exchange/Exporter.h"
#include "server/exchange/Fields.h"

#include <QDateTime>

#include <xlsxwriter.h>

#include <algorithm>

namespace kxexchange {

QString NoFormula(const QString &text) {
    // A spreadsheet takes a cell starting with one of these as a formula (or, for '-' and '+',
    // tries to). A tab before it makes the cell text; the import takes blanks off every text, and no
    // stored text starts with one, so the value comes back exactly as it was.
    static const QString triggers = QStringLiteral("=+-@\t\r");
    return !text.isEmpty() && triggers.contains(text.front()) ? QLatin1Char('\t') + text : text;
}

namespace {

QString dateText(const QDate &date) {
    return date.toString(QStringLiteral("dd.MM.yyyy"));
}

// A cell as it reads in a German spreadsheet. Whatever goes out as stored text passes NoFormula:
// a text column's cells, and a typed column's cell that is no value of its type (a save time is
// text a clerk's program may have written as it liked, and then goes out as it stands).
QString cellText(const QVariant &cell, CellType type) {
    if (cell.isNull())
        return QString();
    switch (type) {
    case CellType::Money:
        return CentsText(cell.toLongLong());
    case CellType::Date:
        return cell.canConvert<QDate>() && cell.toDate().isValid() ? dateText(cell.toDate())
                                                                   : NoFormula(cell.toString());
    case CellType::DateTime: {
        const QDateTime when = cell.toDateTime();
        return when.isValid() ? when.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss")) : NoFormula(cell.toString());
    }
    case CellType::Number:
        return cell.typeId() == QMetaType::QString ? NoFormula(cell.toString()) : cell.toString();
    default:
        return NoFormula(cell.toString());
    }
}

} // namespace

namespace {

class CsvSink : public TableSink {
public:
    explicit CsvSink(QIODevice &out) : m_out(out) {}

    void begin(const std::vector<ColumnSpec> &columns) override {
        m_columns = columns;
        m_out.write("\xEF\xBB\xBF");
        QStringList names;
        for (const ColumnSpec &column : columns)
            names << column.name;
        line(names);
    }
    void row(const QVariantList &cells) override {
        QStringList texts;
        for (size_t i = 0; i < m_columns.size(); ++i) {
            texts << cellText(cells.value(qsizetype(i)), m_columns[i].type);
        }
        line(texts);
    }
    QString finish() override {
        if (m_failed)
            return QStringLiteral("die Ausgabe kann nicht geschrieben werden (%1)").arg(m_out.errorString());
        return QString();
    }

private:
    void line(const QStringList &fields) {
        QString text;
        for (qsizetype i = 0; i < fields.size(); ++i) {
            if (i > 0)
                text += QLatin1Char(';');
            QString field = fields.at(i);
            const bool quote = field.contains(QLatin1Char(';')) || field.contains(QLatin1Char('"')) ||
                               field.contains(QLatin1Char('\n')) || field.contains(QLatin1Char('\r')) ||
                               field != field.trimmed();
            if (quote)
                field = QLatin1Char('"') + field.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
            text += field;
        }
        text += QStringLiteral("\r\n");
        const QByteArray bytes = text.toUtf8();
        if (m_out.write(bytes) != bytes.size())
            m_failed = true;
    }

    QIODevice &m_out;
    std::vector<ColumnSpec> m_columns;
    bool m_failed = false;
};

class XlsxSink : public TableSink {
public:
    XlsxSink(const QString &path, const QString &sheetName) : m_path(path.toUtf8()), m_sheetName(sheetName.toUtf8()) {
        lxw_workbook_options options{};
        options.constant_memory = LXW_TRUE; // rows go to disk as they come
        m_book = workbook_new_opt(m_path.constData(), &options);
        if (!m_book)
            return;
        m_sheet = workbook_add_worksheet(m_book, m_sheetName.constData());
        m_bold = workbook_add_format(m_book);
        format_set_bold(m_bold);
        m_money = workbook_add_format(m_book);
        format_set_num_format(m_money, "#,##0.00");
        m_date = workbook_add_format(m_book);
        format_set_num_format(m_date, "dd.mm.yyyy");
        m_dateTime = workbook_add_format(m_book);
        format_set_num_format(m_dateTime, "dd.mm.yyyy hh:mm:ss");
    }
    ~XlsxSink() override {
        if (m_book)
            workbook_close(m_book);
    }

    void begin(const std::vector<ColumnSpec> &columns) override {
        m_columns = columns;
        m_widths.assign(columns.size(), 8);
        if (!m_sheet)
            return;
        for (size_t i = 0; i < columns.size(); ++i) {
            const QByteArray name = columns[i].name.toUtf8();
            worksheet_write_string(m_sheet, 0, lxw_col_t(i), name.constData(), m_bold);
            widen(i, columns[i].name.size() + 2);
        }
        m_row = 1;
    }

    void row(const QVariantList &cells) override {
        if (!m_sheet)
            return;
        for (size_t i = 0; i < m_columns.size(); ++i) {
            const QVariant cell = cells.value(qsizetype(i));
            if (cell.isNull())
                continue;
            const auto column = lxw_col_t(i);
            lxw_error result = LXW_NO_ERROR;
            switch (m_columns[i].type) {
            case CellType::Number:
                result = worksheet_write_number(m_sheet, m_row, column, double(cell.toLongLong()), nullptr);
                break;
            case CellType::Money:
                result = worksheet_write_number(m_sheet, m_row, column, cell.toLongLong() / 100.0, m_money);
                break;
            case CellType::Date:
            case CellType::DateTime: {
                const QDateTime when = cell.toDateTime();
                if (!when.isValid()) {
                    result = writeText(column, cell.toString());
                    break;
                }
                lxw_datetime value{when.date().year(), when.date().month(),  when.date().day(),
                                   when.time().hour(), when.time().minute(), double(when.time().second())};
                result = worksheet_write_datetime(m_sheet, m_row, column, &value,
                                                  m_columns[i].type == CellType::Date ? m_date : m_dateTime);
                break;
            }
            default:
                result = writeText(column, cell.toString());
            }
            if (result != LXW_NO_ERROR && m_error.isEmpty())
                m_error = QString::fromUtf8(lxw_strerror(result));
            widen(i, cellText(cell, m_columns[i].type).size() + 1);
        }
        ++m_row;
    }

    QString finish() override {
        if (!m_book)
            return QStringLiteral("die Arbeitsmappe %1 kann nicht angelegt werden").arg(QString::fromUtf8(m_path));
        for (size_t i = 0; i < m_widths.size(); ++i)
            worksheet_set_column(m_sheet, lxw_col_t(i), lxw_col_t(i), std::min(m_widths[i], 60.0), nullptr);
        const lxw_error result = workbook_close(m_book);
        m_book = nullptr;
        if (result != LXW_NO_ERROR && m_error.isEmpty())
            m_error = QString::fromUtf8(lxw_strerror(result));
        return m_error.isEmpty() ? QString()
                                 : QStringLiteral("die Arbeitsmappe %1 kann nicht geschrieben werden (%2)")
                                       .arg(QString::fromUtf8(m_path), m_error);
    }

private:
    lxw_error writeText(lxw_col_t column, const QString &text) {
        const QByteArray bytes = text.toUtf8();
        return worksheet_write_string(m_sheet, m_row, column, bytes.constData(), nullptr);
    }
    void widen(size_t column, qsizetype characters) {
        m_widths[column] = std::max(m_widths[column], double(characters));
    }

    QByteArray m_path;
    QByteArray m_sheetName;
    lxw_workbook *m_book = nullptr;
    lxw_worksheet *m_sheet = nullptr;
    lxw_format *m_bold = nullptr;
    lxw_format *m_money = nullptr;
    lxw_format *m_date = nullptr;
    lxw_format *m_dateTime = nullptr;
    std::vector<ColumnSpec> m_columns;
    std::vector<double> m_widths;
    lxw_row_t m_row = 0;
    QString m_error;
};

} // namespace

std::unique_ptr<TableSink> MakeCsvSink(QIODevice &out) {
    return std::make_unique<CsvSink>(out);
}

std::unique_ptr<TableSink> MakeXlsxSink(const QString &path, const QString &sheetName) {
    return std::make_unique<XlsxSink>(path, sheetName);
}

} // namespace kxexchange
