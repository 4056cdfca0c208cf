// The soak under faults: several clerks' programs (korvex_soak_clerk) work on one update of one
// server at once; in the middle the PostgreSQL server is restarted and one clerk's process is killed
// and started again; on PostgreSQL now and then a commit's answer is lost on its way back (the
// clerks reach the server through a relay that cuts it), and twice an import runs while they work. Afterwards every article must be whole (one main supplier, at least one active
// one, the main one active), in the master data and in every list; every change a clerk's program
// accepted must be on the server; and no clerk's program may have ended on its own.
//
// Each clerk has its own range of articles, which only he changes: there the server must hold exactly
// the last value his program accepted for each entry. A shared range lets the clerks collide.
// KORVEX_SOAK_SECONDS and KORVEX_SOAK_CLERKS (PostgreSQL; the SQLite file gets a little less of both)
// make it longer or wider (scripts/soak.sh).

#include "CommitCutter.h"
#include "server/admin/KorvexDb.h"
#include "PgCluster.h"
#include "TestEnv.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>

namespace {

// Update 3 holds every article of the demo merchant, 100001 to 100288.
constexpr int kFirstArticle = 100001;
constexpr int kArticles = 288;
constexpr int kShared = 4;

int environmentNumber(const char *name, int fallback) {
    const int value = qEnvironmentVariableIntValue(name);
    return value > 0 ? value : fallback;
}

struct Range {
    int from, to;
    QString text() const { return QStringLiteral("%1-%2").arg(from).arg(to); }
    bool holds(int n) const { return n >= from && n <= to; }
};

// The entries' flags, by supplier entry (artlief id): "J"/"N" for Aktiv and for Hauptlieferant.
struct Flags {
    QString a, h;
};

const char *const kFigureNames[] = {"clicks",  "accepted", "saves", "undos", "takeall",  "picks", "reconnects",
                                    "retries", "lost",     "fresh", "busy",  "refusals", "other", "errors"};

class Soak : public ::testing::Test {
protected:
    struct Setup {
        const char *backend;
        QString server, port;
        int clerks, seconds;
        korvextest::PgCluster *restart = nullptr; // the server restarted in the middle
        soak::CommitCutter *cutter = nullptr;      // between the clerks and the server: loses answers
        QStringList importTarget;                  // how korvex-db names the server
    };
    void soak(const Setup &setup);

    std::function<QSqlDatabase()> open;

private:
    struct Process {
        std::unique_ptr<QProcess> process;
        QString log;
        bool killed = false;
    };
    QList<QVariantList> rows(const QString &sql);
    std::unique_ptr<QProcess> startClerk(const Setup &setup, int clerk, int seconds, unsigned seed, const QString &log);
    std::vector<QString> wholeArticleViolations();
    std::map<QString, Flags> listFlags(const QString &where);
    std::unique_ptr<QProcess> startImport(const Setup &setup, const QString &file);
};

QList<QVariantList> Soak::rows(const QString &sql) {
    QList<QVariantList> result;
    QSqlDatabase db = open();
    {
        QSqlQuery query(db);
        EXPECT_TRUE(query.exec(sql)) << query.lastError().text().toStdString() << "\n" << sql.toStdString();
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row << query.value(i);
            result << row;
        }
    }
    const QString name = db.connectionName();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
    return result;
}

// Articles that are not whole, in the master data ("-") and in each list ("list <id>").
std::vector<QString> Soak::wholeArticleViolations() {
    const QList<QVariantList> entries =
        rows("SELECT '-', CAST(a.firma AS TEXT) || ' ' || a.artnr, al.aktiv, CASE WHEN a.haupt_lief = al.lieferant "
             "THEN 'J' ELSE 'N' END"
             " FROM artikel a LEFT JOIN artlief al ON al.artikel = a.id"
             " UNION ALL SELECT 'list ' || CAST(l.id AS TEXT), CAST(a.firma AS TEXT) || ' ' || u.artnr, "
             "COALESCE(o.laktiv, al.aktiv),"
             " COALESCE(o.hlief, CASE WHEN a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END)"
             " FROM artliste l JOIN upd_artikel u ON u.run = l.run JOIN artikel a ON a.id = u.artikel"
             " LEFT JOIN artlief al ON al.artikel = u.artikel"
             " LEFT JOIN liste_aend o ON o.liste = l.id AND o.artlief = al.id");
    struct Article {
        int mains = 0, active = 0, activeMains = 0;
    };
    std::map<QString, Article> articles;
    for (const QVariantList &e : entries) {
        Article &article = articles[e[0].toString() + QStringLiteral(" article ") + e[1].toString()];
        const bool active = e[2].toString() == QLatin1String("J"), main = e[3].toString() == QLatin1String("J");
        article.active += active;
        article.mains += main;
        article.activeMains += active && main;
    }
    std::vector<QString> violations;
    for (const auto &[where, a] : articles)
        if (a.mains != 1 || a.active < 1 || a.activeMains != 1)
            violations.push_back(QStringLiteral("%1: %2 main, %3 active").arg(where).arg(a.mains).arg(a.active));
    return violations;
}

// The entries of update 3's articles as its list shows them (the master data before the list exists).
std::map<QString, Flags> Soak::listFlags(const QString &where) {
    std::map<QString, Flags> flags;
    for (const QVariantList &e :
         rows("SELECT CAST(al.id AS TEXT), COALESCE(o.laktiv, al.aktiv), COALESCE(o.hlief, CASE WHEN"
              " a.haupt_lief = al.lieferant THEN 'J' ELSE 'N' END), u.artnr"
              " FROM upd_run r JOIN upd_artikel u ON u.run = r.id JOIN artikel a ON a.id = u.artikel"
              " JOIN artlief al ON al.artikel = u.artikel LEFT JOIN artliste l ON l.run = r.id"
              " LEFT JOIN liste_aend o ON o.liste = l.id AND o.artlief = al.id WHERE r.firma = 1 AND r.nr = 3" +
              where))
        flags[e[0].toString()] = {e[1].toString(), e[2].toString()};
    return flags;
}

std::unique_ptr<QProcess> Soak::startClerk(const Setup &setup, int clerk, int seconds, unsigned seed,
                                           const QString &log) {
    const int span = std::min(40, (kArticles - kShared) / setup.clerks);
    const Range own{kFirstArticle + clerk * span, kFirstArticle + (clerk + 1) * span - 1};
    const Range shared{kFirstArticle + setup.clerks * span, kFirstArticle + setup.clerks * span + kShared - 1};
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString port = setup.cutter ? QString::number(setup.cutter->port()) : setup.port;
    process->start(QStringLiteral(KORVEX_SOAK_CLERK),
                   {setup.server, port, QStringLiteral("3"), QString::number(seconds), QString::number(seed),
                    own.text(), shared.text(), log});
    QByteArray out;
    while (!out.contains("ready\n") && process->waitForReadyRead(120000))
        out += process->readAllStandardOutput();
    EXPECT_TRUE(out.contains("ready\n")) << setup.backend << " clerk " << clerk << " did not come up: " << out.data();
    return process;
}

// An import of every supplier pair of update 3's articles with the prices they have: it changes
// nothing, but takes its locks and checks every list while the clerks work.
std::unique_ptr<QProcess> Soak::startImport(const Setup &setup, const QString &file) {
    QFile csv(file);
    EXPECT_TRUE(csv.open(QIODevice::WriteOnly | QIODevice::Truncate)) << file.toStdString();
    csv.write("Artikel-Nr;Lieferant-Nr;EK-Netto;per\n");
    for (const QVariantList &row :
         rows("SELECT a.artnr, f.liefnr, al.ek_cent, al.pe FROM upd_run r JOIN upd_artikel u ON u.run = r.id"
              " JOIN artikel a ON a.id = u.artikel JOIN artlief al ON al.artikel = a.id"
              " JOIN lieferant f ON f.id = al.lieferant WHERE r.firma = 1 AND r.nr = 3 ORDER BY a.artnr, f.liefnr")) {
        const qint64 cents = row[2].toLongLong();
        csv.write(QStringLiteral("%1;%2;%3,%4;\"%5\"\n")
                      .arg(row[0].toString(), row[1].toString())
                      .arg(cents / 100)
                      .arg(cents % 100, 2, 10, QLatin1Char('0'))
                      .arg(row[3].toString().replace(QLatin1Char('"'), QStringLiteral("\"\"")))
                      .toUtf8());
    }
    csv.close();
    auto process = std::make_unique<QProcess>();
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(QStringLiteral(KORVEX_DB_TOOL),
                   QStringList{QStringLiteral("import")} + setup.importTarget + QStringList{"artlief=" + file});
    EXPECT_TRUE(process->waitForStarted()) << setup.backend << ": korvex-db import did not start";
    return process;
}

// What the clerk's logs say his program accepted, entry by entry, on top of `flags`. A change whose
// connection broke under it ("lost"), and the one a killed process had begun and not reported, may
// or may not have been stored: `maybe` gets them.
void applyLogs(const QStringList &logs, const std::set<QString> &killed, std::map<QString, Flags> &flags,
               std::map<QString, Flags> &maybe, std::set<QString> &accepted) {
    // Each change as "pair:a|h:J|N"; sets the flag it names in `into` to its value (or to `value`).
    const auto set = [](std::map<QString, Flags> &into, const QString &change, const QString *value = nullptr) {
        const QStringList part = change.split(QLatin1Char(':'));
        (part[1] == QLatin1String("a") ? into[part[0]].a : into[part[0]].h) = value ? *value : part[2];
    };
    const QString none;
    for (const QString &path : logs) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        QStringList open;
        for (const QByteArray &raw : file.readAll().split('\n')) {
            const QStringList words = QString::fromLatin1(raw).split(QLatin1Char(' '), Qt::SkipEmptyParts);
            const QString word = words.value(0);
            if (word == QLatin1String("try"))
                open = words.mid(3);
            for (const QString &change : std::as_const(open)) {
                if (word == QLatin1String("ok")) {
                    set(flags, change);
                    set(maybe, change, &none);
                    accepted.insert(change.section(QLatin1Char(':'), 0, 0));
                } else if (word == QLatin1String("lost")) {
                    set(maybe, change);
                }
            }
            if (word == QLatin1String("ok") || word == QLatin1String("no") || word == QLatin1String("lost"))
                open.clear();
        }
        EXPECT_TRUE(open.isEmpty() || killed.count(path)) << "an unfinished change in " << path.toStdString();
        for (const QString &change : std::as_const(open))
            set(maybe, change);
    }
}

void Soak::soak(const Setup &setup) {
    {
        const std::vector<QString> violations = wholeArticleViolations();
        ASSERT_TRUE(violations.empty()) << "the demo data are not whole: " << violations.front().toStdString() << " ("
                                        << violations.size() << ")";
    }
    // Proposals only for the shared articles: "Alle Vorschläge" by one clerk never touches another's
    // own articles, whose every entry the checks below know.
    {
        const int span = std::min(40, (kArticles - kShared) / setup.clerks);
        const Range shared{kFirstArticle + setup.clerks * span, kFirstArticle + setup.clerks * span + kShared - 1};
        const QString run = QStringLiteral("run = (SELECT id FROM upd_run WHERE firma = 1 AND nr = 3)");
        rows(QStringLiteral("UPDATE upd_artikel SET velka_lief = NULL WHERE %1 AND artnr NOT BETWEEN '%2' AND '%3'")
                 .arg(run)
                 .arg(shared.from)
                 .arg(shared.to));
        rows(QStringLiteral("UPDATE upd_artikel SET velka_lief = (SELECT MAX(al.lieferant) FROM artlief al WHERE"
                            " al.artikel = upd_artikel.artikel) WHERE %1 AND artnr BETWEEN '%2' AND '%3'")
                 .arg(run)
                 .arg(shared.from)
                 .arg(shared.to));
    }
    const std::map<QString, Flags> before = listFlags({});
    const QString dir = korvextest::TempDir();

    // The clerks, each with his own log; clerk 0 is killed in the middle and started again.
    std::vector<std::vector<Process>> clerks(size_t(setup.clerks));
    for (int c = 0; c < setup.clerks; ++c) {
        const QString log = QDir(dir).filePath(QStringLiteral("%1-clerk%2-0.log").arg(setup.backend).arg(c));
        QFile::remove(log);
        clerks[size_t(c)].push_back({startClerk(setup, c, setup.seconds, unsigned(c + 1), log), log});
        ASSERT_FALSE(HasFailure());
    }
    QElapsedTimer clock;
    clock.start();
    const qint64 total = setup.seconds * 1000LL;
    // Waits until `ms` from the start, or until a clerk ends early (which the checks below report).
    const auto until = [&](qint64 ms) {
        for (auto &generations : clerks)
            if (generations.back().process->state() != QProcess::NotRunning && clock.elapsed() < ms)
                generations.back().process->waitForFinished(int(ms - clock.elapsed()));
    };
    const auto acceptedSoFar = [&] {
        int n = 0;
        for (const auto &generations : clerks)
            for (const Process &p : generations) {
                QFile file(p.log);
                if (file.open(QIODevice::ReadOnly))
                    n += int(file.readAll().count("\nok "));
            }
        return n;
    };
    // Now and then the next commit's answer is lost; twice an import runs while the clerks work.
    const auto arm = [&](int percent) {
        until(total * percent / 100);
        if (setup.cutter)
            setup.cutter->arm();
    };
    std::vector<std::unique_ptr<QProcess>> imports;
    arm(10);
    until(total * 25 / 100);
    imports.push_back(startImport(setup, QDir(dir).filePath(QStringLiteral("%1-import-1.csv").arg(setup.backend))));
    arm(35);
    int acceptedAtRestart = 0;
    if (setup.restart) {
        until(total * 45 / 100);
        acceptedAtRestart = acceptedSoFar();
        ASSERT_TRUE(setup.restart->restartServer()) << setup.restart->error().toStdString();
    }
    until(total * 55 / 100);
    {
        Process &victim = clerks[0].back();
        // A clerk that ended before is reported with the others below.
        if (victim.process->state() != QProcess::NotRunning) {
            victim.process->kill(); // SIGKILL
            ASSERT_TRUE(victim.process->waitForFinished(10000));
            victim.killed = true;
        }
        const QString log = QDir(dir).filePath(QStringLiteral("%1-clerk0-1.log").arg(setup.backend));
        QFile::remove(log);
        const int rest = std::max(1, int((total - clock.elapsed()) / 1000));
        clerks[0].push_back({startClerk(setup, 0, rest, 1000u, log), log});
        ASSERT_FALSE(HasFailure());
    }
    arm(65);
    until(total * 75 / 100);
    imports.push_back(startImport(setup, QDir(dir).filePath(QStringLiteral("%1-import-2.csv").arg(setup.backend))));
    arm(80);
    arm(90);

    // Every clerk's program ends by itself ("Beenden") with exit code 0 and no error box.
    std::map<QString, int> figures;
    for (int c = 0; c < setup.clerks; ++c) {
        for (Process &p : clerks[size_t(c)]) {
            if (p.killed)
                continue;
            EXPECT_TRUE(p.process->waitForFinished(int(total + 120000)));
            const QString out = QString::fromLatin1(p.process->readAllStandardOutput());
            EXPECT_EQ(p.process->exitStatus(), QProcess::NormalExit) << setup.backend << " clerk " << c;
            EXPECT_EQ(p.process->exitCode(), 0) << setup.backend << " clerk " << c << ":\n" << out.toStdString();
            for (const QString &line : out.split(QLatin1Char('\n')))
                if (line.contains(QLatin1Char(' ')))
                    figures[line.section(QLatin1Char(' '), 0, 0)] += line.section(QLatin1Char(' '), 1).toInt();
        }
    }
    for (const auto &import : imports) {
        EXPECT_TRUE(import->waitForFinished(120000));
        EXPECT_EQ(import->exitCode(), 0) << setup.backend << ": the import failed:\n"
                                         << import->readAll().toStdString();
    }
    if (setup.cutter) {
        EXPECT_GT(setup.cutter->cuts(), 0) << "no commit's answer was lost";
        EXPECT_GT(figures["lost"], 0) << "no step was told as lost";
    }
    EXPECT_EQ(figures["errors"], 0) << setup.backend << ": a program ended with a box";
    EXPECT_EQ(figures["other"], 0) << setup.backend << ": unexpected boxes (see the clerks' output above)";
    EXPECT_GT(figures["accepted"], 0);
    if (setup.restart) {
        EXPECT_GT(acceptedSoFar(), acceptedAtRestart) << "nothing was accepted after the server's restart";
    }

    std::printf("[ figures  ] %s, %d clerks, %d s:", setup.backend, setup.clerks, setup.seconds);
    for (const char *name : kFigureNames)
        std::printf(" %s %d", name, figures[name]);
    if (setup.cutter)
        std::printf(" answers-lost %d", setup.cutter->cuts());
    std::printf("\n");
    std::fflush(stdout);

    // Every article whole, everywhere.
    for (const QString &violation : wholeArticleViolations())
        ADD_FAILURE() << setup.backend << ": " << violation.toStdString();

    // Each clerk's own articles hold exactly what his program last accepted.
    const std::map<QString, Flags> after = listFlags({});
    std::set<QString> accepted, changedOwn;
    const int span = std::min(40, (kArticles - kShared) / setup.clerks);
    for (int c = 0; c < setup.clerks; ++c) {
        QStringList logs;
        std::set<QString> killed;
        for (const Process &p : clerks[size_t(c)]) {
            logs << p.log;
            if (p.killed)
                killed.insert(p.log);
        }
        std::map<QString, Flags> expected = before, maybe;
        applyLogs(logs, killed, expected, maybe, accepted);
        const Range own{kFirstArticle + c * span, kFirstArticle + (c + 1) * span - 1};
        const std::map<QString, Flags> mine =
            listFlags(QStringLiteral(" AND u.artnr BETWEEN '%1' AND '%2'").arg(own.from).arg(own.to));
        // The clerk's log lines that name an entry, for a failure's message.
        const auto history = [&logs](const QString &pair) {
            std::string lines;
            for (const QString &path : logs) {
                QFile file(path);
                if (!file.open(QIODevice::ReadOnly))
                    continue;
                QByteArray seq; // of the last change that named the entry; its outcome follows
                for (const QByteArray &line : file.readAll().split('\n')) {
                    const QList<QByteArray> words = line.split(' ');
                    if (line.contains(' ' + pair.toLatin1() + ':'))
                        seq = words.value(1);
                    else if (words.size() != 2 || words.value(1) != seq)
                        continue;
                    lines += '\n' + line.toStdString();
                }
            }
            return lines;
        };
        for (const auto &[pair, now] : mine) {
            const Flags &want = expected[pair], &or_ = maybe[pair];
            // Away from where it started, an entry's change is saved or waits to be; taken back,
            // it is no change.
            const auto first = before.find(pair);
            if (or_.a.isEmpty() && or_.h.isEmpty() && first != before.end() &&
                (want.a != first->second.a || want.h != first->second.h))
                changedOwn.insert(pair);
            EXPECT_TRUE(now.a == want.a || now.a == or_.a)
                << setup.backend << " clerk " << c << " entry " << pair.toStdString() << ": Aktiv "
                << now.a.toStdString() << ", accepted " << want.a.toStdString() << history(pair);
            EXPECT_TRUE(now.h == want.h || now.h == or_.h)
                << setup.backend << " clerk " << c << " entry " << pair.toStdString() << ": Hauptlieferant "
                << now.h.toStdString() << ", accepted " << want.h.toStdString() << history(pair);
        }
    }
    // Every entry a change was accepted for is in the list's changes or was saved.
    std::set<QString> kept;
    for (const QVariantList &row : rows("SELECT CAST(artlief AS TEXT) FROM liste_aend WHERE COALESCE(aendsw, 0) <> 0"
                                        " UNION SELECT CAST(artlief AS TEXT) FROM speicher_log"))
        kept.insert(row[0].toString());
    for (const QString &pair : changedOwn)
        EXPECT_TRUE(kept.count(pair)) << setup.backend << ": the accepted change of entry " << pair.toStdString()
                                      << " is neither in the list nor in speicher_log";
    EXPECT_FALSE(accepted.empty());
    EXPECT_EQ(after.size(), before.size());
}

TEST_F(Soak, ClerksOnPostgresThroughARestartAndAKilledClerk) {
    korvextest::PgCluster cluster;
    ASSERT_TRUE(cluster.start()) << cluster.error().toStdString();
    cluster.setClientEnvironment();
    kxserver::DbTarget target{kxserver::Backend::Postgres, {}, cluster.host(), cluster.port()};
    ASSERT_NO_THROW(kxserver::CreateDatabase(target, {true, 0}, true));
    open = [&cluster] {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QUuid::createUuid().toString());
        db.setHostName(cluster.host());
        db.setPort(cluster.port());
        db.setDatabaseName(QStringLiteral("korvex"));
        db.setUserName(cluster.user());
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
        return db;
    };
    soak::CommitCutter cutter(cluster.port());
    soak({"PostgreSQL", cluster.host(), QString::number(cluster.port()), environmentNumber("KORVEX_SOAK_CLERKS", 4),
          environmentNumber("KORVEX_SOAK_SECONDS", 40), &cluster, &cutter,
          {QStringLiteral("--pg"), QStringLiteral("%1:%2").arg(cluster.host()).arg(cluster.port())}});
}

TEST_F(Soak, ClerksOnOneSqliteFileWithAKilledClerk) {
    const QString path = QDir(korvextest::TempDir()).filePath(QStringLiteral("soak.sqlite"));
    ASSERT_NO_THROW(kxserver::CreateDemoDatabase(path));
    open = [path] {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QUuid::createUuid().toString());
        db.setDatabaseName(path);
        EXPECT_TRUE(db.open()) << db.lastError().text().toStdString();
        return db;
    };
    soak({"SQLite", path, QStringLiteral("1972"), std::max(2, environmentNumber("KORVEX_SOAK_CLERKS", 4) - 1),
          environmentNumber("KORVEX_SOAK_SECONDS", 40) * 5 / 8, nullptr, nullptr, {path}});
}

} // namespace
