#include "launchcheckview.h"

#include "ui/kit/busyspinner.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

LaunchCheckView::LaunchCheckView(QWidget *parent) : QWidget(parent)
{
    auto *column = new QWidget(this);
    column->setMaximumWidth(maxColumnWidth);
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, 0, 0, 0);
    m_spinner = new BusySpinner(36, column);
    columnLayout->addWidget(m_spinner, 0, Qt::AlignCenter);

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(padding, padding, padding, padding);
    layout->addWidget(column);
}
