#pragma once

#include "server/exchange/CsvReader.h"
#include "server/exchange/Fields.h"
#include "server/exchange/Importer.h"
#include "server/exchange/TextTable.h"

#include <QHash>
#include <QPair>
#include <QSqlQuery>

#include <algorithm>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

// The working state of one import call; the readers of the kinds are in ImportKinds.cpp and
// ImportPersonnel.cpp, their table and the frame in Importer.cpp.
namespace kxexchange {

struct ColumnDef {
    const char *name;
    bool required;
};

// One file being read: its columns by name, and the current record.
class FileRows {
public:
    FileRows(const QString &path, const QString &kind) : m_reader(MakeRowReader(path)), m_path(path), m_kind(kind) {}
    const QString &path() const { return m_path; }
    const QString &kind() const { return m_kind; }
    QString name() const;
    // The column's index, -1 when the file does not have it. Asked for every field of every row, so
    // the answer is kept by the name's address (the readers name columns by literals).
    int index(const char *column) const {
        for (const auto &[name, at] : m_indexes)
            if (name == column)
                return at;
        const int at = m_columns.value(QString::fromLatin1(column), -1);
        if (m_indexes.size() < 32)
            m_indexes.emplace_back(column, at);
        return at;
    }
    bool has(const char *column) const { return index(column) >= 0; }
    QString value(const char *column) const;
    qint64 line() const { return m_reader->line(); }
    RowReader &reader() { return *m_reader; }
    const RowReader &reader() const { return *m_reader; }

    std::unique_ptr<RowReader> m_reader;
    QHash<QString, int> m_columns; // canonical name -> index; index() is right once the header is read
    mutable std::vector<std::pair<const char *, int>> m_indexes;

private:
    QString m_path;
    QString m_kind;
};

class ImportRun {
public:
    ImportRun(kxserver::SqlConnection &connection, const ImportRequest &request)
        : m_db(connection), m_request(request) {}
    ImportReport run();

    // Each kind of file, in the order a call imports them: its reader and its columns (the
    // required ones must stand in the header).
    struct Kind {
        QString name;
        void (ImportRun::*read)(FileRows &);
        std::vector<ColumnDef> columns;
    };
    static const std::vector<Kind> &kinds();

private:
    struct Supplier {
        qint64 id = 0;
        QString name;
        qint64 seenLine = 0;
    };
    struct Article {
        qint64 id = 0;
        QString bez;
        QString ean;     // read, like bez, only for an artikel file
        qint64 main = 0; // lieferant id, 0 when none
        qint64 seenLine = 0;
        qint32 touchedFile = 0; // file (in m_fileNames) and line of the first row of this call that names it
        qint64 touchedLine = 0;
    };
    // An article-supplier pair, small: a million of them are held during an import. The unit is an
    // index into m_units, the last purchase a Julian day (0: none).
    struct Pair {
        qint64 id = 0;
        qint64 cents = 0;
        qint32 lastPurchase = 0;
        qint32 seenLine = 0;
        qint32 unit = 0;
        char active = 'J';
    };

    // Frame
    // Opens the file and reads its header against the columns of its kind.
    bool openFile(FileRows &file);
    bool nextRow(FileRows &file, qint64 *rows);
    void error(const FileRows &file, const char *column, const QString &what);
    void fileError(const QString &fileName, const QString &what);
    bool clean() const { return m_report.errorCount == 0; }
    // False, with the error on `column`, when an earlier row of the file named the same record
    // (`what()`, e.g. "der Lieferant 70001"); otherwise this row becomes the one that names it.
    template <typename Line, typename What>
    bool firstNaming(FileRows &file, const char *column, Line &seenLine, const What &what) {
        if (seenLine != 0) {
            error(file, column, QStringLiteral("%1 steht schon in Zeile %2").arg(what()).arg(seenLine));
            return false;
        }
        seenLine = Line(std::min<qint64>(file.line(), std::numeric_limits<Line>::max()));
        return true;
    }
    // The first id a new row of the table gets; noted, so that the writing phase can tell whether
    // another import added rows in between.
    qint64 nextId(const char *table);
    // Writes are only noted while the files are read and checked, and sent in the short writing
    // phase (write()), under the lock, when the whole call has proven clean.
    struct Statement {
        QString sql;
    };
    Statement prepare(const QString &sql) { return {sql}; }
    void exec(const Statement &statement, const QVariantList &values) {
        if (!m_request.dryRun)
            m_writes.emplace_back(statement.sql, values);
    }
    void write();
    void loadPairs();
    // The rules of checkArticles and checkLists on the state the call would leave, before
    // anything is written (and for a dry run, which writes nothing).
    void checkRulesAhead();
    KindCount &count(const QString &kind);
    void loadSuppliers();
    void loadArticles();
    // "<file>, Zeile <n>" of the first row of this call that names the article; empty when none did
    // (the rules then are no concern of this call).
    QString touchedAt(const QString &articleNumber) const;
    void checkArticles();
    void checkLists();
    void lockLists();

    // Kinds
    void lieferanten(FileRows &file);
    void artikel(FileRows &file);
    void artlief(FileRows &file);
    void personal(FileRows &file);
    void update(FileRows &file);

    // Reads a field; false (with the error recorded) when it is not what the column holds.
    bool supplierNumber(FileRows &file, const char *column, qint64 *id, bool mayBeEmpty);
    Article *knownArticle(FileRows &file, const char *column);
    std::optional<QString> text(FileRows &file, const char *column, bool serverForm, bool required,
                                int maxLength = kNameLength);

    kxserver::SqlConnection &m_db;
    const ImportRequest &m_request;
    ImportReport m_report;
    QHash<qint64, Supplier> m_suppliers;     // by number
    QHash<qint64, qint64> m_supplierNumbers; // id -> number
    QHash<QString, Article> m_articles;      // by article number
    bool m_loaded = false;
    bool m_listsLocked = false;
    TextTable m_units;
    QHash<QPair<qint64, qint64>, Pair> m_pairs; // (article id, supplier id): the state after the call
    bool m_pairsLoaded = false;
    // The supplier's article number of each pair that has one, by pair id: only read (and held) for
    // an artlief file with the column.
    QHash<qint64, QString> m_catalogNumbers;
    bool m_catalogNumbersLoaded = false;
    void loadCatalogNumbers();
    // The articles whose pairs' prices or units this call changes (their lists learn of it), and
    // who records those changes.
    std::vector<qint64> m_pricedArticles;
    QString m_recorder;
    std::vector<std::pair<QString, QVariantList>> m_writes;
    // A million new pairs would be seven QVariants each in m_writes (some 400 MB); they are only in
    // m_pairs (ids from m_firstNewPair on), and m_writes holds one marker for them all (an empty
    // statement), written in its place in id order by one bulk insert.
    qint64 m_firstNewPair = 0;
    qint64 m_newPairCount = 0;
    void writeNewPairs();
    // The names of the files read, for the place an article was first named (Article::touchedFile).
    QStringList m_fileNames;
    qint32 fileIndex(const FileRows &file);
    std::vector<std::pair<QString, qint64>> m_firstIds; // table, first new id as the files were read
};

} // namespace kxexchange
