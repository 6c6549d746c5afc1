#include "app/host_view_model.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "app/screen_text.h"
#include "core/sync_protocol.h"

namespace merriphonic {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

QString text(std::string_view value) {
    return QString::fromUtf8(value.data(), static_cast<qsizetype>(value.size()));
}

std::string_view stateName(LibraryTrack::State state) {
    return LibraryTrack::stateText(state);
}

} // namespace

HostViewModel::HostViewModel(std::shared_ptr<HostSession> session,
                             std::shared_ptr<LibraryStore> library, const Log& log, QObject* parent)
    : QObject(parent), session_(std::move(session)), store_(std::move(library)), log_(log),
      speakers_(new RowListModel(
          {"name", "icon", "chip", "chipColor", "roundTrip", "delay", "isLocal"}, this)),
      library_(new RowListModel(
          {"title", "artist", "duration", "status", "error", "isCurrent", "selectable", "progress"},
          this)) {
    const auto emitChanged = [this] { Q_EMIT changed(); };
    watch_.on(session_->partyName(), emitChanged);
    watch_.on(session_->phase(), emitChanged);
    watch_.on(session_->bluetoothState(), emitChanged);
    watch_.on(session_->rows(), [this] {
        rebuildSpeakers();
        Q_EMIT changed();
    });
    watch_.on(session_->currentTrackId(), [this] {
        rebuildLibrary();
        Q_EMIT changed();
    });
    watch_.on(session_->playback(), emitChanged);
    watch_.on(session_->positionMs(), [this] { Q_EMIT positionChanged(); });
    watch_.on(session_->sendProgress(), emitChanged);
    watch_.on(session_->groupVolume(), emitChanged);
    watch_.on(session_->delayMs(), emitChanged);
    watch_.on(store_->tracks, [this] {
        rebuildLibrary();
        Q_EMIT changed();
    });
    watch_.on(store_->importing, [this] { rebuildLibrary(); });
    rebuildSpeakers();
    rebuildLibrary();
}

HostViewModel::~HostViewModel() = default;

QString HostViewModel::partyName() const {
    return text(session_->partyName().get());
}

QString HostViewModel::headerText() const {
    return text(ScreenText::hostHeader(session_->phase().get(), session_->bluetoothState().get()));
}

bool HostViewModel::headerActive() const {
    return ScreenText::hostHeaderActive(session_->phase().get());
}

QString HostViewModel::failureText() const {
    const HostPeripheral::Phase& phase = session_->phase().get();
    return phase.is(HostPeripheral::Phase::Kind::failed) ? text(phase.text) : QString();
}

QString HostViewModel::bannerText() const {
    return text(ScreenText::bluetoothBanner(session_->bluetoothState().get()).value_or(""));
}

QString HostViewModel::speakersTitle() const {
    const auto& rows = session_->rows().get();
    const auto count =
        std::count_if(rows.begin(), rows.end(), [](const SpeakerRow& row) { return !row.isLocal; });
    return QStringLiteral("Speakers (%1/%2)").arg(count).arg(SyncProtocol::maxSpeakers);
}

std::optional<LibraryTrack> HostViewModel::current() const {
    return store_->track(session_->currentTrackId().get());
}

bool HostViewModel::hasSong() const {
    return current().has_value();
}

QString HostViewModel::title() const {
    const std::optional<LibraryTrack> entry = current();
    return entry ? text(entry->title) : QStringLiteral("Pick a song from your library");
}

QString HostViewModel::artist() const {
    const std::optional<LibraryTrack> entry = current();
    return entry ? text(ScreenText::artistOrUnknown(entry->artist)) : QString();
}

double HostViewModel::durationMs() const {
    const std::optional<LibraryTrack> entry = current();
    return entry ? static_cast<double>(entry->durationMs) : 0.0;
}

double HostViewModel::positionMs() const {
    return static_cast<double>(session_->positionMs().get());
}

bool HostViewModel::sending() const {
    return hasSong() && session_->sendProgress().get() < 1.0;
}

QString HostViewModel::sendingText() const {
    const auto percent = static_cast<int>(std::floor(session_->sendProgress().get() * 100.0));
    return QStringLiteral("Sending to speakers… %1%").arg(percent);
}

bool HostViewModel::canStartNow() const {
    return session_->playback().get() == HostPlayback::waiting;
}

bool HostViewModel::playing() const {
    return session_->playback().get() == HostPlayback::playing;
}

double HostViewModel::groupVolume() const {
    return session_->groupVolume().get();
}

int HostViewModel::delayMs() const {
    return session_->delayMs().get();
}

void HostViewModel::togglePlayPause() {
    session_->togglePlayPause();
}

void HostViewModel::next() {
    session_->next();
}

void HostViewModel::seek(double toMs) {
    session_->seek(static_cast<int64_t>(toMs));
}

void HostViewModel::startNow() {
    if (canStartNow()) {
        session_->togglePlayPause();
    }
}

void HostViewModel::setGroupVolume(double volume) {
    session_->setGroupVolume(volume);
}

void HostViewModel::setDelayMs(double sliderMs) {
    session_->setDelayMs(ScreenText::roundedDelayMs(sliderMs));
}

void HostViewModel::select(int row) {
    const auto& tracks = store_->tracks.get();
    if (row < 0 || row >= static_cast<int>(tracks.size())) {
        return;
    }
    const LibraryTrack entry = tracks[static_cast<size_t>(row)];
    if (ScreenText::isSelectable(entry)) {
        session_->select(entry);
    }
}

void HostViewModel::remove(int row) {
    const auto& tracks = store_->tracks.get();
    if (row < 0 || row >= static_cast<int>(tracks.size())) {
        return;
    }
    const LibraryTrack entry = tracks[static_cast<size_t>(row)];
    session_->remove(entry);
}

void HostViewModel::importFiles(const QList<QUrl>& files) {
    std::vector<std::filesystem::path> paths;
    for (const QUrl& url : files) {
        if (url.isLocalFile()) {
            paths.emplace_back(url.toLocalFile().toStdString());
        } else {
            log_.error(LogCategory::app, "file picker: {}",
                       "not a local file: " + url.toDisplayString().toStdString());
        }
    }
    if (!paths.empty()) {
        store_->importFiles(paths);
    }
}

void HostViewModel::rebuildSpeakers() {
    QList<QVariantMap> rows;
    for (const SpeakerRow& row : session_->rows().get()) {
        rows.append(QVariantMap{
            {"name", text(row.name)},
            {"icon", text(ScreenText::platformIcon(row.platform))},
            {"chip", text(row.chip)},
            {"chipColor", text(ScreenText::chipColor(row.kind))},
            {"roundTrip", text(ScreenText::roundTripText(row.rttMs))},
            {"delay", text(ScreenText::delayText(row.delayMs))},
            {"isLocal", row.isLocal},
        });
    }
    speakers_->setRows(std::move(rows));
}

void HostViewModel::rebuildLibrary() {
    const std::optional<std::string>& currentId = session_->currentTrackId().get();
    QList<QVariantMap> rows;
    for (const LibraryTrack& entry : store_->tracks.get()) {
        rows.append(QVariantMap{
            {"title", text(entry.title)},
            {"artist", text(ScreenText::artistOrUnknown(entry.artist))},
            {"duration", text(ScreenText::time(entry.durationMs))},
            {"status", text(stateName(entry.state))},
            {"error", text(entry.error.value_or(""))},
            {"isCurrent", currentId && *currentId == entry.id},
            {"selectable", ScreenText::isSelectable(entry)},
            {"progress", -1.0},
        });
    }
    // Files still being copied in follow, with how far their copy has come.
    for (const LibraryStore::PendingImport& pending : store_->importing.get()) {
        const double progress = pending.totalBytes > 0 ? static_cast<double>(pending.copiedBytes) /
                                                             static_cast<double>(pending.totalBytes)
                                                       : -1.0;
        rows.append(QVariantMap{
            {"title", text(std::filesystem::path(pending.name).stem().string())},
            {"artist", QStringLiteral("Adding to the library…")},
            {"duration", QString()},
            {"status", QStringLiteral("importing")},
            {"error", QString()},
            {"isCurrent", false},
            {"selectable", false},
            {"progress", progress},
        });
    }
    library_->setRows(std::move(rows));
}

} // namespace merriphonic
