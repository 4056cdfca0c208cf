#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <span>

namespace cacheapi {

// A server object: a stored object opened by id or a transient instance. Members are matched by
// their exact name, letter case included. Every failure throws ServerError.
class ServerObject {
public:
    virtual ~ServerObject() = default;

    virtual QVariant property(const QString &member) = 0;
    virtual void setProperty(const QString &member, const QVariant &value) = 0;
    // Arguments are passed by reference: a method may write back into args.
    virtual QVariant call(const QString &method, QVariantList &args) = 0;

    QVariant call(const QString &method) {
        QVariantList none;
        return call(method, none);
    }
};
using ServerObjectPtr = std::unique_ptr<ServerObject>;

// A class query's cursor: execute with the parameters in order, then step through the rows.
class QueryCursor {
public:
    virtual ~QueryCursor() = default;

    virtual void execute(const QVariantList &params) = 0;
    virtual bool next() = 0;
    // Column value of the current row, columns counted from 1. A null value reads as null.
    virtual QVariant column(int number) = 0;
    // Columns `first`, `first` + 1, ... of the current row as texts, one for each place of `texts`:
    // column()'s values written as text, a null value as the empty text. For reading many rows: a
    // cursor that can give the texts without a QVariant each does so.
    virtual void columnTexts(int first, std::span<QString> texts) {
        for (QString &text : texts) {
            const QVariant value = column(first++);
            text = value.isNull() ? QString() : value.toString();
        }
    }
    virtual void close() = 0;

    // After the last row of a query that reads an article's supplier entries: the state of what it
    // delivered, as Factory::articleStamp gives it. Empty when the server cannot tell.
    virtual QString stamp() const { return QString(); }
};
using QueryCursorPtr = std::unique_ptr<QueryCursor>;

// What a look of the live view found: the changed articles, and the rows of those the server read in
// the same request, so that showing them needs no request of its own.
struct ChangedArticles {
    QStringList articles; // as Factory::takeChanges tells them
    // Columns 1 to 5 of "ArtikelZeilen" for articles of `articles`, in article-number order.
    QList<QVariantList> rows;
    // Those of `articles` whose rows are not in `rows` and must be asked for; an article that
    // neither lists is not in the list.
    QStringList unread;
};

// The connection factory. connectTo returns false for every way a connection can fail; the other
// operations throw ServerError.
class Factory {
public:
    virtual ~Factory() = default;

    virtual bool connected() = 0;
    virtual bool connectTo(const QString &connectString) = 0;
    virtual void disconnect() = 0;

    virtual ServerObjectPtr newInstance(const QString &className) = 0;
    virtual ServerObjectPtr openId(const QString &className, const QString &id) = 0;
    virtual QueryCursorPtr openQuery(const QString &className, const QString &queryName) = 0;

    // Groups the writes between begin and commit into one all-or-nothing unit on the server.
    virtual void beginUnit() = 0;
    virtual void commitUnit() = 0;
    virtual void rollbackUnit() = 0;

    // Freshness, the cheap "changed since?" question: the state of an article's supplier entries in
    // a prepared list as a short text, which changes with every accepted write to one of them (at
    // another workstation too). Compared with the stamp of the supplier list's query, it tells
    // whether the screen still shows the server's state. Empty when the server cannot tell; the
    // program then never reports a change.
    virtual QString articleStamp(const QString &listKey, const QString &articleNumber) {
        Q_UNUSED(listKey);
        Q_UNUSED(articleNumber);
        return QString();
    }
    // The same for several articles of one list, in the order asked; inside a unit in one request
    // that takes the list's lock (for a few hundred articles at a time). Empty when the server
    // cannot tell.
    virtual QStringList articleStamps(const QString &listKey, const QStringList &articleNumbers) {
        Q_UNUSED(listKey);
        Q_UNUSED(articleNumbers);
        return QStringList();
    }
    // The stamp of the article as this factory's last accepted write left it, known without asking
    // the server again (so the program's own change does not make its screen look stale). Empty
    // when that write did not touch the article.
    virtual QString stampAfterWrite(const QString &listKey, const QString &articleNumber) {
        Q_UNUSED(listKey);
        Q_UNUSED(articleNumber);
        return QString();
    }
    // The live view: the numbers of the articles of list `listKey` whose entries another workstation
    // changed (or saved) since the last call; the first call for a list only starts watching it.
    // `since` is what the caller has seen, kept by the caller and handed back on every call (empty at
    // first): so a reconnect, which brings a new factory, misses nothing. Cheap while nothing
    // changed (no request where the server notifies, one counter read otherwise). Empty when not
    // connected: it never connects.
    virtual QStringList takeChanges(const QString &listKey, QVariantMap &since) {
        Q_UNUSED(listKey);
        Q_UNUSED(since);
        return QStringList();
    }
    // The same look, with the changed articles' rows where the server can read them at once.
    virtual ChangedArticles takeChangedArticles(const QString &listKey, QVariantMap &since) {
        ChangedArticles changes;
        changes.articles = takeChanges(listKey, since);
        changes.unread = changes.articles;
        return changes;
    }
};
using FactoryPtr = std::shared_ptr<Factory>;
using FactoryMaker = std::function<FactoryPtr()>;

} // namespace cacheapi
