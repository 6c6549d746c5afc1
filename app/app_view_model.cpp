#include "app/app_view_model.h"

#include <cmath>
#include <vector>

#include "app/screen_text.h"

namespace merriphonic {

AppViewModel::AppViewModel(AppModel& model, QObject* parent)
    : QObject(parent), model_(model),
      host_(new HostViewModel(model.host(), model.library(), model.log(), this)),
      speaker_(new SpeakerViewModel(model.speaker(), this)) {
    watch_.on(model_.screen(), [this] { Q_EMIT screenChanged(); });
    watch_.on(model_.name(), [this] { Q_EMIT nameChanged(); });
    watch_.on(model_.permissionMessage(), [this] { Q_EMIT permissionMessageChanged(); });
}

AppViewModel::~AppViewModel() = default;

QString AppViewModel::screen() const {
    switch (model_.screen().get()) {
    case AppModel::Screen::home:
        return QStringLiteral("home");
    case AppModel::Screen::host:
        return QStringLiteral("host");
    case AppModel::Screen::join:
        return QStringLiteral("join");
    case AppModel::Screen::speaker:
        return QStringLiteral("speaker");
    }
    return {};
}

QString AppViewModel::name() const {
    return QString::fromStdString(model_.name().get());
}

void AppViewModel::setName(const QString& name) {
    model_.setName(name.toStdString());
}

QString AppViewModel::permissionMessage() const {
    return QString::fromStdString(model_.permissionMessage().get().value_or(""));
}

void AppViewModel::hostParty() {
    model_.hostParty();
}

void AppViewModel::joinAsSpeaker() {
    model_.joinAsSpeaker();
}

void AppViewModel::chooseHost(int row) {
    const std::vector<DiscoveredHost>& hosts = model_.speaker()->discovered().get();
    if (row >= 0 && row < static_cast<int>(hosts.size())) {
        model_.chooseHost(hosts[static_cast<size_t>(row)]);
    }
}

void AppViewModel::backToScanner() {
    model_.backToScanner();
}

void AppViewModel::leaveSpeaker() {
    model_.leaveSpeaker();
}

void AppViewModel::endParty() {
    model_.endParty();
}

void AppViewModel::openSettings() {
    model_.openSettings();
}

QString AppViewModel::time(double ms) {
    return QString::fromStdString(ScreenText::time(static_cast<int64_t>(std::floor(ms))));
}

int AppViewModel::roundedDelay(double sliderMs) {
    return ScreenText::roundedDelayMs(sliderMs);
}

} // namespace merriphonic
