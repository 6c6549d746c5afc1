#include "platform/desktop/desktop_device.h"

#include <cstdlib>
#include <string_view>

#include "platform/bluez/bluez_radio_factory.h"
#include "platform/ffmpeg/ffmpeg_media_toolkit.h"
#include "platform/local/local_radio_factory.h"
#include "platform/pipewire/audio_output_choice.h"
#include "platform/qt/real_device.h"
#include "platform/qt/spdlog_log_sink.h"

namespace merriphonic {

namespace {

std::string_view environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

RealDeviceOptions deviceOptions(const DesktopDeviceOptions& options, AudioOutputFactory& audio,
                                MediaToolkit& media) {
    RealDeviceOptions device;
    const char* level = std::getenv(SpdlogLogSink::levelVariable);
    device.logSink = std::make_shared<SpdlogLogSink>(
        SpdlogLogSink::standardSinks(),
        level != nullptr ? SpdlogLogSink::levelFromText(level) : options.logLevel);
    device.audio = &audio;
    device.media = &media;
    return device;
}

std::unique_ptr<RadioFactory> makeRadio(bool local, DeviceContext& context) {
    if (local) {
        LocalRadioOptions options;
        options.log = context.log;
        return std::make_unique<LocalRadioFactory>(options);
    }
    BluezRadioOptions options;
    options.log = &context.log;
    return std::make_unique<BluezRadioFactory>(options);
}

} // namespace

// In order of construction: the device refers to the media and the audio, the radio to the
// device's log.
struct DesktopDevice::Parts {
    explicit Parts(const DesktopDeviceOptions& options)
        : audio(audioOutputFactoryFor(environment(audioOutputVariable))),
          device(deviceOptions(options, *audio, media)),
          radio(makeRadio(environment(radioVariable) == "local", device.context())) {
        device.context().radio = radio.get();
    }

    FfmpegMediaToolkit media;
    std::unique_ptr<AudioOutputFactory> audio;
    RealDevice device;
    std::unique_ptr<RadioFactory> radio;
};

DesktopDevice::DesktopDevice(const DesktopDeviceOptions& options)
    : parts_(std::make_unique<Parts>(options)) {}

DesktopDevice::~DesktopDevice() = default;

DeviceContext& DesktopDevice::context() {
    return parts_->device.context();
}

AudioOutputFactory& DesktopDevice::audioOutputs() {
    return *parts_->audio;
}

} // namespace merriphonic
