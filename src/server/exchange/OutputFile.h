#pragma once

#include <QFile>
#include <QString>

// An export's output file, written so that the name asked for only ever holds a whole file: the
// new contents go to a temporary file created exclusively in the target's folder (never through a
// link planted there), are synced to the disk and renamed over the target in one step; the old file
// stays until then. A new file is readable by its owner only (0600), also where a link stood (the link is
// replaced, its target untouched); an existing file keeps its mode.
namespace kxexchange {

class OutputFile {
public:
    explicit OutputFile(const QString &target) : m_target(target) {}
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    // Creates the temporary file (CSV: open for writing as device()); false with error() set.
    bool open();
    // Creates a private folder beside the target for a writer that wants a path (the workbook
    // library): the file at path() is written there and moved at commit.
    bool openPath();
    QIODevice &device() { return m_file; }
    QString path() const { return m_path; }
    // Syncs and renames over the target; false with error() set (the target is then untouched).
    bool commit();
    QString error() const { return m_error; }

private:
    bool fail(const QString &what);
    bool prepareMode();

    QString m_target;
    QString m_path;   // the temporary file
    QString m_folder; // openPath's private folder
    QFile m_file;
    QString m_error;
    unsigned m_mode = 0600;
    bool m_done = false;
};

} // namespace kxexchange
