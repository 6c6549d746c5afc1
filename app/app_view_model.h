#pragma once

#include <QObject>
#include <QString>

#include "app/app_model.h"
#include "app/host_view_model.h"
#include "app/published_watch.h"
#include "app/speaker_view_model.h"

namespace merriphonic {

// The root of what QML sees: the shown screen, the name, the permission message, the actions,
// the two role view models and the number formats the screens share.
class AppViewModel final : public QObject {
    Q_OBJECT
    // "home", "host", "join" or "speaker".
    Q_PROPERTY(QString screen READ screen NOTIFY screenChanged)
    Q_PROPERTY(QString name READ name WRITE setName NOTIFY nameChanged)
    Q_PROPERTY(QString permissionMessage READ permissionMessage NOTIFY permissionMessageChanged)
    Q_PROPERTY(HostViewModel* host READ host CONSTANT)
    Q_PROPERTY(SpeakerViewModel* speaker READ speaker CONSTANT)

public:
    // The model outlives the view model.
    explicit AppViewModel(AppModel& model, QObject* parent = nullptr);
    ~AppViewModel() override;

    [[nodiscard]] QString screen() const;
    [[nodiscard]] QString name() const;
    void setName(const QString& name);
    [[nodiscard]] QString permissionMessage() const;
    [[nodiscard]] HostViewModel* host() const { return host_; }
    [[nodiscard]] SpeakerViewModel* speaker() const { return speaker_; }

    Q_INVOKABLE void hostParty();
    Q_INVOKABLE void joinAsSpeaker();
    Q_INVOKABLE void chooseHost(int row);
    Q_INVOKABLE void backToScanner();
    Q_INVOKABLE void leaveSpeaker();
    Q_INVOKABLE void endParty();
    Q_INVOKABLE void openSettings();

    // Shared formats.
    Q_INVOKABLE [[nodiscard]] static QString time(double ms);
    Q_INVOKABLE [[nodiscard]] static int roundedDelay(double sliderMs);

Q_SIGNALS:
    void screenChanged();
    void nameChanged();
    void permissionMessageChanged();

private:
    AppModel& model_;
    HostViewModel* host_;
    SpeakerViewModel* speaker_;
    PublishedWatch watch_;
};

} // namespace merriphonic
