#include "activitylogpane.h"

#include "ui/gallery/gallerytoolbar.h"
#include "ui/kit/accessibility.h"
#include "ui/kit/statepanels.h"
#include "ui/kit/painting.h"

#include "ui/kit/chromestate.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QStackedWidget>
#include <QTextBoundaryFinder>
#include <QToolButton>
#include <QVBoxLayout>

namespace ActivityLogText {

namespace {

// The position after the first `limit` user-perceived characters of
// `text`, or -1 when it has no more than that.
qsizetype graphemeCut(const QString &text, int limit)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() != -1) {
        ++count;
        if (count == limit)
            return finder.position() < text.size() ? finder.position() : -1;
    }
    return -1;
}

QString timeFormat()
{
    // The locale's long time without its time zone.
    QString format = QLocale().timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.trimmed();
}

} // namespace

bool isInline(const QString &detail)
{
    return !detail.contains(QLatin1Char('\n')) && graphemeCut(detail, inlineDetailLimit) < 0;
}

QString collapsedPreview(const QString &detail)
{
    const QString firstLine = detail.section(QLatin1Char('\n'), 0, 0);
    const qsizetype cut = graphemeCut(firstLine, inlineDetailLimit);
    if (cut < 0)
        return firstLine;
    return firstLine.left(cut) + QChar(0x2026);
}

QString timeText(const QDateTime &timestamp)
{
    static const QString format = timeFormat();
    return QLocale().toString(timestamp.toLocalTime().time(), format);
}

QString plainText(const LogEntry &entry)
{
    QString text = timeText(entry.timestamp) + QStringLiteral("  ") + entry.message;
    if (entry.detail && !entry.detail->isEmpty())
        text += QLatin1Char('\n') + *entry.detail;
    return text;
}

} // namespace ActivityLogText

// ---- Model ----------------------------------------------------------------------

ActivityLogListModel::ActivityLogListModel(ActivityLogStore &log, QObject *parent)
    : QAbstractListModel(parent)
    , m_log(&log)
    , m_entries(log.entries())
{
    connect(&log, &ActivityLogStore::entriesChanged, this, &ActivityLogListModel::follow);
}

int ActivityLogListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant ActivityLogListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return {};
    const LogEntry &entry = m_entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return entry.message;
    case Qt::ToolTipRole:
        return entry.timestamp.toLocalTime().toString(Qt::TextDate);
    case Qt::AccessibleTextRole:
        // The row as it reads: the message, then its time.
        return entry.message + QStringLiteral(", ") + ActivityLogText::timeText(entry.timestamp);
    case Qt::AccessibleDescriptionRole: {
        QStringList parts;
        if (entry.level == LogLevel::error)
            parts.append(tr("Error"));
        if (entry.detail && !entry.detail->isEmpty())
            parts.append(ActivityLogText::isInline(*entry.detail) || m_expanded.contains(entry.id)
                             ? *entry.detail
                             : ActivityLogText::collapsedPreview(*entry.detail));
        return parts.join(QStringLiteral(": "));
    }
    case EntryRole:
        return QVariant::fromValue(entry);
    case ExpandedRole:
        return m_expanded.contains(entry.id);
    case FoldedRole:
        return entry.detail && !entry.detail->isEmpty() && !ActivityLogText::isInline(*entry.detail);
    default:
        return {};
    }
}

void ActivityLogListModel::follow()
{
    if (!m_log)
        return;
    const QList<LogEntry> &fresh = m_log->entries();
    if (fresh.size() == m_entries.size()
        && std::equal(fresh.begin(), fresh.end(), m_entries.begin(),
            [](const LogEntry &a, const LogEntry &b) { return a.id == b.id; })) {
        m_entries = fresh;
        return;
    }
    // The usual change: new records in front of the ones shown.
    const qsizetype added = fresh.size() - m_entries.size();
    if (added > 0 && !m_entries.isEmpty()
        && std::equal(m_entries.begin(), m_entries.end(), fresh.begin() + added,
            [](const LogEntry &a, const LogEntry &b) { return a.id == b.id; })) {
        beginInsertRows({}, 0, int(added - 1));
        m_entries = fresh;
        endInsertRows();
        return;
    }
    beginResetModel();
    m_entries = fresh;
    endResetModel();
}

void ActivityLogListModel::setExpanded(const QUuid &id, bool expanded)
{
    if (expanded == m_expanded.contains(id))
        return;
    if (expanded)
        m_expanded.insert(id);
    else
        m_expanded.remove(id);
    for (int row = 0; row < m_entries.size(); ++row) {
        if (m_entries.at(row).id == id) {
            const QModelIndex changed = index(row);
            Q_EMIT dataChanged(changed, changed, { ExpandedRole });
        }
    }
}

void ActivityLogListModel::toggleExpanded(int row)
{
    if (row < 0 || row >= m_entries.size())
        return;
    const QUuid id = m_entries.at(row).id;
    setExpanded(id, !m_expanded.contains(id));
}

void ActivityLogListModel::collapseAll()
{
    if (m_expanded.isEmpty())
        return;
    m_expanded.clear();
    if (!m_entries.isEmpty())
        Q_EMIT dataChanged(index(0), index(int(m_entries.size() - 1)), { ExpandedRole });
}

// ---- Rows -----------------------------------------------------------------------

namespace {

constexpr double rowHorizontalPadding = 12;
constexpr double rowVerticalPadding = 7;
constexpr double partSpacing = 2;
constexpr double headerSpacing = 8;
constexpr double chevronWidth = 14;
constexpr int wrapFlags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap | Qt::TextWrapAnywhere;

QFont captionFont(const QFont &base)
{
    QFont font = base;
    font.setPointSizeF(std::max(base.pointSizeF() * 0.86, 7.0));
    return font;
}

QRectF wrapped(const QFont &font, double x, double y, double width, const QString &text)
{
    const QRectF box = QFontMetricsF(font).boundingRect(QRectF(x, y, std::max(width, 1.0), 1e6), wrapFlags, text);
    return QRectF(x, y, std::max(width, 1.0), box.height());
}

} // namespace

ActivityLogDelegate::RowLayout ActivityLogDelegate::layout(
    const QStyleOptionViewItem &option, const LogEntry &entry, bool expanded)
{
    RowLayout result;
    const QRectF row = option.rect;
    const double left = row.left() + rowHorizontalPadding;
    const double width = std::max(row.width() - 2 * rowHorizontalPadding, 40.0);
    double y = row.top() + rowVerticalPadding;

    const QFontMetricsF metrics(option.font);
    const QString time = ActivityLogText::timeText(entry.timestamp);
    const double timeWidth = QFontMetricsF(captionFont(option.font)).horizontalAdvance(time) + 1;
    result.time = QRectF(left + width - timeWidth,
        y + (metrics.ascent() - QFontMetricsF(captionFont(option.font)).ascent()), timeWidth, metrics.height());
    result.message = wrapped(option.font, left, y, width - timeWidth - headerSpacing, entry.message);
    y = result.message.bottom();

    if (entry.detail && !entry.detail->isEmpty()) {
        const QFont caption = captionFont(option.font);
        y += partSpacing;
        if (ActivityLogText::isInline(*entry.detail)) {
            result.detail = wrapped(caption, left, y, width, *entry.detail);
            y = result.detail.bottom();
        } else {
            result.chevron = QRectF(left, y, chevronWidth, QFontMetricsF(caption).height());
            result.detail = wrapped(caption, left + chevronWidth, y, width - chevronWidth,
                ActivityLogText::collapsedPreview(*entry.detail));
            y = result.detail.bottom();
            if (expanded) {
                y += partSpacing;
                result.expandedDetail = wrapped(caption, left + chevronWidth, y, width - chevronWidth, *entry.detail);
                y = result.expandedDetail.bottom();
            }
        }
    }
    result.height = y + rowVerticalPadding - row.top();
    return result;
}

QSize ActivityLogDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem sized = option;
    if (const auto *view = qobject_cast<const QAbstractItemView *>(parent()))
        sized.rect = QRect(0, 0, view->viewport()->width(), 0);
    const LogEntry entry = index.data(ActivityLogListModel::EntryRole).value<LogEntry>();
    const RowLayout row = layout(sized, entry, index.data(ActivityLogListModel::ExpandedRole).toBool());
    return { sized.rect.width(), int(std::ceil(row.height)) };
}

void ActivityLogDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const LogEntry entry = index.data(ActivityLogListModel::EntryRole).value<LogEntry>();
    const bool expanded = index.data(ActivityLogListModel::ExpandedRole).toBool();
    const RowLayout row = layout(option, entry, expanded);
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette &palette = option.palette;

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    if (selected) {
        QColor highlight = palette.color(QPalette::Highlight);
        highlight.setAlphaF(0.18f);
        painter->setPen(Qt::NoPen);
        painter->setBrush(highlight);
        painter->drawRoundedRect(QRectF(option.rect).adjusted(4, 1, -4, -1), 6, 6);
    }
    const QColor primary = palette.color(QPalette::Text);
    const QColor secondary = UiColors::secondaryText(palette);

    painter->setFont(option.font);
    painter->setPen(entry.level == LogLevel::error ? UiColors::errorText(palette) : primary);
    painter->drawText(row.message, wrapFlags, entry.message);

    const QFont caption = captionFont(option.font);
    painter->setFont(caption);
    painter->setPen(secondary);
    painter->drawText(row.time, Qt::AlignRight | Qt::AlignTop, ActivityLogText::timeText(entry.timestamp));

    if (entry.detail && !entry.detail->isEmpty()) {
        if (row.chevron.isValid()) {
            // A small disclosure triangle, pointing down when unfolded.
            const QPointF c = row.chevron.center() - QPointF(2, 0);
            QPolygonF triangle;
            if (expanded)
                triangle << c + QPointF(-3.5, -2) << c + QPointF(3.5, -2) << c + QPointF(0, 2.5);
            else
                triangle << c + QPointF(-2, -3.5) << c + QPointF(2.5, 0) << c + QPointF(-2, 3.5);
            painter->setPen(Qt::NoPen);
            painter->setBrush(secondary);
            painter->drawPolygon(triangle);
            painter->setPen(secondary);
            painter->drawText(row.detail, wrapFlags, ActivityLogText::collapsedPreview(*entry.detail));
            if (expanded)
                painter->drawText(row.expandedDetail, wrapFlags, *entry.detail);
        } else {
            painter->drawText(row.detail, wrapFlags, *entry.detail);
        }
    }
    painter->restore();
}

bool ActivityLogDelegate::editorEvent(
    QEvent *event, QAbstractItemModel *model, const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (event->type() != QEvent::MouseButtonRelease)
        return QStyledItemDelegate::editorEvent(event, model, option, index);
    auto *mouse = static_cast<QMouseEvent *>(event);
    auto *logModel = qobject_cast<ActivityLogListModel *>(model);
    if (!logModel || mouse->button() != Qt::LeftButton || mouse->modifiers() != Qt::NoModifier)
        return false;
    const LogEntry &entry = logModel->entry(index.row());
    const RowLayout row = layout(option, entry, logModel->isExpanded(entry.id));
    if (!row.chevron.isValid())
        return false;
    // The chevron and the folded label toggle the record.
    const QRectF toggle = row.chevron.united(row.detail);
    if (!toggle.contains(mouse->position()))
        return false;
    logModel->toggleExpanded(index.row());
    Q_EMIT const_cast<ActivityLogDelegate *>(this)->sizeHintChanged(index);
    return true;
}

// ---- List -------------------------------------------------------------------------

ActivityLogListView::ActivityLogListView(QWidget *parent)
    : QListView(parent)
{
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setResizeMode(QListView::Adjust);
    setLayoutMode(QListView::Batched);
    setBatchSize(200);
    setUniformItemSizes(false);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setMouseTracking(false);
    viewport()->setAutoFillBackground(false);
    setAutoFillBackground(false);
    setItemDelegate(new ActivityLogDelegate(this));
}

QString ActivityLogListView::selectedText() const
{
    auto *logModel = qobject_cast<ActivityLogListModel *>(model());
    if (!logModel || !selectionModel())
        return {};
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex &a, const QModelIndex &b) { return a.row() < b.row(); });
    QStringList texts;
    for (const QModelIndex &row : rows)
        texts.append(ActivityLogText::plainText(logModel->entry(row.row())));
    return texts.join(QLatin1Char('\n'));
}

void ActivityLogListView::copySelection() const
{
    const QString text = selectedText();
    if (!text.isEmpty())
        QApplication::clipboard()->setText(text);
}

void ActivityLogListView::keyPressEvent(QKeyEvent *event)
{
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        event->accept();
        return;
    }
    // Return or Space unfolds (and folds) the current record's detail, as a
    // click on its chevron does.
    auto *logModel = qobject_cast<ActivityLogListModel *>(model());
    const QModelIndex current = currentIndex();
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space)
        && event->modifiers() == Qt::NoModifier && logModel && current.isValid()
        && current.data(ActivityLogListModel::FoldedRole).toBool()) {
        logModel->toggleExpanded(current.row());
        Q_EMIT itemDelegate()->sizeHintChanged(current);
        event->accept();
        return;
    }
    QListView::keyPressEvent(event);
}

void ActivityLogListView::contextMenuEvent(QContextMenuEvent *event)
{
    const QModelIndex under = indexAt(event->pos());
    if (under.isValid() && !selectionModel()->isSelected(under))
        selectionModel()->select(under, QItemSelectionModel::ClearAndSelect);
    if (selectedText().isEmpty())
        return;
    QMenu menu(this);
    QAction *copy = menu.addAction(tr("Copy"), this, &ActivityLogListView::copySelection);
    copy->setShortcut(QKeySequence::Copy);
    menu.exec(event->globalPos());
}

void ActivityLogListView::resizeEvent(QResizeEvent *event)
{
    QListView::resizeEvent(event);
    // Row heights follow the width the text wraps in.
    scheduleDelayedItemsLayout();
}

// ---- Pane -------------------------------------------------------------------------

ActivityLogPane::ActivityLogPane(ActivityLogStore &log, AppChromeState &chrome, QWidget *parent)
    : QWidget(parent)
    , m_log(&log)
    , m_chrome(&chrome)
{
    setObjectName(QStringLiteral("activityLogPane"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto *header = new QWidget(this);
    auto *headerLayout = new QHBoxLayout(header);
    headerLayout->setContentsMargins(14, 8, 8, 8);
    auto *heading = new QLabel(title, header);
    QFont headingFont = heading->font();
    headingFont.setWeight(QFont::DemiBold);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.1);
    heading->setFont(headingFont);
    headerLayout->addWidget(heading);
    headerLayout->addStretch();
    m_clear = new QToolButton(header);
    m_clear->setText(tr("Clear"));
    m_clear->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_clear->setAutoRaise(true);
    m_clear->setToolTip(tr("Clear the activity log"));
    m_clear->setAccessibleDescription(m_clear->toolTip());
    UiAccessibility::installFocusRing(m_clear);
    UiColors::followPalette(m_clear, QPalette::ButtonText, UiColors::errorText);
    connect(m_clear, &QToolButton::clicked, this, [this] {
        if (m_log)
            m_log->clear();
    });
    headerLayout->addWidget(m_clear);
    header->setFixedHeight(GalleryToolbar::barHeight);
    layout->addWidget(header);

    auto *rule = new QFrame(this);
    rule->setFrameShape(QFrame::HLine);
    rule->setFrameShadow(QFrame::Plain);
    rule->setForegroundRole(QPalette::Mid);
    layout->addWidget(rule);

    m_stack = new QStackedWidget(this);
    m_model = new ActivityLogListModel(log, this);
    m_list = new ActivityLogListView(m_stack);
    m_list->setModel(m_model);
    m_list->setAccessibleName(title);
    m_empty = new EmptyStatePanel(QStringLiteral("text.badge.clock"), tr("No activity yet"),
        tr("Sync, uploads, and server events appear here."), m_stack);
    m_stack->addWidget(m_list);
    m_stack->addWidget(m_empty);
    layout->addWidget(m_stack, 1);

    connect(m_model, &QAbstractItemModel::rowsInserted, this, &ActivityLogPane::updateContent);
    connect(m_model, &QAbstractItemModel::modelReset, this, &ActivityLogPane::updateContent);
    connect(&chrome, &AppChromeState::showActivityInspectorChanged, this, &ActivityLogPane::updateContent);
    updateContent();
}

bool ActivityLogPane::isShowingEmptyState() const
{
    return m_stack->currentWidget() == m_empty;
}

void ActivityLogPane::updateContent()
{
    m_stack->setCurrentWidget(m_model->rowCount() == 0 ? static_cast<QWidget *>(m_empty) : m_list);
    m_clear->setVisible(m_chrome && m_chrome->showActivityInspector());
}

void ActivityLogPane::paintEvent(QPaintEvent *)
{
    // A hairline between the gallery and the pane.
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(0, 0, 0, height());
}

void ActivityLogPane::hideEvent(QHideEvent *event)
{
    // Reopening the pane starts with every record folded.
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        m_model->collapseAll();
}
