#pragma once

#include <QFont>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <vector>

class QPrinterInfo;

// The multi-column list of the main window. A row is one text whose columns are separated by the
// line feed; rows are numbered from 0 in the order added, columns from 1. A row can carry one
// hidden text and, in the chosen check columns, a check cell whose state is 0 or 1.
//
// Only the user raises notifications: nothing the program changes (rows, current row, check cells)
// emits a signal.
class KxList : public QWidget {
    Q_OBJECT
public:
    explicit KxList(QWidget *parent = nullptr);
    ~KxList() override;

    // Column headers and design widths (the widths fix the columns' proportions).
    void setColumns(const QStringList &headers, const QList<int> &widths);
    QStringList columnHeaders() const;
    // Columns (from 1) that hold check cells instead of text.
    void setCheckColumns(const QList<int> &columns);
    // Texts that must always show whole, by column (from 1): the widest one a column can hold. The
    // columns keep their shares; the list takes the largest size of its font, up to the one it was
    // given, at which each of these texts fits its column in bold. Any other cell that is cut shows
    // its whole text as its tooltip.
    void setWholeTexts(const QMap<int, QString> &widest);
    // The font the list's cells are drawn in (a bold row: the same in bold).
    QFont cellFont() const;

    // Rows and cells outside the list read as empty (0 for a check cell); writes to them do nothing.
    void clear();
    int addRow(const QString &text); // returns the new row's number
    int rowCount() const;
    int currentRow() const;      // -1 when no row is current
    void setCurrentRow(int row); // selects the row and scrolls to it; a row outside the list: none current
    QString rowText(int row) const;
    void setRowText(int row, const QString &text);
    QString hiddenText(int row) const;
    void setHiddenText(int row, const QString &text);
    int checkState(int row, int column) const;
    void setCheckState(int row, int column, int state);

    // A row drawn in bold; a tooltip on one cell of a row (one per row; an empty text: none).
    void setRowBold(int row, bool bold);
    bool isRowBold(int row) const;
    void setCellToolTip(int row, int column, const QString &text);
    QString cellToolTip(int row, int column) const;

    // Rows can be hidden from view without leaving the list: numbers, texts and the printout keep
    // every row. Hidden rows are skipped by the user's moves through the list.
    // Hides the rows marked true (an empty vector shows every row); the current row stays current
    // when it is shown, otherwise no row is current.
    void setHiddenRows(const std::vector<bool> &hidden);
    bool isRowHidden(int row) const;
    // The first shown row after `row`, or -1 when there is none.
    int nextShownRow(int row) const;

    // A key (without modifiers) pressed on any row acts on that row's check cell in `column`:
    // switching it, or only switching it on when `onOnly` (a ticked cell then stays as it is).
    void setCheckKey(int key, int column, bool onOnly);

    // Settings applied after the article list is filled: whole rows are selected, one row at a
    // time, and the list shows its first row at the top in its unsorted order (see the
    // implementation for what each one does).
    void applyListSettings();

    void setPrintTitle(const QString &title);
    QString printTitle() const;
    // Prints title, column headings and every row, over as many pages as needed, on the system's
    // default printer; without a printer into a PDF file in the user's documents folder, which is
    // then opened in the desktop's viewer. Returns the PDF's path, or an empty string when printed
    // on a printer. A printer or file that fails throws cacheapi::ServerError (a PDF begun is
    // removed again).
    QString print();
    // Replaces how a finished PDF is opened (tests record it instead of starting a viewer). An
    // empty function restores the default, the desktop's viewer.
    static void setPdfOpener(std::function<void(const QString &path)> opener);
    // Replaces how the system's default printer is found (a null QPrinterInfo: there is none, so
    // print() writes a PDF). Tests use it so that no real printer ever receives a page. An empty
    // function restores the default, QPrinterInfo::defaultPrinter().
    static void setPrinterLookup(std::function<QPrinterInfo()> lookup);
    // The PDF's file name starts with this text, then date and time ("Artikelliste" by default).
    void setPdfBaseName(const QString &name);
    QString pdfBaseName() const;

    // The view inside, for focus, input simulation and tests.
    QWidget *view() const;

signals:
    // The user moved to another row (keyboard or mouse).
    void rowChanged();
    // The user clicked a row; the argument is the row's number.
    void rowClicked(int row);
    // The user switched a check cell (mouse or Space); raised after the cell took its new state.
    void checkCellChanged(int row, int column, int state);
    // The current row changed, by the user or by the program. For displays only: no handler that
    // touches the server may hang on it.
    void currentRowMoved(int row);
    // The program gave a row a new text (setRowText), whoever did it. For displays only, as above.
    void rowTextChanged(int row);

private:
    class Private;
    Private *d;
};
