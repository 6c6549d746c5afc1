#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

#include "app/published_watch.h"
#include "app/row_list_model.h"
#include "host/host_session.h"
#include "host/library_store.h"

namespace merriphonic {

// The host screen's view of the host session and the library.
class HostViewModel final : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString partyName READ partyName NOTIFY changed)
    Q_PROPERTY(QString headerText READ headerText NOTIFY changed)
    Q_PROPERTY(bool headerActive READ headerActive NOTIFY changed)
    Q_PROPERTY(QString failureText READ failureText NOTIFY changed)
    Q_PROPERTY(QString bannerText READ bannerText NOTIFY changed)
    Q_PROPERTY(QString speakersTitle READ speakersTitle NOTIFY changed)
    Q_PROPERTY(RowListModel* speakers READ speakers CONSTANT)
    Q_PROPERTY(RowListModel* library READ library CONSTANT)
    Q_PROPERTY(bool hasSong READ hasSong NOTIFY changed)
    Q_PROPERTY(QString title READ title NOTIFY changed)
    Q_PROPERTY(QString artist READ artist NOTIFY changed)
    Q_PROPERTY(double durationMs READ durationMs NOTIFY changed)
    Q_PROPERTY(double positionMs READ positionMs NOTIFY positionChanged)
    Q_PROPERTY(bool sending READ sending NOTIFY changed)
    Q_PROPERTY(QString sendingText READ sendingText NOTIFY changed)
    Q_PROPERTY(bool canStartNow READ canStartNow NOTIFY changed)
    Q_PROPERTY(bool playing READ playing NOTIFY changed)
    Q_PROPERTY(double groupVolume READ groupVolume NOTIFY changed)
    Q_PROPERTY(int delayMs READ delayMs NOTIFY changed)

public:
    // The log outlives the view model.
    HostViewModel(std::shared_ptr<HostSession> session, std::shared_ptr<LibraryStore> library,
                  const Log& log, QObject* parent = nullptr);
    ~HostViewModel() override;

    [[nodiscard]] QString partyName() const;
    [[nodiscard]] QString headerText() const;
    [[nodiscard]] bool headerActive() const;
    [[nodiscard]] QString failureText() const;
    [[nodiscard]] QString bannerText() const;
    [[nodiscard]] QString speakersTitle() const;
    [[nodiscard]] RowListModel* speakers() const { return speakers_; }
    [[nodiscard]] RowListModel* library() const { return library_; }
    [[nodiscard]] bool hasSong() const;
    [[nodiscard]] QString title() const;
    [[nodiscard]] QString artist() const;
    [[nodiscard]] double durationMs() const;
    [[nodiscard]] double positionMs() const;
    [[nodiscard]] bool sending() const;
    [[nodiscard]] QString sendingText() const;
    [[nodiscard]] bool canStartNow() const;
    [[nodiscard]] bool playing() const;
    [[nodiscard]] double groupVolume() const;
    [[nodiscard]] int delayMs() const;

    Q_INVOKABLE void togglePlayPause();
    Q_INVOKABLE void next();
    Q_INVOKABLE void seek(double toMs);
    Q_INVOKABLE void startNow();
    Q_INVOKABLE void setGroupVolume(double volume);
    Q_INVOKABLE void setDelayMs(double sliderMs);
    // Library rows: selecting does nothing for a row that can't be played.
    Q_INVOKABLE void select(int row);
    Q_INVOKABLE void remove(int row);
    // The picked files go to the library; what the picker gives that is not a local file is
    // logged as its failure.
    Q_INVOKABLE void importFiles(const QList<QUrl>& files);

Q_SIGNALS:
    void changed();
    void positionChanged();

private:
    void rebuildSpeakers();
    void rebuildLibrary();
    [[nodiscard]] std::optional<LibraryTrack> current() const;

    std::shared_ptr<HostSession> session_;
    std::shared_ptr<LibraryStore> store_;
    const Log& log_;
    RowListModel* speakers_;
    RowListModel* library_;
    PublishedWatch watch_;
};

} // namespace merriphonic
