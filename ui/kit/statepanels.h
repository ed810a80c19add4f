// Panels that stand in for content: an empty state (symbol, title and
// description) and a loading state (spinner above a line of text).
#pragma once

#include <QWidget>

class QLabel;

class EmptyStatePanel : public QWidget
{
    Q_OBJECT
public:
    EmptyStatePanel(
        const QString &symbolName, const QString &title, const QString &description, QWidget *parent = nullptr);

    QString title() const;
    QString description() const;

private:
    QLabel *m_title;
    QLabel *m_description;
};

class LoadingStatePanel : public QWidget
{
    Q_OBJECT
public:
    explicit LoadingStatePanel(const QString &text, QWidget *parent = nullptr);

    QString text() const;

private:
    QLabel *m_text;
};
