// Merriphonic: one window, one model for the life of the process, on the real device.

#include <QGuiApplication>
#include <QIcon>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QUrl>

#include <cstdlib>
#include <memory>
#include <string_view>

#include "app/app_model.h"
#include "app/app_view_model.h"
#include "app/system_bluetooth_access.h"
#include "platform/bluez/bluez_radio_factory.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/local/local_radio_factory.h"
#include "platform/pipewire/audio_output_choice.h"
#include "platform/qt/real_device.h"

namespace {

// Developer switch: MERRIPHONIC_RADIO=local runs parties between instances on this computer.
constexpr const char* radioVariable = "MERRIPHONIC_RADIO";

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

std::unique_ptr<merriphonic::RadioFactory> makeRadio(merriphonic::DeviceContext& context) {
    if (environment(radioVariable) == "local") {
        merriphonic::LocalRadioOptions options;
        options.log = context.log;
        return std::make_unique<merriphonic::LocalRadioFactory>(options);
    }
    merriphonic::BluezRadioOptions options;
    options.log = &context.log;
    return std::make_unique<merriphonic::BluezRadioFactory>(options);
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication::setOrganizationName(QStringLiteral("Merriphonic"));
    QGuiApplication::setApplicationName(QStringLiteral("Merriphonic"));
    QGuiApplication::setDesktopFileName(QStringLiteral("merriphonic"));
    QGuiApplication app(argc, argv);
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/qml/icons/app.svg")));
    QQuickStyle::setStyle(QStringLiteral("Material"));

    merriphonic::FfmpegMediaToolkit media;
    const std::unique_ptr<merriphonic::AudioOutputFactory> audio =
        merriphonic::audioOutputFactoryFor(environment(merriphonic::audioOutputVariable));
    merriphonic::RealDeviceOptions options;
    options.audio = audio.get();
    options.media = &media;
    merriphonic::RealDevice device(options);
    const std::unique_ptr<merriphonic::RadioFactory> radio = makeRadio(device.context());
    device.context().radio = radio.get();

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
