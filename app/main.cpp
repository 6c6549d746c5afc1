// Merriphonic: one window, one model for the life of the process, on the real device.

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QUrl>

#include "app/app_model.h"
#include "app/app_view_model.h"
#include "app/system_bluetooth_access.h"
#include "platform/desktop/desktop_device.h"

int main(int argc, char** argv) {
    QGuiApplication::setOrganizationName(QStringLiteral("Merriphonic"));
    QGuiApplication::setApplicationName(QStringLiteral("Merriphonic"));
    QGuiApplication::setDesktopFileName(QStringLiteral("merriphonic"));
    QGuiApplication app(argc, argv);
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/qml/icons/app.svg")));
    QQuickStyle::setStyle(QStringLiteral("Material"));

    merriphonic::DesktopDevice device;
    merriphonic::SystemBluetoothAccess access;
    merriphonic::AppModel model(device.context(), access);
    merriphonic::AppViewModel viewModel(model);

    QQmlApplicationEngine engine;
    engine.rootContext()->setContextProperty(QStringLiteral("app"), &viewModel);
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &app,
        [] { QCoreApplication::exit(1); }, Qt::QueuedConnection);
    engine.load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
    return QGuiApplication::exec();
}
