#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QWidget>

// The update combo: not editable, with a multi-column drop-down list. Rows are one text with line
// feed separated columns; the combo's text is the first column of the chosen row (empty with none).
class KxCombo : public QWidget {
    Q_OBJECT
public:
    explicit KxCombo(QWidget *parent = nullptr);
    ~KxCombo() override;

    void setColumns(const QStringList &headers, const QList<int> &widths);

    void clear();
    int addRow(const QString &text);
    int rowCount() const;
    int currentRow() const; // -1 when no row is chosen
    void setCurrentRow(int row); // by the program: no notification
    QString rowText(int row) const; // empty for a row that does not exist
    QString text() const;

    QWidget *view() const; // the drop-down list, for tests

signals:
    // The user picked a row, also the one already chosen.
    void picked();
    // The combo lost the input focus.
    void focusLost();

private:
    class Private;
    Private *d;
};
