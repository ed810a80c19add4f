// Small help panels that pop up beside the "?" button that opened them and
// close when the user clicks elsewhere or presses Escape.
#pragma once

#include <QFrame>
#include <QStringList>

class QLabel;

class HelpPopover : public QFrame
{
    Q_OBJECT
public:
    explicit HelpPopover(QWidget *parent = nullptr);

    // Opens to the right of `anchor`, vertically centred on it; to its left
    // when the screen has no room on the right.
    void popUpBeside(QWidget *anchor);
    // Opens when closed and closes when open.
    void toggleBeside(QWidget *anchor);

Q_SIGNALS:
    void shownChanged(bool shown);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

    static constexpr int padding = 14;
};

// Where the family password comes from.
class PasswordHelpPopover : public HelpPopover
{
    Q_OBJECT
public:
    explicit PasswordHelpPopover(bool showsInlineTitle, QWidget *parent = nullptr);

    static constexpr int popoverWidth = 360;
    // The paragraph as plain text (the panel shows parts of it in bold).
    static QString paragraphText();
    QLabel *paragraphLabel() const { return m_paragraph; }

private:
    QLabel *m_paragraph;
};

// How to get a frame's setup block from the frame's own app.
class Bloomin8TokenHelpPopover : public HelpPopover
{
    Q_OBJECT
public:
    explicit Bloomin8TokenHelpPopover(bool showsInlineTitle, QWidget *parent = nullptr);

    static constexpr int popoverWidth = 380;
    static QStringList steps();
    // The step texts as shown, in order.
    QStringList shownSteps() const;

private:
    QList<QLabel *> m_stepLabels;
};
