// The activity pane beside the gallery: every record of the activity log,
// newest first, with its time, its message (red for errors) and its detail,
// folded when it is long. Rows can be selected and copied (Ctrl+C or the
// context menu). "Clear" empties the log.
#pragma once

#include "log/activitylogstore.h"

#include <QAbstractListModel>
#include <QListView>
#include <QPointer>
#include <QSet>
#include <QStyledItemDelegate>
#include <QUuid>
#include <QWidget>

class AppChromeState;
class EmptyStatePanel;
class QStackedWidget;
class QToolButton;

namespace ActivityLogText {

// Details up to this many characters on one line are shown whole.
inline constexpr int inlineDetailLimit = 160;

// Whether `detail` is shown inline (at most 160 user-perceived characters
// and no line feed) rather than folded.
bool isInline(const QString &detail);
// The folded label: the first line, cut at 160 characters followed by "…".
QString collapsedPreview(const QString &detail);
// The time of day in the user's locale, with seconds and without a date.
QString timeText(const QDateTime &timestamp);
// A record as plain text, for the clipboard.
QString plainText(const LogEntry &entry);

} // namespace ActivityLogText

// The log store's entries as list rows, and which records are unfolded.
class ActivityLogListModel : public QAbstractListModel
{
    Q_OBJECT
public:
    enum Role { EntryRole = Qt::UserRole + 1, ExpandedRole, FoldedRole };

    explicit ActivityLogListModel(ActivityLogStore &log, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;

    const LogEntry &entry(int row) const { return m_entries.at(row); }
    bool isExpanded(const QUuid &id) const { return m_expanded.contains(id); }
    void setExpanded(const QUuid &id, bool expanded);
    void toggleExpanded(int row);
    void collapseAll();

private:
    void follow();

    QPointer<ActivityLogStore> m_log;
    QList<LogEntry> m_entries;
    QSet<QUuid> m_expanded;
};

class ActivityLogDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    bool editorEvent(QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option,
        const QModelIndex &index) override;

    struct RowLayout {
        QRectF message;
        QRectF time;
        // The detail (inline) or the folded label with its chevron.
        QRectF detail;
        QRectF chevron;
        // The unfolded detail.
        QRectF expandedDetail;
        double height = 0;
    };
    static RowLayout layout(const QStyleOptionViewItem &option, const LogEntry &entry, bool expanded);
};

class ActivityLogListView : public QListView
{
    Q_OBJECT
public:
    explicit ActivityLogListView(QWidget *parent = nullptr);

    // The selected records as plain text, newest first.
    QString selectedText() const;
    void copySelection() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
};

class ActivityLogPane : public QWidget
{
    Q_OBJECT
public:
    inline static const QString title = QStringLiteral("Activity");

    ActivityLogPane(ActivityLogStore &log, AppChromeState &chrome, QWidget *parent = nullptr);

    ActivityLogListModel *model() const { return m_model; }
    ActivityLogListView *listView() const { return m_list; }
    QToolButton *clearButton() const { return m_clear; }
    EmptyStatePanel *emptyState() const { return m_empty; }
    bool isShowingEmptyState() const;

protected:
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void updateContent();

    QPointer<ActivityLogStore> m_log;
    QPointer<AppChromeState> m_chrome;
    ActivityLogListModel *m_model;
    ActivityLogListView *m_list;
    EmptyStatePanel *m_empty;
    QStackedWidget *m_stack;
    QToolButton *m_clear;
};
