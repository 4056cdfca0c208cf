// Units and transactions: BEGIN goes out with the first statement, the commit carries what the
// unit's state gives it (the lists' checked writes and notifications).
#include "server/db/SqlConnection.h"

#include "session/ServerErrorCodes.h"
#include "server/db/SqlConnectionDetail.h"

namespace kxserver {

using detail::countTrip;

void SqlConnection::beginTransaction() {
    // BEGIN waits for the transaction's first statement and goes out with it (runScript): a unit
    // costs no request of its own.
    m_beginPending = true;
    m_transaction = true;
    if (m_unitState)
        m_unitState->transactionBegins();
}

void SqlConnection::endTransaction() {
    m_transaction = false;
    m_beginPending = false;
    if (m_unitState)
        m_unitState->transactionEnds();
}

void SqlConnection::commitTransaction() {
    if (m_beginPending) { // nothing was sent, so there is nothing to commit
        endTransaction();
        return;
    }
    std::vector<Statement> script;
    if (m_unitState)
        script = m_unitState->beforeCommit();
    script.push_back({QStringLiteral("COMMIT"), {}});
    runScript(script);
    if (m_unitState)
        m_unitState->committed();
    endTransaction();
}

std::optional<SqlConnection::Statement> SqlConnection::listChangedNotice(qint64 list) const {
    if (m_target.backend != Backend::Postgres)
        return std::nullopt;
    return Statement{QStringLiteral("SELECT pg_notify(?, ?)"), {QString::fromLatin1(kListChannel), QString::number(list)}};
}

void SqlConnection::rollbackTransaction() {
    if (m_transaction && m_open && !m_beginPending) {
        QSqlQuery query(db());
        countTrip();
        // A lost connection has rolled back by itself.
        awaitAnswer(CurrentAnswerLimits().statement, [&] { return query.exec(QStringLiteral("ROLLBACK")); });
    }
    endTransaction();
}

void SqlConnection::failIfUnitBroken() const {
    if (m_unitBroken)
        throw Error(kUnitState, QStringLiteral("Die Änderungen wurden wegen eines vorherigen Fehlers verworfen; "
                                               "es wird nichts weiter gespeichert."));
}

void SqlConnection::beginUnit() {
    ensureOpen();
    if (m_unit)
        throw Error(kUnitState, QStringLiteral("Es ist bereits eine Änderungseinheit offen."));
    beginTransaction();
    m_unit = true;
    m_unitBroken = false;
}

void SqlConnection::commitUnit() {
    ensureOpen();
    if (!m_unit)
        throw Error(kUnitState, QStringLiteral("Es ist keine Änderungseinheit offen."));
    if (m_unitBroken) {
        m_unit = false;
        m_unitBroken = false;
        rollbackTransaction();
        throw Error(kUnitState, QStringLiteral("Die Änderungen wurden wegen eines vorherigen Fehlers verworfen."));
    }
    m_unit = false;
    try {
        commitTransaction();
    } catch (...) {
        rollbackTransaction();
        throw;
    }
}

void SqlConnection::rollbackUnit() {
    // Safe to call from any clean-up path: without an open unit there is nothing to undo.
    if (!m_unit)
        return;
    m_unit = false;
    m_unitBroken = false;
    rollbackTransaction();
}

} // namespace kxserver
