// A small rounded status badge of a link (the gallery server, the frames):
// a symbol, the status word in the status colour, and a title with an
// optional subtitle beside it, on an opaque fill of the status colour. While
// the status is `checking` a spinner turns in place of the symbol.
#pragma once

#include "store/linkstatus.h"

#include <QWidget>

#include <optional>

class BusySpinner;
class QLabel;

class ConnectionPill : public QWidget
{
    Q_OBJECT
public:
    explicit ConnectionPill(const QString &title, QWidget *parent = nullptr);

    QString title() const;
    void setTitle(const QString &title);
    std::optional<QString> subtitle() const { return m_subtitle; }
    void setSubtitle(const std::optional<QString> &subtitle);
    LinkStatus status() const { return m_status; }
    void setStatus(LinkStatus status);

    // What is shown: the status word, the symbol's name, and whether the
    // spinner stands in for the symbol.
    QString statusText() const;
    QString shownSymbolName() const;
    bool isSpinnerShown() const;

    // The look of each status.
    static QString text(LinkStatus status);
    static QString symbolName(LinkStatus status);
    static QColor textColor(LinkStatus status, bool dark);
    // The opaque fill for the light or dark colour scheme.
    static QColor solidFill(LinkStatus status, bool dark);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void refresh();
    void elideSubtitle();
    bool isDark() const;

    LinkStatus m_status = LinkStatus::down;
    std::optional<QString> m_subtitle;
    QLabel *m_symbol;
    BusySpinner *m_spinner;
    QLabel *m_statusText;
    QLabel *m_title;
    QLabel *m_subtitleLabel;
};
