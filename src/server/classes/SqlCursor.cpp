#include "server/classes/ClassTable.h"
#include "server/classes/ServerQueries.h"
#include "server/lists/ArticleStamp.h"
#include "server/lists/Proposals.h"
#include "server/lists/UpdateLists.h"
#include "session/ServerErrorCodes.h"

#include <optional>

// The cursor of every class query: the query's rows through DirectRows, its columns as the class
// table reads them.
namespace kxserver {

namespace {

using cacheapi::QueryCursor;

class SqlCursor : public QueryCursor {
public:
    SqlCursor(std::shared_ptr<SqlConnection> connection, const QueryDef &def)
        : m_connection(std::move(connection)), m_def(def) {}

    void execute(const QVariantList &params) override {
        m_connection->ensureOpen();
        if (params.size() != m_def.parameters)
            throw Error(kWrongArguments, QStringLiteral("Die Abfrage \"%1\" erwartet %2 Parameter, erhalten: %3.")
                                             .arg(QLatin1String(m_def.name))
                                             .arg(m_def.parameters)
                                             .arg(params.size()));
        m_rows.reset();
        m_row = false;
        m_done = false;
        m_stamp.reset();
        m_proposals.reset();
        m_rows = m_def.run(*m_connection, params, m_context);
        if (m_def.recordsProposals && m_connection->inUnit())
            m_proposals.emplace();
    }

    bool next() override {
        if (!m_rows)
            throw Error(kCursorState,
                        QStringLiteral("Die Abfrage \"%1\" wurde nicht ausgeführt.").arg(QLatin1String(m_def.name)));
        m_connection->ensureOpen();
        try {
            // A failed fetch is an error, never a short result.
            m_row = m_rows->next();
        } catch (...) {
            m_row = false;
            m_rows.reset();
            m_proposals.reset();
            throw;
        }
        if (m_row && m_def.stampPart)
            m_def.stampPart(m_stamp, *m_rows);
        if (m_row && m_proposals)
            m_proposals->add(*m_rows);
        if (!m_row) {
            m_done = true;
            if (m_proposals) {
                lists::Unit(*m_connection).book.noteProposalsRead(m_context.toLongLong(), m_proposals->take());
                m_proposals.reset();
            }
        }
        return m_row;
    }

    QVariant column(int number) override {
        checkColumns(number, 1);
        return m_def.value ? m_def.value(*m_rows, number, m_context) : QVariant(m_def.text(*m_rows, number, m_context));
    }

    void columnTexts(int first, std::span<QString> texts) override {
        if (!m_def.text) {
            QueryCursor::columnTexts(first, texts);
            return;
        }
        checkColumns(first, texts.size());
        for (QString &text : texts)
            text = m_def.text(*m_rows, first++, m_context);
    }

    void close() override {
        m_rows.reset();
        m_proposals.reset();
        m_row = false;
    }

    QString stamp() const override { return m_def.stampPart && m_done ? m_stamp.result() : QString(); }

private:
    void checkColumns(int first, size_t count) const {
        if (!m_row)
            throw Error(kCursorState,
                        QStringLiteral("Die Abfrage \"%1\" steht auf keiner Zeile.").arg(QLatin1String(m_def.name)));
        for (int number : {first, first + int(count) - 1})
            if (count > 0 && (number < 1 || number > m_def.columns))
                throw Error(kCursorState, QStringLiteral("Die Abfrage \"%1\" hat keine Spalte %2.")
                                              .arg(QLatin1String(m_def.name))
                                              .arg(number));
    }

    // Declared first so that the rows below die before the connection they belong to.
    std::shared_ptr<SqlConnection> m_connection;
    const QueryDef &m_def;
    std::unique_ptr<DirectRows> m_rows; // a statement Qt's driver runs is lent by the connection until then
    QString m_context;
    bool m_row = false;
    bool m_done = false; // the last row was read: the stamp covers everything delivered
    ArticleStamp m_stamp;
    std::optional<lists::ProposalRecorder> m_proposals; // reading the proposals inside a unit
};

} // namespace

cacheapi::QueryCursorPtr OpenCursor(const std::shared_ptr<SqlConnection> &connection, const QueryDef &query) {
    return std::make_unique<SqlCursor>(connection, query);
}

} // namespace kxserver
