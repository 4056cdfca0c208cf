#include "server/admin/PgSecuritySql.h"

namespace kxserver {

namespace {

// Every function runs with a fixed search_path, so nothing a session put in its way is called.
#define KX_FIXED "SET search_path = pg_catalog, korvex, pg_temp"
// The checks look rows up by keys that have indexes; compiling them (JIT) for a large statement
// would cost far more than running them.
#define KX_CHECK KX_FIXED " SET jit = off"

const char *const kStatements[] = {
    // Which personnel codes of which company a database login may act as.
    "CREATE TABLE IF NOT EXISTS korvex.zugang (login TEXT NOT NULL, firma INTEGER NOT NULL, code TEXT NOT NULL,"
    " PRIMARY KEY (login, firma, code))",
    // The articles a clerk's transaction touched, per list (0: the master data), checked at its commit.
    "CREATE TABLE IF NOT EXISTS korvex.pruefung (tx BIGINT NOT NULL, liste BIGINT NOT NULL, artikel BIGINT NOT NULL,"
    " PRIMARY KEY (tx, liste, artikel))",
    // One row per such transaction: its insert queues the one check at commit.
    "CREATE TABLE IF NOT EXISTS korvex.pruefung_tx (tx BIGINT PRIMARY KEY)",
    // The checks below look a saved entry's pending changes up by entry and by article.
    "CREATE INDEX IF NOT EXISTS liste_aend_artlief ON korvex.liste_aend (artlief)",
    "CREATE INDEX IF NOT EXISTS liste_aend_nur_artikel ON korvex.liste_aend (artikel)",
    "CREATE INDEX IF NOT EXISTS speicher_log_eintrag ON korvex.speicher_log (liste, artlief)",

    // The admin's sessions (members of the owner, superusers) are not held to the clerks' rules.
    // These two are called only by the functions below, whose search_path is fixed; without a
    // search_path of their own they are inlined there (they run for every row a clerk writes).
    "CREATE OR REPLACE FUNCTION korvex.verwalter() RETURNS boolean LANGUAGE sql STABLE"
    " AS $f$ SELECT pg_catalog.pg_has_role(session_user, 'korvex_owner', 'MEMBER') $f$",
    // May the login record a change under this code of this company?
    "CREATE OR REPLACE FUNCTION korvex.darf(p_firma bigint, p_code text) RETURNS boolean LANGUAGE sql STABLE"
    " AS $f$ SELECT p_code IS NOT NULL AND EXISTS (SELECT 1 FROM korvex.zugang z WHERE z.login = session_user"
    " AND z.firma = p_firma AND z.code = p_code) $f$",
    "CREATE OR REPLACE FUNCTION korvex.abgelehnt(p_text text) RETURNS void LANGUAGE plpgsql " KX_FIXED
    " AS $f$ BEGIN RAISE EXCEPTION USING ERRCODE = '42501', MESSAGE = 'Abgelehnt: ' || p_text; END $f$",

    // The login: whether a code exists (so that a missing one keeps its own error), and the record,
    // only when the password matches the stored bcrypt hash and the code is mapped to the login.
    // pgcrypto knows bcrypt as "$2a$"; for passwords of fewer than 256 bytes it computes what "$2b$" does.
    "CREATE OR REPLACE FUNCTION korvex.personal_vorhanden(p_firma integer, p_code text) RETURNS boolean"
    " LANGUAGE sql STABLE SECURITY DEFINER " KX_FIXED
    " AS $f$ SELECT EXISTS (SELECT 1 FROM korvex.pers_edv WHERE firma = p_firma AND code = p_code) $f$",
    "CREATE OR REPLACE FUNCTION korvex.anmelden(p_firma integer, p_code text, p_passwort text)"
    " RETURNS TABLE (aktiv text, pname text, abtnr text, dw text, bergrp text, pnr text)"
    " LANGUAGE sql STABLE SECURITY DEFINER " KX_FIXED
    " AS $f$ SELECT p.aktiv, p.pname, p.abtnr, p.dw, p.bergrp, p.pnr FROM korvex.pers_edv p"
    " WHERE p.firma = p_firma AND p.code = p_code"
    " AND (korvex.verwalter() OR EXISTS (SELECT 1 FROM korvex.zugang z WHERE z.login = session_user"
    " AND z.firma = p_firma AND z.code = p_code))"
    " AND p.passwort ~ '^[$]2[aby][$][0-9]{2}[$].{53}$'"
    " AND korvex.crypt(p_passwort, '$2a' || substr(p.passwort, 4)) = '$2a' || substr(p.passwort, 4) $f$",

    // Pending changes of a list: written by the clicks, taking proposals and taking back, always for
    // an entry of an article of the list's run, under a code of the login's company.
    "CREATE OR REPLACE FUNCTION korvex.liste_aend_schreiben() RETURNS trigger LANGUAGE plpgsql SECURITY "
    "DEFINER " KX_CHECK " AS $f$ DECLARE v text; BEGIN"
    " IF korvex.verwalter() OR NOT EXISTS (SELECT 1 FROM neu) THEN RETURN NULL; END IF;"
    " SELECT CASE WHEN al.artikel IS DISTINCT FROM n.artikel OR NOT EXISTS (SELECT 1 FROM korvex.upd_artikel u"
    " WHERE u.run = l.run AND u.artnr = a.artnr AND u.artikel = a.id)"
    " THEN format('Eintrag %s gehört nicht zu Artikel %s der Liste %s', n.artlief, n.artikel, n.liste)"
    " WHEN NOT EXISTS (SELECT 1 FROM korvex.zugang z WHERE z.login = session_user AND z.firma = r.firma"
    " AND z.code = n.aend_pers)"
    " THEN format('Personalcode \"%s\" ist diesem Login in Firma %s nicht zugeordnet', n.aend_pers, r.firma)"
    " ELSE format('Ungültiger Wert im Eintrag %s', n.artlief) END INTO v"
    " FROM neu n JOIN korvex.artliste l ON l.id = n.liste JOIN korvex.upd_run r ON r.id = l.run"
    " LEFT JOIN korvex.artlief al ON al.id = n.artlief LEFT JOIN korvex.artikel a ON a.id = n.artikel"
    " WHERE al.artikel IS DISTINCT FROM n.artikel"
    " OR NOT EXISTS (SELECT 1 FROM korvex.upd_artikel u WHERE u.run = l.run AND u.artnr = a.artnr"
    " AND u.artikel = a.id)"
    " OR NOT EXISTS (SELECT 1 FROM korvex.zugang z WHERE z.login = session_user AND z.firma = r.firma"
    " AND z.code = n.aend_pers)"
    " OR n.laktiv NOT IN ('J', 'N') OR n.hlief NOT IN ('J', 'N') LIMIT 1;"
    " IF v IS NOT NULL THEN PERFORM korvex.abgelehnt(v); END IF;"
    // Only under the list's lock: the transaction has raised the list's version (its row is this
    // transaction's own), so the rows it writes carry a number no look has seen yet.
    " IF EXISTS (SELECT 1 FROM korvex.artliste l WHERE l.id IN (SELECT n.liste FROM neu n) AND age(l.xmin) <> 0)"
    " THEN PERFORM korvex.abgelehnt('Die Änderungen einer Artikelliste werden nur unter ihrer Sperre geschrieben.');"
    " END IF;"
    " INSERT INTO korvex.pruefung SELECT DISTINCT txid_current(), liste, artikel FROM neu ON CONFLICT DO NOTHING;"
    " INSERT INTO korvex.pruefung_tx VALUES (txid_current()) ON CONFLICT DO NOTHING;"
    " RETURN NULL; END $f$",
    // The list's main supplier per article: only under the list's lock, for a list of the login's
    // company; checked against the list's entries at commit.
    "CREATE OR REPLACE FUNCTION korvex.liste_haupt_neu() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER " KX_CHECK
    " AS $f$ BEGIN IF korvex.verwalter() THEN RETURN NULL; END IF;"
    " IF EXISTS (SELECT 1 FROM (SELECT DISTINCT liste FROM neu) n JOIN korvex.artliste l ON l.id = n.liste"
    " JOIN korvex.upd_run r ON r.id = l.run WHERE age(l.xmin) <> 0 OR NOT EXISTS (SELECT 1 FROM korvex.zugang z"
    " WHERE z.login = session_user AND z.firma = r.firma)) THEN PERFORM korvex.abgelehnt("
    "'Der Hauptlieferant einer Artikelliste wird nur unter ihrer Sperre und nur in der eigenen Firma geschrieben.');"
    " END IF;"
    " INSERT INTO korvex.pruefung SELECT DISTINCT txid_current(), liste, artikel FROM neu ON CONFLICT DO NOTHING;"
    " INSERT INTO korvex.pruefung_tx VALUES (txid_current()) ON CONFLICT DO NOTHING;"
    " RETURN NULL; END $f$",

    // A list: prepared for a run of the login's company, under a code of the login (or none:
    // preparing needs no session). Its lock is a raise of its version by exactly one: a row that
    // kept its number would pass for a lock whose rows the watching looks have already seen. Once
    // raised in this transaction the row may be written again unchanged (the save's stamp, which only
    // the door "speichern" writes). Clerks write only under READ COMMITTED or SERIALIZABLE: see
    // korvex.pruefen.
    "CREATE OR REPLACE FUNCTION korvex.artliste_schreiben() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER " KX_CHECK
    " AS $f$ DECLARE v_firma bigint; BEGIN"
    " IF korvex.verwalter() THEN RETURN NEW; END IF;"
    " IF current_setting('transaction_isolation') = 'repeatable read' THEN PERFORM korvex.abgelehnt("
    "'Artikellisten werden nicht unter REPEATABLE READ geschrieben (nur READ COMMITTED oder SERIALIZABLE).');"
    " END IF;"
    " SELECT firma INTO v_firma FROM korvex.upd_run WHERE id = NEW.run;"
    " IF NOT EXISTS (SELECT 1 FROM korvex.zugang z WHERE z.login = session_user AND z.firma = v_firma) THEN"
    " PERFORM korvex.abgelehnt(format('Die Artikellisten der Firma %s sind diesem Login nicht zugeordnet', v_firma));"
    " END IF;"
    " IF TG_OP = 'INSERT' AND NEW.erst_pers IS NOT NULL AND NOT korvex.darf(v_firma, NEW.erst_pers) THEN PERFORM "
    "korvex.abgelehnt(format("
    "'Personalcode \"%s\" ist diesem Login in Firma %s nicht zugeordnet', NEW.erst_pers, v_firma)); END IF;"
    " IF TG_OP = 'UPDATE' AND NEW.version IS DISTINCT FROM OLD.version + 1"
    " AND NOT (NEW.version = OLD.version AND age(OLD.xmin) = 0) THEN"
    " PERFORM korvex.abgelehnt('Die Sperre einer Artikelliste zählt ihre Version um genau eins weiter.'); END IF;"
    " RETURN NEW; END $f$",

    // At the commit of a clerk's transaction: every touched article keeps at most one main supplier,
    // (refused with SQLSTATE KX011, which the program reports as its own refusal, error 1011)
    // an active one, and an active supplier, in the list's view and in the master data; a list's main
    // supplier of an article is the one its entries give.
    "CREATE OR REPLACE FUNCTION korvex.pruefen() RETURNS trigger LANGUAGE plpgsql SECURITY DEFINER " KX_CHECK
    " AS $f$ DECLARE v_tx bigint := txid_current(); v text; BEGIN"
    " IF NOT EXISTS (SELECT 1 FROM korvex.pruefung WHERE tx = v_tx) THEN RETURN NULL; END IF;"
    // Two transactions touching one article are judged one after the other: each locks the
    // touched articles first, in one order (no deadlock among checks), and NO KEY UPDATE (a FOR
    // UPDATE would wait for the foreign keys' KEY SHARE locks other clerks hold on the articles).
    // Under READ COMMITTED each statement below takes a fresh snapshot after the wait, so it sees
    // the other's commit. Under REPEATABLE READ a wait refreshes nothing, and the check would judge
    // a picture the other's commit has made stale: a clerk's writes are refused there (the program
    // never asks for it); SERIALIZABLE finds the write skew itself.
    " IF current_setting('transaction_isolation') = 'repeatable read' AND NOT korvex.verwalter() THEN"
    " PERFORM korvex.abgelehnt('Artikellisten werden nicht unter REPEATABLE READ geschrieben.'); END IF;"
    " PERFORM 1 FROM korvex.artikel WHERE id IN (SELECT artikel FROM korvex.pruefung WHERE tx = v_tx)"
    " ORDER BY id FOR NO KEY UPDATE;"
    " WITH p AS (SELECT liste, artikel FROM korvex.pruefung WHERE tx = v_tx AND liste > 0),"
    " e AS (SELECT p.liste, p.artikel, al.lieferant, COALESCE(o.laktiv, al.aktiv) AS aktiv,"
    " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END) AS haupt,"
    " o.hlief IS NOT NULL AS eigen FROM p JOIN korvex.artikel a ON a.id = p.artikel"
    " JOIN korvex.artlief al ON al.artikel = p.artikel"
    " LEFT JOIN korvex.liste_aend o ON o.liste = p.liste AND o.artlief = al.id),"
    " s AS (SELECT liste, artikel, count(*) FILTER (WHERE haupt = 'J') AS haupt,"
    " count(*) FILTER (WHERE haupt = 'J' AND aktiv <> 'J') AS inaktiv, count(*) FILTER (WHERE aktiv = 'J') AS aktiv,"
    " bool_or(eigen) AS eigen, min(lieferant) FILTER (WHERE haupt = 'J') AS lief FROM e GROUP BY liste, artikel)"
    " SELECT format('Artikel %s hätte in der Artikelliste %s %s', a.artnr, s.liste, CASE"
    " WHEN s.haupt > 1 THEN 'mehr als einen Hauptlieferanten' WHEN s.inaktiv > 0 THEN"
    " 'einen inaktiven Hauptlieferanten' WHEN s.aktiv = 0 THEN 'keinen aktiven Lieferanten' ELSE"
    " 'einen anderen Hauptlieferanten als seine Lieferanten' END) INTO v"
    " FROM s JOIN korvex.artikel a ON a.id = s.artikel"
    " LEFT JOIN korvex.liste_haupt h ON h.liste = s.liste AND h.artikel = s.artikel"
    " WHERE s.haupt > 1 OR s.inaktiv > 0 OR s.aktiv = 0 OR (h.liste IS NULL AND s.eigen)"
    " OR (h.liste IS NOT NULL AND h.haupt_lief IS DISTINCT FROM CASE WHEN s.haupt = 1 THEN s.lief END) LIMIT 1;"
    " IF v IS NULL THEN"
    " SELECT format('Artikel %s hätte in den Stammdaten %s', a.artnr, CASE WHEN bool_or(al.lieferant ="
    " a.haupt_lief AND al.aktiv <> 'J') THEN 'einen inaktiven Hauptlieferanten' ELSE 'keinen aktiven"
    " Lieferanten' END) INTO v FROM korvex.pruefung p JOIN korvex.artikel a ON a.id = p.artikel"
    " JOIN korvex.artlief al ON al.artikel = p.artikel WHERE p.tx = v_tx AND p.liste = 0 GROUP BY a.id, a.artnr"
    " HAVING bool_or(al.lieferant = a.haupt_lief AND al.aktiv <> 'J') OR count(*) FILTER (WHERE al.aktiv = 'J') = 0"
    " LIMIT 1; END IF;"
    " DELETE FROM korvex.pruefung WHERE tx = v_tx; DELETE FROM korvex.pruefung_tx WHERE tx = v_tx;"
    " IF v IS NOT NULL THEN RAISE EXCEPTION USING ERRCODE = 'KX011', MESSAGE = 'Die Änderung wurde abgelehnt: '"
    " || v || '. Nichts davon wurde gespeichert.'; END IF;"
    " RETURN NULL; END $f$",

    // Every row written to a list's changes takes the list's version of the writing transaction
    // (which its writers' lock has raised), whoever writes it and whatever the row said: the live view
    // reads the rows written since the version it saw last. For every row, so kept lean: no
    // search_path of its own and no definer's rights (a clerk may read the version), every name
    // and the one operator qualified.
    "CREATE OR REPLACE FUNCTION korvex.liste_aend_nr() RETURNS trigger LANGUAGE plpgsql"
    " AS $f$ BEGIN SELECT l.version INTO NEW.aend_nr FROM korvex.artliste l"
    " WHERE l.id OPERATOR(pg_catalog.=) NEW.liste; RETURN NEW; END $f$",

    // The triggers: statement triggers see all rows of a statement at once (one check per click).
    "DROP TRIGGER IF EXISTS kx_liste_aend_nr ON korvex.liste_aend",
    "CREATE TRIGGER kx_liste_aend_nr BEFORE INSERT OR UPDATE ON korvex.liste_aend FOR EACH ROW"
    " EXECUTE FUNCTION korvex.liste_aend_nr()",
    "DROP TRIGGER IF EXISTS kx_liste_aend_neu ON korvex.liste_aend",
    "CREATE TRIGGER kx_liste_aend_neu AFTER INSERT ON korvex.liste_aend REFERENCING NEW TABLE AS neu"
    " FOR EACH STATEMENT EXECUTE FUNCTION korvex.liste_aend_schreiben()",
    "DROP TRIGGER IF EXISTS kx_liste_aend_aend ON korvex.liste_aend",
    "CREATE TRIGGER kx_liste_aend_aend AFTER UPDATE ON korvex.liste_aend REFERENCING NEW TABLE AS neu"
    " FOR EACH STATEMENT EXECUTE FUNCTION korvex.liste_aend_schreiben()",
    "DROP TRIGGER IF EXISTS kx_liste_haupt_neu ON korvex.liste_haupt",
    "CREATE TRIGGER kx_liste_haupt_neu AFTER INSERT ON korvex.liste_haupt REFERENCING NEW TABLE AS neu"
    " FOR EACH STATEMENT EXECUTE FUNCTION korvex.liste_haupt_neu()",
    "DROP TRIGGER IF EXISTS kx_liste_haupt_aend ON korvex.liste_haupt",
    "CREATE TRIGGER kx_liste_haupt_aend AFTER UPDATE ON korvex.liste_haupt REFERENCING NEW TABLE AS neu"
    " FOR EACH STATEMENT EXECUTE FUNCTION korvex.liste_haupt_neu()",
    // What the door "speichern" took over: the clerks have no right left that these policed.
    "DROP TRIGGER IF EXISTS kx_liste_aend_weg ON korvex.liste_aend",
    "DROP TRIGGER IF EXISTS kx_liste_haupt_weg ON korvex.liste_haupt",
    "DROP TRIGGER IF EXISTS kx_artlief_aend ON korvex.artlief",
    "DROP TRIGGER IF EXISTS kx_artikel_aend ON korvex.artikel",
    "DROP TRIGGER IF EXISTS kx_speicher_log_neu ON korvex.speicher_log",
    "DROP FUNCTION IF EXISTS korvex.liste_aend_loeschen(), korvex.liste_haupt_alt(), korvex.artlief_speichern(),"
    " korvex.artikel_speichern(), korvex.speicher_log_neu()",
    "DROP TRIGGER IF EXISTS kx_artliste ON korvex.artliste",
    "CREATE TRIGGER kx_artliste BEFORE INSERT OR UPDATE ON korvex.artliste FOR EACH ROW"
    " EXECUTE FUNCTION korvex.artliste_schreiben()",
    "DROP TRIGGER IF EXISTS kx_pruefen ON korvex.pruefung",
    "DROP TRIGGER IF EXISTS kx_pruefen ON korvex.pruefung_tx",
    "CREATE CONSTRAINT TRIGGER kx_pruefen AFTER INSERT ON korvex.pruefung_tx DEFERRABLE INITIALLY DEFERRED"
    " FOR EACH ROW EXECUTE FUNCTION korvex.pruefen()",

};

#undef KX_CHECK
#undef KX_FIXED

} // namespace

QStringList PgSecurityStatements() {
    return PgStatementList(kStatements) + PgDoorStatements();
}

QStringList PgTriggerNames() {
    return {QStringLiteral("kx_liste_aend_neu"),  QStringLiteral("kx_liste_aend_aend"),
            QStringLiteral("kx_liste_haupt_neu"), QStringLiteral("kx_liste_haupt_aend"),
            QStringLiteral("kx_artliste"),        QStringLiteral("kx_pruefen"),
            QStringLiteral("kx_liste_aend_nr")};
}

} // namespace kxserver
