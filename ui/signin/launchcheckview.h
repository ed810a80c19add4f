// The screen shown while the stored session is being verified at start-up:
// a spinner and nothing else.
#pragma once

#include <QWidget>

class BusySpinner;

class LaunchCheckView : public QWidget
{
    Q_OBJECT
public:
    explicit LaunchCheckView(QWidget *parent = nullptr);

    static constexpr int maxColumnWidth = 520;
    static constexpr int padding = 48;
    BusySpinner *spinner() const { return m_spinner; }

private:
    BusySpinner *m_spinner;
};
