#pragma once

// The main window against the stand-in server: a fresh demo database per test, the recording
// desktop, the scripted dialogs and the command-line login "1 0 DEMO demo <db> 1972 KORVEX".

#include "session/CacheApi.h"
#include "app/FMStart.h"
#include "FakeDesktop.h"
#include "FakeLoginForms.h"
#include "QtPrinters.h"

#include <QStringList>
#include <QVariant>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

class KxList;

// Every call the program makes on its factories, cursors and objects, in order ("openQuery Artikel",
// "execute Artikel", "openId <id>", "set hlief=J", "call sys_Save", "beginUnit", "connected", ...).
// A hook sees each call before it reaches the server and may throw to inject a failure; a filter may
// replace a column value a query delivers.
struct ServerLog {
    QStringList calls;
    std::function<void(const QString &call)> beforeCall;
    std::function<std::optional<QVariant>(const QString &query, int column, const QVariant &value)> columnFilter;

    // The calls from `from` on, without the "connected" checks of ConnectServer.
    QStringList work(qsizetype from = 0) const;
    // Makes the n-th call equal to `call` (counted from now) throw a server error.
    void failOn(const QString &call, int nth, int number, const QString &description);
};

// The real factory of the stand-in server, wrapped so that the log sees everything.
cacheapi::FactoryPtr MakeRecordingFactory(std::shared_ptr<ServerLog> log);

// Direct SQL on the test's database file, for setting up odd data and for reading back what the
// server holds. Each call opens and closes its own connection.
class Sql {
public:
    explicit Sql(QString path) : m_path(std::move(path)) {}
    void exec(const QString &sql, const QVariantList &values = {}) const;
    QList<QVariantList> rows(const QString &sql, const QVariantList &values = {}) const;
    QVariant value(const QString &sql, const QVariantList &values = {}) const;

private:
    QString m_path;
};

// A supplier entry as the server holds it now, read through a factory of its own.
struct EntryState {
    QString laktiv;
    QString hlief;
    int aendsw = -1;
};

class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Creates the main window and runs its start-up as the program does.
    void start();
    // The user picks the update in combo row `row`; the load runs as the timer would run it.
    void load(int row);
    // The user switches a check cell of the supplier list (Space on the cell).
    void toggle(int row, int column);
    // The user moves the article list to `row` (click on the row).
    void clickArticle(int row);

    EntryState entry(const QString &id) const;
    // The rows of the supplier list as "text|Aktiv|Hauptlieferant".
    QStringList supplierRows() const;
    // The ids (hidden texts) of the supplier list.
    QStringList supplierIds() const;
    // Articles of run 2 whose proposal is given and differs from the main supplier the list shows.
    QStringList differing() const;
    // Row texts of a list.
    static QStringList rowTexts(const KxList *list);

    QString dbPath;
    Sql sql{QString()};
    FakeDesktop desktop;
    FakeLoginForms forms;
    std::shared_ptr<ServerLog> log = std::make_shared<ServerLog>();
    std::unique_ptr<FMStart> window;
    QStringList openedPdfs;
};
