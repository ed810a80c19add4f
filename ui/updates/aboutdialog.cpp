#include "aboutdialog.h"

#include "ui/kit/icons.h"
#include "ui/kit/painting.h"
#include "ui/kit/style.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QLabel>
#include <QVBoxLayout>

AboutDialog::AboutDialog(QWidget *parent)
    : QDialog(parent)
{
    setWindowTitle(tr("About Lunvik Photos"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(32, 28, 32, 20);
    layout->setSpacing(6);

    auto *icon = new QLabel(this);
    icon->setPixmap(AppIcons::applicationIcon().pixmap(QSize(96, 96), devicePixelRatioF()));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);
    layout->addSpacing(6);

    auto *name = new QLabel(tr("Lunvik Photos"), this);
    QFont nameFont = name->font();
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.5);
    nameFont.setWeight(QFont::Bold);
    name->setFont(nameFont);
    name->setAlignment(Qt::AlignCenter);
    layout->addWidget(name);

    auto *version = new QLabel(tr("Version ") + QCoreApplication::applicationVersion(), this);
    version->setAlignment(Qt::AlignCenter);
    version->setTextInteractionFlags(Qt::TextSelectableByMouse);
    UiColors::followPalette(version, QPalette::WindowText, AppStyle::secondaryText);
    layout->addWidget(version);
    layout->addSpacing(10);

    auto *about = new QLabel(tr("The family's shared photo gallery, shown on the photo frames at "
                                "home. Add photos, put them in order and choose the one to show today."),
        this);
    about->setWordWrap(true);
    about->setAlignment(Qt::AlignCenter);
    about->setFixedWidth(320);
    layout->addWidget(about, 0, Qt::AlignHCenter);
    layout->addSpacing(12);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}
