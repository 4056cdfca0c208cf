#include "AppFixture.h"

#include "server/admin/KorvexDb.h"
#include "app/controls/KxCombo.h"
#include "app/controls/KxList.h"
#include "server/classes/SqlFactory.h"
#include "TestEnv.h"

#include <QAbstractItemView>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPrinterInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>
#include <QUuid>

using namespace cacheapi;

// ---- Recording factory ------------------------------------------------------------------------

QStringList ServerLog::work(qsizetype from) const {
    QStringList result;
    for (qsizetype i = from; i < calls.size(); ++i)
        if (calls.at(i) != QLatin1String("connected"))
            result << calls.at(i);
    return result;
}

void ServerLog::failOn(const QString &call, int nth, int number, const QString &description) {
    auto seen = std::make_shared<int>(0);
    beforeCall = [=](const QString &c) {
        if (c == call && ++*seen == nth)
            throw ServerError(number, description);
    };
}

namespace {

void record(ServerLog &log, const QString &call) {
    log.calls << call;
    if (log.beforeCall)
        log.beforeCall(call);
}

class RecordingObject : public ServerObject {
public:
    RecordingObject(ServerObjectPtr inner, std::shared_ptr<ServerLog> log)
        : m_inner(std::move(inner)), m_log(std::move(log)) {}

    QVariant property(const QString &member) override {
        record(*m_log, QStringLiteral("get ") + member);
        return m_inner->property(member);
    }
    void setProperty(const QString &member, const QVariant &value) override {
        record(*m_log, QStringLiteral("set %1=%2").arg(member, value.toString()));
        m_inner->setProperty(member, value);
    }
    QVariant call(const QString &method, QVariantList &args) override {
        record(*m_log, QStringLiteral("call ") + method);
        return m_inner->call(method, args);
    }

private:
    ServerObjectPtr m_inner;
    std::shared_ptr<ServerLog> m_log;
};

class RecordingCursor : public QueryCursor {
public:
    RecordingCursor(QueryCursorPtr inner, QString name, std::shared_ptr<ServerLog> log)
        : m_inner(std::move(inner)), m_name(std::move(name)), m_log(std::move(log)) {}

    void execute(const QVariantList &params) override {
        QStringList texts;
        for (const QVariant &p : params)
            texts << p.toString();
        record(*m_log, QStringLiteral("execute %1(%2)").arg(m_name, texts.join(QLatin1Char(','))));
        m_inner->execute(params);
    }
    bool next() override { return m_inner->next(); }
    QVariant column(int number) override {
        const QVariant value = m_inner->column(number);
        if (m_log->columnFilter)
            if (const std::optional<QVariant> replaced = m_log->columnFilter(m_name, number, value))
                return *replaced;
        return value;
    }
    void close() override {
        record(*m_log, QStringLiteral("close ") + m_name);
        m_inner->close();
    }
    QString stamp() const override { return m_inner->stamp(); }

private:
    QueryCursorPtr m_inner;
    QString m_name;
    std::shared_ptr<ServerLog> m_log;
};

class RecordingFactory : public Factory {
public:
    RecordingFactory(FactoryPtr inner, std::shared_ptr<ServerLog> log)
        : m_inner(std::move(inner)), m_log(std::move(log)) {}

    bool connected() override {
        record(*m_log, QStringLiteral("connected"));
        return m_inner->connected();
    }
    bool connectTo(const QString &connectString) override {
        record(*m_log, QStringLiteral("connect"));
        return m_inner->connectTo(connectString);
    }
    void disconnect() override {
        record(*m_log, QStringLiteral("disconnect"));
        m_inner->disconnect();
    }
    ServerObjectPtr newInstance(const QString &className) override {
        record(*m_log, QStringLiteral("newInstance ") + className);
        return std::make_unique<RecordingObject>(m_inner->newInstance(className), m_log);
    }
    ServerObjectPtr openId(const QString &className, const QString &id) override {
        record(*m_log, QStringLiteral("openId ") + id);
        return std::make_unique<RecordingObject>(m_inner->openId(className, id), m_log);
    }
    QueryCursorPtr openQuery(const QString &className, const QString &queryName) override {
        record(*m_log, QStringLiteral("openQuery ") + queryName);
        return std::make_unique<RecordingCursor>(m_inner->openQuery(className, queryName), queryName, m_log);
    }
    void beginUnit() override {
        record(*m_log, QStringLiteral("beginUnit"));
        m_inner->beginUnit();
    }
    void commitUnit() override {
        record(*m_log, QStringLiteral("commitUnit"));
        m_inner->commitUnit();
    }
    void rollbackUnit() override {
        record(*m_log, QStringLiteral("rollbackUnit"));
        m_inner->rollbackUnit();
    }
    QString articleStamp(const QString &listKey, const QString &articleNumber) override {
        record(*m_log, QStringLiteral("articleStamp %1,%2").arg(listKey, articleNumber));
        return m_inner->articleStamp(listKey, articleNumber);
    }
    QStringList articleStamps(const QString &listKey, const QStringList &articleNumbers) override {
        record(*m_log, QStringLiteral("articleStamps %1,%2").arg(listKey, articleNumbers.join(QLatin1Char(' '))));
        return m_inner->articleStamps(listKey, articleNumbers);
    }
    QStringList takeChanges(const QString &listKey, QVariantMap &since) override {
        return m_inner->takeChanges(listKey, since);
    }
    cacheapi::ChangedArticles takeChangedArticles(const QString &listKey, QVariantMap &since) override {
        return m_inner->takeChangedArticles(listKey, since);
    }
    QString stampAfterWrite(const QString &listKey, const QString &articleNumber) override {
        return m_inner->stampAfterWrite(listKey, articleNumber);
    }

private:
    FactoryPtr m_inner;
    std::shared_ptr<ServerLog> m_log;
};

} // namespace

FactoryPtr MakeRecordingFactory(std::shared_ptr<ServerLog> log) {
    return std::make_shared<RecordingFactory>(MakeSqlFactory(), std::move(log));
}

// ---- Direct SQL -------------------------------------------------------------------------------

namespace {

// Runs `body` on a connection of its own to the file, removed again afterwards.
template <typename Body> auto withDatabase(const QString &path, Body body) {
    const QString name = QStringLiteral("apptest-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    struct Remove {
        QString name;
        ~Remove() { QSqlDatabase::removeDatabase(name); }
    } remove{name};
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    if (!db.open())
        throw std::runtime_error(db.lastError().text().toStdString());
    struct Close {
        QSqlDatabase &db;
        ~Close() { db.close(); }
    } close{db};
    return body(db);
}

QSqlQuery runSql(QSqlDatabase &db, const QString &sql, const QVariantList &values) {
    QSqlQuery query(db);
    if (!query.prepare(sql))
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!query.exec())
        throw std::runtime_error((sql + QStringLiteral(": ") + query.lastError().text()).toStdString());
    return query;
}

} // namespace

void Sql::exec(const QString &sql, const QVariantList &values) const {
    withDatabase(m_path, [&](QSqlDatabase &db) {
        runSql(db, QStringLiteral("PRAGMA foreign_keys=ON"), {});
        runSql(db, sql, values);
        return 0;
    });
}

QList<QVariantList> Sql::rows(const QString &sql, const QVariantList &values) const {
    return withDatabase(m_path, [&](QSqlDatabase &db) {
        QList<QVariantList> result;
        QSqlQuery query = runSql(db, sql, values);
        while (query.next()) {
            QVariantList row;
            for (int i = 0; i < query.record().count(); ++i)
                row << query.value(i);
            result << row;
        }
        return result;
    });
}

QVariant Sql::value(const QString &sql, const QVariantList &values) const {
    const QList<QVariantList> all = rows(sql, values);
    return all.isEmpty() || all.first().isEmpty() ? QVariant() : all.first().first();
}

// ---- The fixture ------------------------------------------------------------------------------

void AppTest::SetUp() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    dbPath = QDir(korvextest::TempDir())
                 .filePath(QStringLiteral("%1-%2.sqlite")
                               .arg(QString::fromLatin1(info->test_suite_name()), QString::fromLatin1(info->name())));
    ASSERT_NO_THROW(kxserver::CreateDemoDatabase(dbPath));
    sql = Sql(dbPath);

    ResetSession();
    QFile::remove(korvextest::SettingsFile());
    gDesktop = &desktop;
    gForms = &forms;
    gFactoryMaker = [this] { return MakeRecordingFactory(log); };
    // The login comes from the command line, as the run script starts the program; the server is
    // the database file, so nothing is dialled.
    SetProgramArguments({"1", "0", "DEMO", "demo", dbPath, "1972", "KORVEX"});

    // Printing goes into a PDF whatever printers the machine has, and no viewer is started.
    KxList::setPrinterLookup([] { return QPrinterInfo(); });
    KxList::setPdfOpener([this](const QString &path) { openedPdfs << path; });
}

void AppTest::TearDown() {
    window.reset();
    if (!ProgramEnded())
        Disconnect();
    ResetSession();
    gDesktop = nullptr;
    gForms = nullptr;
    gFactoryMaker = {};
    KxList::setPdfOpener({});
    KxList::setPrinterLookup({});
    for (const char *suffix : {"", "-wal", "-shm"})
        QFile::remove(dbPath + QLatin1String(suffix));
}

void AppTest::start() {
    window = std::make_unique<FMStart>();
    RunHandler([this] { window->Form_Load(); });
}

void AppTest::load(int row) {
    window->liupdate->setCurrentRow(row);
    RunHandler([this] { window->liupdate_Click(); });
    RunHandler([this] { window->Timer1_Timer(); });
}

void AppTest::toggle(int row, int column) {
    // The user acts after the event loop ran: the list has shown its new rows by then.
    QCoreApplication::processEvents();
    auto *view = qobject_cast<QAbstractItemView *>(window->lilief->view());
    ASSERT_NE(view, nullptr);
    const QModelIndex cell = view->model()->index(row, column - 1);
    ASSERT_TRUE(cell.isValid()) << "row " << row << " column " << column;
    view->selectionModel()->setCurrentIndex(cell, QItemSelectionModel::NoUpdate);
    QTest::keyClick(view, Qt::Key_Space);
}

void AppTest::clickArticle(int row) {
    QCoreApplication::processEvents();
    auto *view = qobject_cast<QAbstractItemView *>(window->liart->view());
    ASSERT_NE(view, nullptr);
    const QModelIndex cell = view->model()->index(row, 0);
    ASSERT_TRUE(cell.isValid()) << "row " << row;
    view->scrollTo(cell);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(cell).center());
}

EntryState AppTest::entry(const QString &id) const {
    FactoryPtr factory = MakeSqlFactory();
    if (!factory->connectTo(kxserver::SqliteConnectString(dbPath)))
        return {};
    ServerObjectPtr object = factory->openId(QStringLiteral("UpdateVelka.Hauptlief"), id);
    EntryState state{object->property(QStringLiteral("laktiv")).toString(),
                     object->property(QStringLiteral("hlief")).toString(),
                     object->property(QStringLiteral("aendsw")).toInt()};
    object.reset();
    factory->disconnect();
    return state;
}

QStringList AppTest::supplierRows() const {
    QStringList result;
    const KxList *list = window->lilief;
    for (int i = 0; i < list->rowCount(); ++i)
        result
            << QStringLiteral("%1|%2|%3").arg(list->rowText(i)).arg(list->checkState(i, 5)).arg(list->checkState(i, 6));
    return result;
}

QStringList AppTest::supplierIds() const {
    QStringList result;
    for (int i = 0; i < window->lilief->rowCount(); ++i)
        result << window->lilief->hiddenText(i);
    return result;
}

QStringList AppTest::differing() const {
    QStringList result;
    for (const QVariantList &row :
         sql.rows("SELECT u.artnr FROM upd_artikel u JOIN artikel a ON a.id = u.artikel"
                  " LEFT JOIN liste_haupt h ON h.artikel = u.artikel"
                  " WHERE u.run = 2 AND u.velka_lief IS NOT NULL AND u.velka_lief <>"
                  " COALESCE(CASE WHEN h.liste IS NULL THEN a.haupt_lief ELSE h.haupt_lief END, -1)"
                  " ORDER BY u.artnr"))
        result << row.first().toString();
    return result;
}

QStringList AppTest::rowTexts(const KxList *list) {
    QStringList result;
    for (int i = 0; i < list->rowCount(); ++i)
        result << list->rowText(i);
    return result;
}
