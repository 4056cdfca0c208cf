#pragma once

#include <QWidget>

class QLineEdit;

// The find bar of the article list: one field for an article number's beginning or a word of the
// description. Return asks for the next match, Escape closes the bar.
class FindBar : public QWidget {
    Q_OBJECT
public:
    explicit FindBar(QWidget *parent = nullptr);

    QString text() const;
    // Shows the bar with the focus in its field, the last search selected.
    void open();
    QLineEdit *field() const { return m_field; }

signals:
    void findNext();
    void closed();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLineEdit *m_field;
};
