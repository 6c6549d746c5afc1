#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "app/published_watch.h"
#include "app/row_list_model.h"
#include "speaker/speaker_session.h"

namespace merriphonic {

// The join and speaker screens' view of the speaker session.
class SpeakerViewModel final : public QObject {
    Q_OBJECT
    // "idle", "scanning", "connecting", "syncing", "connected", "disconnected", "failed".
    Q_PROPERTY(QString phase READ phase NOTIFY changed)
    Q_PROPERTY(QString phaseText READ phaseText NOTIFY changed)
    Q_PROPERTY(QString partyName READ partyName NOTIFY changed)
    Q_PROPERTY(QString subtitle READ subtitle NOTIFY changed)
    Q_PROPERTY(QString bannerText READ bannerText NOTIFY changed)
    Q_PROPERTY(RowListModel* hosts READ hosts CONSTANT)
    Q_PROPERTY(bool hasSync READ hasSync NOTIFY changed)
    Q_PROPERTY(QString syncText READ syncText NOTIFY changed)
    Q_PROPERTY(bool syncWarns READ syncWarns NOTIFY changed)
    Q_PROPERTY(bool hasSong READ hasSong NOTIFY changed)
    Q_PROPERTY(QString title READ title NOTIFY changed)
    Q_PROPERTY(QString artist READ artist NOTIFY changed)
    Q_PROPERTY(double durationMs READ durationMs NOTIFY changed)
    Q_PROPERTY(double positionMs READ positionMs NOTIFY changed)
    Q_PROPERTY(QString statusLine READ statusLine NOTIFY changed)
    Q_PROPERTY(int delayMs READ delayMs NOTIFY changed)
    Q_PROPERTY(double localVolume READ localVolume NOTIFY changed)

public:
    explicit SpeakerViewModel(std::shared_ptr<SpeakerSession> session, QObject* parent = nullptr);
    ~SpeakerViewModel() override;

    [[nodiscard]] QString phase() const;
    [[nodiscard]] QString phaseText() const;
    [[nodiscard]] QString partyName() const;
    [[nodiscard]] QString subtitle() const;
    [[nodiscard]] QString bannerText() const;
    [[nodiscard]] RowListModel* hosts() const { return hosts_; }
    [[nodiscard]] bool hasSync() const;
    [[nodiscard]] QString syncText() const;
    [[nodiscard]] bool syncWarns() const;
    [[nodiscard]] bool hasSong() const;
    [[nodiscard]] QString title() const;
    [[nodiscard]] QString artist() const;
    [[nodiscard]] double durationMs() const;
    [[nodiscard]] double positionMs() const;
    [[nodiscard]] QString statusLine() const;
    [[nodiscard]] int delayMs() const;
    [[nodiscard]] double localVolume() const;

    Q_INVOKABLE void setDelayMs(double sliderMs);
    Q_INVOKABLE void setLocalVolume(double volume);
    // "Rejoin" and "Try again".
    Q_INVOKABLE void retry();

Q_SIGNALS:
    void changed();

private:
    void rebuildHosts();

    std::shared_ptr<SpeakerSession> session_;
    RowListModel* hosts_;
    PublishedWatch watch_;
};

} // namespace merriphonic
