// lunvik-photos: the desktop application.

#include "ui/kit/icons.h"
#include "ui/kit/style.h"
#include "ui/gallery/benchhooks.h"
#include "lunvikphotosapp.h"
#include "mainwindow.h"
#include "singleinstance.h"

#include "model/appconfig.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>

#include <cstdio>

int main(int argc, char *argv[])
{
    const bool styleChosen = AppStyle::commandLineChoosesStyle(argc, argv);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lunvik-photos"));
    QApplication::setApplicationDisplayName(QStringLiteral("Lunvik Photos"));
    QApplication::setApplicationVersion(QStringLiteral(LUNVIK_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("photos.lunvik.LunvikPhotos"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The family's shared photo gallery for the e-paper photo frames."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);

    // A second launch on the same data brings the running window forward.
    SingleInstance instance(AppConfig::supportFolder());
    if (!instance.isPrimary()) {
        if (instance.askPrimaryToRaise())
            return 0;
        std::fputs("lunvik-photos: Lunvik Photos is already running on this data folder but does not answer.\n",
                   stderr);
        return 1;
    }

    QApplication::setWindowIcon(AppIcons::applicationIcon());
    AppStyle::apply(app, styleChosen);

    LunvikPhotosApp lunvik;
    QObject::connect(&instance, &SingleInstance::raiseRequested, &lunvik.window(), &MainWindow::bringToFront);
    // Turns the event loop briefly for the portal's first answer.
    lunvik.followColorScheme(QDBusConnection::sessionBus(), styleChosen);
    lunvik.notifyOn(QDBusConnection::sessionBus());
    BenchHooks::installFromEnvironment();
    lunvik.launch();
    const int status = QApplication::exec();
    lunvik.shutdown();
    return status;
}
