// One clerk of the soak: the program's real main window, headless, logged in through the command
// line to the given server, walking a seeded random walk through one update's articles: pick an
// article, tick "Hauptlieferant" of another active supplier, switch "Aktiv", take all proposals,
// "Rückgängig", "Speichern", pick the update again. Every action runs through the window's own handler inside the
// handler guard; the event loop turns between actions, so the live view and the idle disconnect run.
//
// The log file gets "try <n> <kind> <pair>:<a|h>:<J|N> ..." before an action that writes and
// "ok <n>" (accepted: no box during it, the screen shows the write), "no <n>", or "lost <n>" (the
// connection broke under it, so the server may or may not have it) after it, flushed at once: a clerk
// killed in between leaves at most one open "try". The counts go to stdout at the end.
//
// Usage: korvex_soak_clerk SERVER PORT UPDATE SECONDS SEED OWN_FROM-OWN_TO SHARED_FROM-SHARED_TO LOG

#include "session/CacheApi.h"
#include "app/FMStart.h"
#include "FakeLoginForms.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"
#include "LiveDesktop.h"
#include "app/review/MainConstants.h"
#include "server/classes/SqlFactory.h"
#include "text/TextHelpers.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <map>
#include <random>
#include <vector>

using namespace cacheapi;

namespace {

// The idle disconnect of the program is 30 seconds; the clerk's stand-in of the settings dialog
// drops the connection sooner, so that a soak of a minute sees it often.
constexpr int kIdleMs = 1500;

const QString kStale = QStringLiteral("Der Artikel wurde inzwischen an einem anderen Arbeitsplatz geändert. Die "
                                      "Anzeige ist jetzt aktuell; bitte prüfen Sie die Änderung erneut.");
// After a step cut off with its connection, the next change first shows the server's state.
const QString kAfterLoss = QStringLiteral("Die Verbindung zum Server war unterbrochen;");
// Another workstation (a clerk's unit, an import) held the list longer than the server waits.
const QString kBusy = QStringLiteral("Die Daten werden gerade an einem anderen Arbeitsplatz geändert.");
const QStringList kRefusals{QStringLiteral("Hauptlieferant muss aktiv sein"),
                            QStringLiteral("Ein Lieferant muss Aktiv sein"),
                            QStringLiteral("Ein Lieferant muss Hauptlieferant sein")};

struct Counts {
    int clicks = 0, saves = 0, undos = 0, picks = 0, accepted = 0, connects = 0;
    int retries = 0, lost = 0, fresh = 0, refusals = 0, other = 0, errors = 0, busy = 0, takeAll = 0;
    int proposals = 0; // the question and the report of "Alle Vorschläge", which belong to it
    int boxes() const { return retries + lost + fresh + refusals + other + errors + busy; }
};
Counts counts;

// The boxes, sorted and answered as a clerk answers them. A box asking to check the connection is
// read for a moment before "OK", so the program's next attempt comes a little later.
class ClerkDesktop : public LiveDesktop {
public:
    Answer messageBox(const QString &title, const QString &text, Buttons buttons, Icon) override {
        if (text.startsWith(QLatin1String("Server nicht erreicht"))) {
            ++counts.retries;
            TurnEventLoop(1500);
        } else if (title == QStringLiteral("Caché Zugriffsfehler") &&
                   text.startsWith(QLatin1String("Vorgang: Serverzugriff."))) {
            // A step under way when the server went away (1008, or 1009 for a server shutting
            // down): the program shows this box only when its connection is gone afterwards.
            ++counts.lost;
        } else if (text == kStale || text.startsWith(kAfterLoss)) {
            ++counts.fresh;
        } else if (text.startsWith(kBusy)) {
            ++counts.busy;
        } else if (title == kEditTitle &&
                   (text.contains(QStringLiteral(" Artikel übernehmen? ")) ||
                    text.contains(QStringLiteral(" Vorschläge übernommen.")) ||
                    text == QStringLiteral("Es gibt keinen abweichenden Vorschlag."))) {
            ++counts.proposals;
        } else if (kRefusals.contains(text)) {
            ++counts.refusals;
        } else if (text.startsWith(QLatin1String("Laufzeitfehler")) || text.startsWith(QLatin1String("Server nach"))) {
            ++counts.errors;
            std::fprintf(stderr, "clerk error box: %s: %s\n", qUtf8Printable(title), qUtf8Printable(text));
        } else {
            ++counts.other;
            std::fprintf(stderr, "clerk other box: %s: %s\n", qUtf8Printable(title), qUtf8Printable(text));
        }
        return buttons == Buttons::YesNo ? Answer::Yes : Answer::Ok;
    }
};

// The login dialogs' fields as plain strings, with a real idle timer as the settings dialog has.
class ClerkForms : public FakeLoginForms {
public:
    ClerkForms() {
        m_idle.setSingleShot(true);
        m_idle.setInterval(kIdleMs);
        QObject::connect(&m_idle, &QTimer::timeout, [] { RunHandler([] { Lock_Timer(); }); });
    }
    void startLock() override {
        FakeLoginForms::startLock();
        m_idle.start();
    }
    void stopLock() override {
        FakeLoginForms::stopLock();
        m_idle.stop();
    }

private:
    QTimer m_idle;
};

struct Range {
    int from = 0, to = -1;
    bool holds(int n) const { return n >= from && n <= to; }
};
Range rangeOf(const QString &text) {
    return {text.section(QLatin1Char('-'), 0, 0).toInt(), text.section(QLatin1Char('-'), 1, 1).toInt()};
}

struct Change {
    QString pair;
    char field; // 'a' laktiv, 'h' hlief
    bool on;
};
using Step = std::vector<Change>;
// A step as "Rückgängig" takes it back: the clerk's own changes, or all proposals taken (which only
// touch the shared articles, whose entries no clerk's log names).
struct UndoStep {
    Step before;
    bool all = false;
};

class Clerk {
public:
    Clerk(FMStart &window, QFile &log, unsigned seed) : w(window), m_log(log), m_random(seed) {}

    bool pickUpdate(const QString &number);
    void walk(qint64 ms, Range own, Range shared);

private:
    FMStart &w;
    QFile &m_log;
    std::mt19937 m_random;
    std::map<int, int> m_rows; // article number -> row of liart
    std::vector<UndoStep> m_undo; // what "Rückgängig" puts back, as the window's own stack
    QString m_update;
    int m_seq = 0;

    int below(int n) { return int(m_random() % unsigned(n)); }
    void write(const QByteArray &line) {
        m_log.write(line + '\n');
        m_log.flush();
    }
    // Runs the handler; true when no box other than a connection retry came meanwhile.
    bool run(const std::function<void()> &handler) {
        const int before = counts.boxes() - counts.retries;
        RunHandler(handler);
        return !ProgramEnded() && counts.boxes() - counts.retries == before;
    }
    bool writes(const char *kind, const Step &step, const std::function<void()> &handler,
                const std::function<bool()> &shown);
    int currentArticle() const {
        const int r = w.liart->currentRow();
        return r < 0 ? 0 : Piece(w.liart->rowText(r), kLF, 1).toInt();
    }
    QString pair(int row) const { return w.lilief->hiddenText(row).section(QStringLiteral("||"), 1); }
    void pickArticle(int number);
    void tickMain();
    void switchActive();
    void takeAll();
    void undo();
    // After a click: the step goes on the model's stack when the window's stack took it.
    void recordStep(bool accepted, int depthBefore, UndoStep step);
};

bool Clerk::pickUpdate(const QString &number) {
    for (int row = 0; row < w.liupdate->rowCount(); ++row) {
        if (Piece(w.liupdate->rowText(row), kLF, 1) != number)
            continue;
        m_update = number;
        w.liupdate->setCurrentRow(row);
        ++counts.picks;
        run([this] { w.liupdate_Click(); });
        run([this] { w.Timer1_Timer(); }); // as the combo's timer runs it
        m_undo.clear();
        m_rows.clear();
        for (int r = 0; r < w.liart->rowCount(); ++r)
            m_rows[Piece(w.liart->rowText(r), kLF, 1).toInt()] = r;
        return !ProgramEnded() && !m_rows.empty();
    }
    return false;
}

bool Clerk::writes(const char *kind, const Step &step, const std::function<void()> &handler,
                   const std::function<bool()> &shown) {
    const int seq = ++m_seq;
    QByteArray line = "try " + QByteArray::number(seq) + ' ' + kind;
    for (const Change &c : step)
        line += ' ' + c.pair.toLatin1() + ':' + c.field + ':' + (c.on ? 'J' : 'N');
    write(line);
    const int lost = counts.lost;
    const bool accepted = run(handler) && shown();
    if (ProgramEnded())
        return false; // a failed end leaves the "try" open; the test fails the clerk anyway
    // A commit whose answer never came may or may not have been stored.
    write((accepted ? "ok " : counts.lost != lost ? "lost " : "no ") + QByteArray::number(seq));
    counts.accepted += accepted ? 1 : 0;
    return accepted;
}

void Clerk::pickArticle(int number) {
    const auto it = m_rows.find(number);
    if (it == m_rows.end())
        return;
    w.liart->setCurrentRow(it->second);
    ++counts.picks;
    run([this] { w.lief_such(); });
}

void Clerk::tickMain() {
    KxList *list = w.lilief;
    std::vector<int> candidates;
    for (int i = 0; i < list->rowCount(); ++i)
        if (list->checkState(i, kHauptlieferant) == 0 && list->checkState(i, kAktiv) > 0)
            candidates.push_back(i);
    if (candidates.empty())
        return;
    const int row = candidates[size_t(below(int(candidates.size())))];
    const int articleRow = w.liart->currentRow();
    const QString supplier = Piece(list->rowText(row), kLF, 1);
    Step step, before;
    for (int i = 0; i < list->rowCount(); ++i) {
        step.push_back({pair(i), 'h', i == row});
        before.push_back({pair(i), 'h', list->checkState(i, kHauptlieferant) > 0});
    }
    ++counts.clicks;
    // As the list reports a click: the cell takes the new state, then the handler runs.
    list->setCheckState(row, kHauptlieferant, 1);
    const int depth = w.undoDepth();
    const bool accepted = writes(
        "main", step, [this, row] { w.lilief_CheckCell(row, kHauptlieferant, 1); },
        [&] { return Piece(w.liart->rowText(articleRow), kLF, 3) == supplier; });
    recordStep(accepted, depth, {before});
}

void Clerk::recordStep(bool accepted, int depthBefore, UndoStep step) {
    // A stored change is on the window's stack, also when a box came after its commit (the refresh
    // meeting the server's restart): the stack tells, not the box. An accepted change that did not
    // go there could not be taken back.
    if (w.undoDepth() > depthBefore)
        m_undo.push_back(std::move(step));
    else if (accepted)
        std::fprintf(stderr, "clerk: an accepted change is not on the undo stack\n"), ++counts.other;
}

void Clerk::takeAll() {
    const int depth = w.undoDepth();
    writes(
        "all", {}, [this] { w.AlleVorschlaege_Click(); }, [] { return true; });
    if (w.undoDepth() > depth)
        m_undo.push_back({{}, true});
    ++counts.takeAll;
}

void Clerk::undo() {
    if (w.mRueckgaengig->isEnabled() != !m_undo.empty() || w.undoDepth() != int(m_undo.size()))
        std::fprintf(stderr, "clerk: the undo stack and the menu disagree\n"), ++counts.other;
    if (m_undo.empty())
        return;
    const int depth = w.undoDepth();
    if (writes(
            "undo", m_undo.back().before, [this] { w.Rueckgaengig_Click(); }, [] { return true; }))
        ++counts.undos;
    // Taken back, or left by the program because another workstation changed the step's articles
    // since (this clerk's own steps hold one article each; all proposals may keep some of theirs).
    if (w.undoDepth() < depth)
        m_undo.pop_back();
}

void Clerk::switchActive() {
    KxList *list = w.lilief;
    if (list->rowCount() == 0)
        return;
    const int row = below(list->rowCount());
    const int article = currentArticle();
    const bool on = list->checkState(row, kAktiv) == 0;
    const QString id = list->hiddenText(row);
    ++counts.clicks;
    list->setCheckState(row, kAktiv, on ? 1 : 0);
    const int depth = w.undoDepth();
    const bool accepted = writes(
        "aktiv", {{pair(row), 'a', on}}, [this, row, on] { w.lilief_CheckCell(row, kAktiv, on ? 1 : 0); },
        [&] {
            return currentArticle() == article && w.lilief->hiddenText(row) == id &&
                   (w.lilief->checkState(row, kAktiv) > 0) == on;
        });
    recordStep(accepted, depth, {{{pair(row), 'a', !on}}});
}

void Clerk::walk(qint64 ms, Range own, Range shared) {
    QElapsedTimer running;
    running.start();
    while (running.elapsed() < ms && !ProgramEnded()) {
        const int article = currentArticle();
        const bool mine = own.holds(article) || shared.holds(article);
        const int dice = below(100);
        if (dice < 30 || !mine) {
            const Range &from = below(10) < 7 ? own : shared;
            pickArticle(from.from + below(from.to - from.from + 1));
        } else if (dice < 60) {
            tickMain();
        } else if (dice < 85) {
            switchActive();
        } else if (dice < 91) {
            undo();
        } else if (dice < 93) {
            takeAll();
        } else if (dice < 97) {
            if (w.BUSpeich->isEnabled() && run([this] { w.BUSpeich_Click(); })) {
                ++counts.saves;
                m_undo.clear();
                write("save");
            }
        } else {
            pickUpdate(m_update);
        }
        // The clerk looks at the screen; now and then long enough for the idle disconnect.
        TurnEventLoop(below(40) == 0 ? kIdleMs + 300 : 30 + below(250));
    }
}

} // namespace

int main(int argc, char **argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir home;
    ::setenv("XDG_CONFIG_HOME", qPrintable(home.filePath(QStringLiteral("config"))), 1);
    ::setenv("XDG_DATA_HOME", qPrintable(home.filePath(QStringLiteral("data"))), 1);
    QApplication app(argc, argv);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() != 8) {
        std::fprintf(stderr, "usage: korvex_soak_clerk SERVER PORT UPDATE SECONDS SEED OWN SHARED LOG\n");
        return 2;
    }
    QFile log(args[7]);
    if (!log.open(QIODevice::WriteOnly | QIODevice::Append))
        return 2;

    SetSettingsFile(home.filePath(QStringLiteral("Cache Login.ini")));
    ClerkDesktop desktop;
    ClerkForms forms;
    gDesktop = &desktop;
    gForms = &forms;
    gFactoryMaker = [] {
        ++counts.connects;
        return MakeSqlFactory();
    };
    SetProgramArguments({"1", "0", "DEMO", "demo", args[0], args[1], "KORVEX"});
    int code = 0;
    {
        FMStart window;
        RunHandler([&window] { window.Form_Load(); });
        Clerk clerk(window, log, args[4].toUInt());
        if (!ProgramEnded() && clerk.pickUpdate(args[2])) {
            std::printf("ready\n");
            std::fflush(stdout);
            clerk.walk(args[3].toLongLong() * 1000, rangeOf(args[5]), rangeOf(args[6]));
        }
        code = ProgramEnded() ? 1 : 0;
        RunHandler([&window] { window.Beenden_Click(); }); // "Datei → Beenden", as the clerk ends
        code = EndedByError() ? 1 : code;
    }
    std::printf("clicks %d\nsaves %d\nundos %d\ntakeall %d\npicks %d\naccepted %d\nreconnects %d\nretries %d\n"
                "lost %d\nfresh %d\nbusy %d\nrefusals %d\nother %d\nerrors %d\n",
                counts.clicks, counts.saves, counts.undos, counts.takeAll, counts.picks, counts.accepted,
                std::max(0, counts.connects - 1), counts.retries, counts.lost, counts.fresh, counts.busy,
                counts.refusals, counts.other, counts.errors);
    std::fflush(stdout);
    return code;
}
