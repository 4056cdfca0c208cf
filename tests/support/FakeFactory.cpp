#include "FakeFactory.h"

using cacheapi::ServerError;

namespace {

QString argsText(const QVariantList &args) {
    QStringList parts;
    for (const QVariant &a : args)
        parts << a.toString();
    return parts.join(QStringLiteral(", "));
}

class FakeObject : public cacheapi::ServerObject {
public:
    // A stored object reads and writes the server's copy; a new instance its own.
    FakeObject(std::shared_ptr<FakeServer> server, QString className, QString storedKey, FakeServer::Object own)
        : m_server(std::move(server)), m_className(std::move(className)), m_key(std::move(storedKey)),
          m_own(std::move(own)) {}

    QVariant property(const QString &member) override {
        m_server->record(QStringLiteral("get %1 %2").arg(label(), member));
        const FakeServer::Object &o = data();
        if (!o.properties.contains(member))
            throw ServerError(FakeServer::kNoMember, QStringLiteral("<PROPERTY DOES NOT EXIST> %1").arg(member));
        return o.properties.value(member);
    }

    void setProperty(const QString &member, const QVariant &value) override {
        m_server->record(QStringLiteral("set %1 %2=%3").arg(label(), member, value.toString()));
        data().properties[member] = value;
    }

    QVariant call(const QString &method, QVariantList &args) override {
        m_server->record(QStringLiteral("call %1 %2(%3)").arg(label(), method, argsText(args)));
        FakeServer::Method fn = data().methods.value(method);
        if (!fn)
            fn = m_server->classMethods.value(m_className).value(method);
        if (fn)
            return fn(args);
        // Unscripted methods act as the identity of their first argument, which is what the
        // server's display conversions do for plain text.
        return args.isEmpty() ? QVariant() : args.first();
    }

private:
    QString label() const { return m_key.isEmpty() ? m_className : m_key; }

    FakeServer::Object &data() {
        if (m_key.isEmpty())
            return m_own;
        return m_server->stored[m_key];
    }

    std::shared_ptr<FakeServer> m_server;
    QString m_className;
    QString m_key;
    FakeServer::Object m_own;
};

class FakeCursor : public cacheapi::QueryCursor {
public:
    FakeCursor(std::shared_ptr<FakeServer> server, QString className, QString queryName)
        : m_server(std::move(server)), m_label(className + QLatin1Char(' ') + queryName),
          m_key(className + QLatin1Char(':') + queryName) {}

    void execute(const QVariantList &params) override {
        m_server->record(QStringLiteral("execute %1(%2)").arg(m_label, argsText(params)));
        const FakeServer::Query q = m_server->queries.value(m_key);
        m_rows = q.compute ? q.compute(params) : q.rows;
        m_current = -1;
    }

    bool next() override {
        m_server->record(QStringLiteral("next %1").arg(m_label));
        if (m_current < m_rows.size())
            ++m_current;
        return m_current < m_rows.size();
    }

    QVariant column(int number) override {
        m_server->record(QStringLiteral("column %1 %2").arg(m_label).arg(number));
        if (m_current < 0 || m_current >= m_rows.size() || number < 1 || number > m_rows.at(m_current).size())
            throw ServerError(FakeServer::kNoMember, QStringLiteral("<INVALID COLUMN> %1").arg(number));
        return m_rows.at(m_current).at(number - 1);
    }

    void close() override { m_server->record(QStringLiteral("close %1").arg(m_label)); }

private:
    std::shared_ptr<FakeServer> m_server;
    QString m_label;
    QString m_key;
    QList<QVariantList> m_rows;
    qsizetype m_current = -1;
};

} // namespace

void FakeServer::failOn(const QString &prefix, const ServerError &error, int times, int skip) {
    m_rules.append(Rule{prefix, error, {}, times, skip});
}

void FakeServer::onOperation(const QString &prefix, std::function<void()> action) {
    m_rules.append(Rule{prefix, std::nullopt, std::move(action), -1, 0});
}

FakeServer::Object &FakeServer::addStored(const QString &className, const QString &id, const QVariantMap &properties) {
    Object &o = stored[className + QLatin1Char(':') + id];
    o.properties = properties;
    return o;
}

FakeServer::Object &FakeServer::addPerson(const QString &id, const QString &password, const QVariantMap &properties) {
    Object &o = addStored(QStringLiteral("KX.ParPersEdv"), id, properties);
    o.methods[QStringLiteral("PasswortPruefen")] = [password](QVariantList &args) {
        return QVariant(args.size() == 1 && args.at(0).toString() == password ? QStringLiteral("1")
                                                                              : QStringLiteral("0"));
    };
    return o;
}

void FakeServer::setRows(const QString &className, const QString &queryName, const QList<QVariantList> &rows) {
    queries[className + QLatin1Char(':') + queryName].rows = rows;
}

cacheapi::FactoryMaker FakeServer::maker() {
    std::weak_ptr<FakeServer> weak = weak_from_this();
    return [weak]() -> cacheapi::FactoryPtr {
        std::shared_ptr<FakeServer> server = weak.lock();
        if (!server)
            return {};
        ++server->factoriesMade;
        if (server->makerError)
            throw *server->makerError;
        return std::make_shared<FakeFactory>(server);
    };
}

QStringList FakeServer::entries(const QString &prefix) const {
    QStringList out;
    for (const QString &e : log)
        if (e.startsWith(prefix))
            out << e;
    return out;
}

void FakeServer::record(const QString &entry) {
    log << entry;
    for (Rule &rule : m_rules) {
        if (rule.times == 0 || !entry.startsWith(rule.prefix))
            continue;
        if (rule.skip > 0) {
            --rule.skip;
            continue;
        }
        if (rule.times > 0)
            --rule.times;
        if (rule.action)
            rule.action();
        if (rule.error)
            throw *rule.error;
    }
}

FakeFactory::FakeFactory(std::shared_ptr<FakeServer> server) : m_server(std::move(server)) {}

FakeFactory::~FakeFactory() {
    setConnected(false);
}

void FakeFactory::setConnected(bool connected) {
    if (connected != m_connected)
        m_server->openConnections += connected ? 1 : -1;
    m_connected = connected;
}

bool FakeFactory::connected() {
    m_server->record(QStringLiteral("connected"));
    if (!m_server->connectedAnswers.empty()) {
        const bool answer = m_server->connectedAnswers.front();
        m_server->connectedAnswers.pop_front();
        return answer;
    }
    return m_connected;
}

bool FakeFactory::connectTo(const QString &connectString) {
    m_server->record(QStringLiteral("connectTo ") + connectString);
    bool ok = m_server->defaultConnect;
    if (!m_server->connectResults.empty()) {
        ok = m_server->connectResults.front();
        m_server->connectResults.pop_front();
    }
    setConnected(ok);
    return ok;
}

void FakeFactory::disconnect() {
    m_server->record(QStringLiteral("disconnect"));
    setConnected(false);
}

cacheapi::ServerObjectPtr FakeFactory::newInstance(const QString &className) {
    m_server->record(QStringLiteral("newInstance ") + className);
    return std::make_unique<FakeObject>(m_server, className, QString(), m_server->instanceTemplates.value(className));
}

cacheapi::ServerObjectPtr FakeFactory::openId(const QString &className, const QString &id) {
    m_server->record(QStringLiteral("openId %1 %2").arg(className, id));
    const QString key = className + QLatin1Char(':') + id;
    if (!m_server->stored.contains(key))
        throw ServerError(FakeServer::kNoObject, QStringLiteral("<OBJECT DOES NOT EXIST> %1 %2").arg(className, id));
    return std::make_unique<FakeObject>(m_server, className, key, FakeServer::Object());
}

cacheapi::QueryCursorPtr FakeFactory::openQuery(const QString &className, const QString &queryName) {
    m_server->record(QStringLiteral("openQuery %1 %2").arg(className, queryName));
    return std::make_unique<FakeCursor>(m_server, className, queryName);
}

void FakeFactory::beginUnit() {
    m_server->record(QStringLiteral("beginUnit"));
}

void FakeFactory::commitUnit() {
    m_server->record(QStringLiteral("commitUnit"));
}

void FakeFactory::rollbackUnit() {
    m_server->record(QStringLiteral("rollbackUnit"));
}
