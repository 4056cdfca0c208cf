// The doors of a secured PostgreSQL database: what a clerk's login writes through a function of
// the owner's instead of a right of its own, the rows of the lists it sees, and its grants.
#include "server/admin/PgSecuritySql.h"

namespace kxserver {

namespace {

#define KX_FIXED "SET search_path = pg_catalog, korvex, pg_temp"

const char *const kStatements[] = {
    // "Speichern": a list's pending changes logged, applied to the master data and removed, as the
    // program did with its own statements (ListSave.cpp does so on SQLite still), under a code the
    // login is mapped to in the list's company and under the list's lock, which the caller took in
    // this transaction (its raise numbers the log's rows for the live view). The time is the
    // server's, as the text the program writes (its local time, yyyy-MM-ddTHH:mm:ss): the zone is
    // the one the admin's tools made the function in, not one a session chose. A clerk's save
    // leaves its articles to the commit check; it answers the number of changes saved.
    "CREATE OR REPLACE FUNCTION korvex.speichern(p_liste bigint, p_pers text) RETURNS integer LANGUAGE plpgsql"
    " SECURITY DEFINER " KX_FIXED " SET jit = off SET TimeZone FROM CURRENT"
    " AS $f$ DECLARE v_firma bigint; v_jetzt text; v_anzahl integer; v_verwalter boolean := korvex.verwalter();"
    " BEGIN"
    " SELECT r.firma INTO v_firma FROM korvex.artliste l JOIN korvex.upd_run r ON r.id = l.run WHERE l.id = p_liste;"
    " IF NOT FOUND THEN PERFORM korvex.abgelehnt(format('Die Artikelliste %s existiert nicht.', p_liste)); END IF;"
    " IF NOT v_verwalter AND NOT korvex.darf(v_firma, p_pers) THEN PERFORM korvex.abgelehnt(format("
    "'Personalcode \"%s\" ist diesem Login in Firma %s nicht zugeordnet', p_pers, v_firma)); END IF;"
    " IF NOT EXISTS (SELECT 1 FROM korvex.artliste l WHERE l.id = p_liste AND pg_catalog.age(l.xmin) = 0) THEN"
    " PERFORM korvex.abgelehnt('Eine Artikelliste wird nur unter ihrer Sperre gespeichert.'); END IF;"
    " v_jetzt := pg_catalog.to_char(pg_catalog.statement_timestamp(), 'YYYY-MM-DD\"T\"HH24:MI:SS');"
    " SELECT count(*) INTO v_anzahl FROM korvex.liste_aend WHERE liste = p_liste AND COALESCE(aendsw, 0) <> 0;"
    " IF v_anzahl > 0 THEN"
    // The saved articles locked first in the order the commit check locks them, so that a save and
    // a clerk's commit check never wait for each other crosswise.
    " PERFORM 1 FROM korvex.artikel WHERE id IN (SELECT artikel FROM korvex.liste_aend WHERE liste = p_liste"
    " AND COALESCE(aendsw, 0) <> 0) ORDER BY id FOR NO KEY UPDATE;"
    // Logged first, while the master data still hold what the changes replace.
    " INSERT INTO korvex.speicher_log (liste, artlief, laktiv, hlief, laktiv_alt, hlief_alt, aend_pers, gesp_pers,"
    " gesp_zeit, aend_nr) SELECT o.liste, o.artlief, o.laktiv, o.hlief,"
    " CASE WHEN o.laktiv IS NULL THEN NULL ELSE al.aktiv END,"
    " CASE WHEN o.hlief IS NULL THEN NULL WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END,"
    " o.aend_pers, p_pers, v_jetzt, l.version FROM korvex.liste_aend o JOIN korvex.artliste l ON l.id = o.liste"
    " JOIN korvex.artlief al ON al.id = o.artlief JOIN korvex.artikel a ON a.id = al.artikel"
    " WHERE o.liste = p_liste AND COALESCE(o.aendsw, 0) <> 0;"
    " UPDATE korvex.artlief SET aktiv = (SELECT o.laktiv FROM korvex.liste_aend o WHERE o.liste = p_liste"
    " AND o.artlief = artlief.id), aend_pers = COALESCE(NULLIF((SELECT o.aend_pers FROM korvex.liste_aend o"
    " WHERE o.liste = p_liste AND o.artlief = artlief.id), ''), p_pers), aend_zeit = v_jetzt, gesp_pers = p_pers"
    " WHERE id IN (SELECT artlief FROM korvex.liste_aend WHERE liste = p_liste AND COALESCE(aendsw, 0) <> 0"
    " AND laktiv IS NOT NULL);"
    // The main supplier: the entry the saved changes mark with "J", who changed it the last entry's
    // changer in entry order; each change found through its entry (see ChangeJoin).
    " UPDATE korvex.artikel SET haupt_lief = (SELECT al.lieferant FROM korvex.artlief al"
    " LEFT JOIN LATERAL (SELECT * FROM korvex.liste_aend o WHERE o.artlief = al.id AND o.liste + 0 = p_liste"
    " LIMIT 1) o ON true WHERE al.artikel = artikel.id"
    " AND CASE WHEN o.hlief IS NOT NULL AND COALESCE(o.aendsw, 0) <> 0 THEN o.hlief"
    " WHEN artikel.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END = 'J' ORDER BY al.lieferant LIMIT 1),"
    " aend_pers = COALESCE((SELECT NULLIF(o.aend_pers, '') FROM korvex.artlief x"
    " JOIN LATERAL (SELECT * FROM korvex.liste_aend o WHERE o.artlief = x.id AND o.liste + 0 = p_liste LIMIT 1) o"
    " ON true WHERE x.artikel = artikel.id AND o.hlief IS NOT NULL AND COALESCE(o.aendsw, 0) <> 0"
    " ORDER BY x.id DESC LIMIT 1), p_pers), aend_zeit = v_jetzt"
    " WHERE id IN (SELECT artikel FROM korvex.liste_aend WHERE liste = p_liste AND hlief IS NOT NULL"
    " AND COALESCE(aendsw, 0) <> 0);"
    " IF NOT v_verwalter THEN INSERT INTO korvex.pruefung SELECT DISTINCT txid_current(), 0, artikel"
    " FROM korvex.liste_aend WHERE liste = p_liste AND COALESCE(aendsw, 0) <> 0 ON CONFLICT DO NOTHING; END IF;"
    " END IF;"
    " DELETE FROM korvex.liste_aend WHERE liste = p_liste;"
    " DELETE FROM korvex.liste_haupt WHERE liste = p_liste;"
    // A save that found nothing to apply is no save of this list.
    " IF v_anzahl > 0 THEN UPDATE korvex.artliste SET gesp_pers = p_pers, gesp_zeit = v_jetzt WHERE id = p_liste;"
    // Queued last: with the constraints set immediate the check runs here, after every write.
    " IF NOT v_verwalter THEN INSERT INTO korvex.pruefung_tx VALUES (txid_current()) ON CONFLICT DO NOTHING;"
    " END IF; END IF;"
    " RETURN v_anzahl; END $f$",

    // The lists of the login's companies: a clerk sees the pending changes of those only (who wrote
    // them, and when, is not another company's business). Asked once per statement; in PL/pgSQL,
    // which keeps its plan for the session (an SQL function's would be made anew each statement).
    "CREATE OR REPLACE FUNCTION korvex.meine_listen() RETURNS bigint[] LANGUAGE plpgsql STABLE SECURITY "
    "DEFINER " KX_FIXED
    " AS $f$ BEGIN RETURN (SELECT COALESCE(array_agg(l.id), '{}') FROM korvex.artliste l JOIN korvex.upd_run r"
    " ON r.id = l.run WHERE r.firma IN (SELECT z.firma FROM korvex.zugang z WHERE z.login = session_user)); END $f$",
    "ALTER TABLE korvex.liste_aend ENABLE ROW LEVEL SECURITY",
    "DROP POLICY IF EXISTS kx_firma ON korvex.liste_aend",
    "CREATE POLICY kx_firma ON korvex.liste_aend TO korvex_clerks"
    " USING (liste = ANY ((SELECT korvex.meine_listen())::bigint[]))",
    // The admin's logins act as members of the owner, who is not held to the policy.
    "DROP POLICY IF EXISTS kx_verwalter ON korvex.liste_aend",
    "CREATE POLICY kx_verwalter ON korvex.liste_aend TO korvex_owner USING (true)",

    // What a clerk may touch at all: what the program reads and the columns its steps write. Every
    // right names its columns: a right on a whole table would let its holder LOCK it (UPDATE or
    // DELETE in any mode, stalling every company's lists), column rights let no one.
    "REVOKE ALL ON ALL TABLES IN SCHEMA korvex FROM PUBLIC, korvex_clerks",
    "REVOKE ALL ON ALL SEQUENCES IN SCHEMA korvex FROM PUBLIC, korvex_clerks",
    "REVOKE ALL ON FUNCTION korvex.verwalter(), korvex.darf(bigint, text), korvex.abgelehnt(text),"
    " korvex.personal_vorhanden(integer, text), korvex.anmelden(integer, text, text),"
    " korvex.liste_aend_schreiben(), korvex.liste_haupt_neu(), korvex.artliste_schreiben(), korvex.pruefen(),"
    " korvex.liste_aend_nr(), korvex.speichern(bigint, text), korvex.meine_listen() FROM PUBLIC",
    "GRANT USAGE ON SCHEMA korvex TO korvex_clerks",
    "GRANT EXECUTE ON FUNCTION korvex.personal_vorhanden(integer, text), korvex.anmelden(integer, text, text),"
    " korvex.speichern(bigint, text), korvex.meine_listen() TO korvex_clerks",
    // Tables read whole: every column by name.
    "DO $d$ DECLARE t text; BEGIN FOREACH t IN ARRAY ARRAY['korvex_meta', 'pers_abt', 'pers_basis', 'lieferant',"
    " 'upd_run', 'upd_artikel', 'liste_aend', 'liste_haupt'] LOOP EXECUTE (SELECT format("
    "'GRANT SELECT (%s) ON korvex.%I TO korvex_clerks', string_agg(quote_ident(attname), ', '), t)"
    " FROM pg_catalog.pg_attribute WHERE attrelid = pg_catalog.to_regclass('korvex.' || t) AND attnum > 0"
    " AND NOT attisdropped); END LOOP; END $d$",
    "GRANT SELECT (id, firma, artnr, bez, haupt_lief) ON korvex.artikel TO korvex_clerks",
    "GRANT SELECT (id, artikel, lieferant, ek_cent, pe, le_einkauf, aktiv) ON korvex.artlief TO korvex_clerks",
    "GRANT SELECT (id, run, version), INSERT (run, erst_pers, erst_zeit), UPDATE (version) ON korvex.artliste"
    " TO korvex_clerks",
    "GRANT INSERT (liste, artlief, artikel, laktiv, hlief, aendsw, aend_pers, aend_zeit, aend_nr),"
    " UPDATE (laktiv, hlief, aendsw, aend_pers, aend_zeit) ON korvex.liste_aend TO korvex_clerks",
    "GRANT INSERT (liste, artikel, haupt_lief), UPDATE (haupt_lief) ON korvex.liste_haupt TO korvex_clerks",
    // The live view asks which entries a save applied since its last look: their numbers only, not
    // who changed or saved them.
    "GRANT SELECT (id, liste, artlief, aend_nr) ON korvex.speicher_log TO korvex_clerks",
    // The supplier list's tooltip shows a pair's previous and coming prices with their days; who
    // recorded them, when and from which file is the purchasing office's business.
    "GRANT SELECT (id, artlief, ek_alt, pe_alt, ek_neu, pe_neu, gueltig_ab, offen) ON korvex.preis_hist"
    " TO korvex_clerks",
    "GRANT SELECT (liste, artikel, aend_nr) ON korvex.liste_preis TO korvex_clerks",
};

#undef KX_FIXED

} // namespace

QStringList PgDoorStatements() {
    return PgStatementList(kStatements);
}

} // namespace kxserver
