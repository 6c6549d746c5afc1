#include "app/speaker_view_model.h"

#include "app/screen_text.h"

namespace merriphonic {

namespace {

using Kind = SpeakerSession::Phase::Kind;

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

} // namespace

SpeakerViewModel::SpeakerViewModel(std::shared_ptr<SpeakerSession> session, QObject* parent)
    : QObject(parent), session_(std::move(session)),
      hosts_(new RowListModel({"name", "bars", "signalLabel"}, this)) {
    const auto emitChanged = [this] { Q_EMIT changed(); };
    watch_.on(session_->phase(), emitChanged);
    watch_.on(session_->discovered(), [this] { rebuildHosts(); });
    watch_.on(session_->bluetoothState(), emitChanged);
    watch_.on(session_->partyName(), emitChanged);
    watch_.on(session_->state(), emitChanged);
    watch_.on(session_->title(), emitChanged);
    watch_.on(session_->artist(), emitChanged);
    watch_.on(session_->durationMs(), emitChanged);
    watch_.on(session_->positionMs(), emitChanged);
    watch_.on(session_->loadingPercent(), emitChanged);
    watch_.on(session_->syncMs(), emitChanged);
    watch_.on(session_->delayMs(), emitChanged);
    watch_.on(session_->localVolume(), emitChanged);
    rebuildHosts();
}

SpeakerViewModel::~SpeakerViewModel() = default;

QString SpeakerViewModel::phase() const {
    switch (session_->phase()->kind) {
    case Kind::disconnected:
        return QStringLiteral("disconnected");
    case Kind::failed:
        return QStringLiteral("failed");
    case Kind::idle:
        return QStringLiteral("idle");
    case Kind::scanning:
        return QStringLiteral("scanning");
    case Kind::connecting:
        return QStringLiteral("connecting");
    case Kind::syncing:
        return QStringLiteral("syncing");
    case Kind::connected:
        return QStringLiteral("connected");
    }
    return {};
}

QString SpeakerViewModel::phaseText() const {
    return text(session_->phase()->text);
}

QString SpeakerViewModel::partyName() const {
    return text(session_->partyName().get());
}

QString SpeakerViewModel::subtitle() const {
    return text(ScreenText::connectingSubtitle(session_->phase()->kind));
}

QString SpeakerViewModel::bannerText() const {
    return text(ScreenText::bluetoothBanner(session_->bluetoothState().get()).value_or(""));
}

bool SpeakerViewModel::hasSync() const {
    return session_->syncMs().get().has_value();
}

QString SpeakerViewModel::syncText() const {
    const std::optional<double>& sync = session_->syncMs().get();
    return sync ? text(ScreenText::syncBadge(*sync)) : QString();
}

bool SpeakerViewModel::syncWarns() const {
    const std::optional<double>& sync = session_->syncMs().get();
    return sync && ScreenText::syncBadgeWarns(*sync);
}

bool SpeakerViewModel::hasSong() const {
    return !session_->title()->empty();
}

QString SpeakerViewModel::title() const {
    return hasSong() ? text(session_->title().get()) : QStringLiteral("Nothing yet");
}

QString SpeakerViewModel::artist() const {
    return hasSong() ? text(ScreenText::artistOrUnknown(session_->artist().get())) : QString();
}

double SpeakerViewModel::durationMs() const {
    return static_cast<double>(session_->durationMs().get());
}

double SpeakerViewModel::positionMs() const {
    return static_cast<double>(session_->positionMs().get());
}

QString SpeakerViewModel::statusLine() const {
    return text(
        ScreenText::speakerStatus(session_->state().get(), session_->loadingPercent().get()));
}

int SpeakerViewModel::delayMs() const {
    return session_->delayMs().get();
}

double SpeakerViewModel::localVolume() const {
    return session_->localVolume().get();
}

void SpeakerViewModel::setDelayMs(double sliderMs) {
    session_->setDelayMs(ScreenText::roundedDelayMs(sliderMs));
}

void SpeakerViewModel::setLocalVolume(double volume) {
    session_->setLocalVolume(volume);
}

void SpeakerViewModel::retry() {
    session_->retry();
}

void SpeakerViewModel::rebuildHosts() {
    QList<QVariantMap> rows;
    for (const DiscoveredHost& host : session_->discovered().get()) {
        rows.append(QVariantMap{
            {"name", text(host.name)},
            {"bars", ScreenText::signalBars(host.rssi)},
            {"signalLabel", text(ScreenText::signalLabel(host.rssi))},
        });
    }
    hosts_->setRows(std::move(rows));
}

} // namespace merriphonic
