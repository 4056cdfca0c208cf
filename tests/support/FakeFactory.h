#pragma once

#include "session/Factory.h"
#include "session/ServerError.h"

#include <QList>
#include <QMap>
#include <QStringList>
#include <QVariantMap>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

// A scripted server that every factory made through its maker talks to: a test sets the answers,
// the objects and the rows, injects failures, and reads back every operation in order.
//
// The call log has one entry per operation:
//   "connected", "connectTo <string>", "disconnect",
//   "newInstance <class>", "openId <class> <id>", "openQuery <class> <query>",
//   "get <object> <member>", "set <object> <member>=<value>", "call <object> <method>(<args, ", ">)",
//   "execute <class> <query>(<params, ", ">)", "next <class> <query>", "column <class> <query> <n>",
//   "close <class> <query>", "beginUnit", "commitUnit", "rollbackUnit"
// where <object> is the class name of a new instance and "<class>:<id>" of a stored object.
class FakeServer : public std::enable_shared_from_this<FakeServer> {
public:
    using Method = std::function<QVariant(QVariantList &args)>;

    struct Object {
        QVariantMap properties;
        QMap<QString, Method> methods; // methods of this object, before those of its class
    };

    struct Query {
        QList<QVariantList> rows;
        // When set, computes the rows from the parameters instead.
        std::function<QList<QVariantList>(const QVariantList &params)> compute;
    };

    // Results of connectTo, one per call in order; when used up, defaultConnect.
    std::deque<bool> connectResults;
    bool defaultConnect = true;
    // Answers of the connected query, one per call in order; when used up, the factory's own state.
    std::deque<bool> connectedAnswers;

    QMap<QString, Object> stored;                      // key "<class>:<id>"
    QMap<QString, Object> instanceTemplates;           // new instances start as a copy, by class
    QMap<QString, QMap<QString, Method>> classMethods; // by class, then method
    QMap<QString, Query> queries;                      // key "<class>:<query>"

    QStringList log;
    int factoriesMade = 0;
    int openConnections = 0; // factories connected and not yet disconnected or destroyed

    // Creating a factory fails with this error while set.
    std::optional<cacheapi::ServerError> makerError;

    // Makes the next operations whose log entry starts with `prefix` fail with `error`: `times`
    // times (-1: always), after letting `skip` matching operations pass.
    void failOn(const QString &prefix, const cacheapi::ServerError &error, int times = -1, int skip = 0);
    // Makes the operations whose log entry starts with `prefix` run `action` first (for example
    // to end the program or to tick a timer in the middle of a sequence).
    void onOperation(const QString &prefix, std::function<void()> action);

    Object &addStored(const QString &className, const QString &id, const QVariantMap &properties = {});
    // A personnel record ("KX.ParPersEdv") whose password, like the server's, is no property: its
    // method "PasswortPruefen" answers "1" for exactly that password and "0" for any other.
    Object &addPerson(const QString &id, const QString &password, const QVariantMap &properties);
    void setRows(const QString &className, const QString &queryName, const QList<QVariantList> &rows);

    // A maker for gFactoryMaker: a fresh factory on this server for every call.
    cacheapi::FactoryMaker maker();

    // Entries of the log that start with prefix.
    QStringList entries(const QString &prefix) const;

    // Used by the factory and its objects: records the operation and fails if a rule says so.
    void record(const QString &entry);

    // Unknown members of a stored object fail with this number, like the server's own "no such
    // property"; an unknown id fails with kNoObject.
    static constexpr int kNoMember = -4;
    static constexpr int kNoObject = -3;

private:
    struct Rule {
        QString prefix;
        std::optional<cacheapi::ServerError> error;
        std::function<void()> action;
        int times;
        int skip;
    };
    QList<Rule> m_rules;
};

class FakeFactory : public cacheapi::Factory {
public:
    explicit FakeFactory(std::shared_ptr<FakeServer> server);
    ~FakeFactory() override;

    bool connected() override;
    bool connectTo(const QString &connectString) override;
    void disconnect() override;

    cacheapi::ServerObjectPtr newInstance(const QString &className) override;
    cacheapi::ServerObjectPtr openId(const QString &className, const QString &id) override;
    cacheapi::QueryCursorPtr openQuery(const QString &className, const QString &queryName) override;

    void beginUnit() override;
    void commitUnit() override;
    void rollbackUnit() override;

    bool isConnected() const { return m_connected; }

private:
    void setConnected(bool connected);

    std::shared_ptr<FakeServer> m_server;
    bool m_connected = false;
};
