// A capsule-shaped bordered push button with an optional symbol, as the
// lightbox and the selection bar use. It paints itself at full opacity when
// enabled and at 0.45 when disabled, unless told to keep another opacity
// (a disabled button that reads as a status, such as "Showing until …").
#pragma once

#include <QPushButton>

#include <optional>

class CapsuleButton : public QPushButton
{
    Q_OBJECT
public:
    static constexpr double disabledOpacity = 0.45;

    explicit CapsuleButton(const QString &text, QWidget *parent = nullptr);

    // Red text for actions that remove something.
    void setDestructive(bool destructive);
    bool isDestructive() const { return m_destructive; }
    // The opacity to paint at regardless of enablement; none restores the rule.
    void setOpacityOverride(std::optional<double> opacity);
    // The opacity the button is painted at now.
    double drawnOpacity() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    bool m_destructive = false;
    bool m_hovered = false;
    std::optional<double> m_opacityOverride;
};
