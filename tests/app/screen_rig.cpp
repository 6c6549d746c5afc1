#include "tests/app/screen_rig.h"
#include "core/time_units.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QMetaMethod>
#include <QQmlContext>
#include <QQuickItem>
#include <QVariant>

#include <functional>

namespace merriphonic::test {

namespace {

QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void collect(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtDebugMsg && type != QtInfoMsg) {
        warnings << message;
    }
    if (previousHandler != nullptr) {
        previousHandler(type, context, message);
    }
}

void visit(QQuickItem* item, const std::function<void(QQuickItem*)>& fn) {
    if (item == nullptr || !item->isVisible()) {
        return;
    }
    fn(item);
    for (QQuickItem* child : item->childItems()) {
        visit(child, fn);
    }
}

QString textOf(const QQuickItem* item) {
    const QVariant value = item->property("text");
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

bool hasClicked(const QObject* object) {
    return object->metaObject()->indexOfSignal("clicked()") >= 0;
}

} // namespace

QtWarnings::QtWarnings() {
    warnings.clear();
    previousHandler = qInstallMessageHandler(collect);
}

QtWarnings::~QtWarnings() {
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}

QStringList QtWarnings::all() {
    return warnings;
}

ScreenApp::ScreenApp(AppDevice& device, QSize size)
    : viewModel_(std::make_unique<AppViewModel>(device.model())),
      engine_(std::make_unique<QQmlApplicationEngine>()) {
    engine_->rootContext()->setContextProperty(QStringLiteral("app"), viewModel_.get());
    engine_->load(QUrl(QStringLiteral("qrc:/qml/Main.qml")));
    if (!engine_->rootObjects().isEmpty()) {
        window_ = qobject_cast<QQuickWindow*>(engine_->rootObjects().first());
    }
    if (window_ != nullptr) {
        window_->resize(size);
    }
    settle();
}

ScreenApp::~ScreenApp() {
    engine_.reset();
    settle();
}

QStringList ScreenApp::texts() const {
    QStringList all;
    if (window_ == nullptr) {
        return all;
    }
    visit(window_->contentItem(), [&all](QQuickItem* item) {
        if (const QString text = textOf(item); !text.isEmpty()) {
            all << text;
        }
    });
    return all;
}

bool ScreenApp::shows(const QString& text) const {
    return texts().contains(text);
}

bool ScreenApp::click(const QString& text) {
    QQuickItem* target = nullptr;
    visit(window_->contentItem(), [&](QQuickItem* item) {
        if (textOf(item) != text) {
            return;
        }
        for (QQuickItem* at = item; at != nullptr; at = at->parentItem()) {
            if (hasClicked(at)) {
                target = at;
                return;
            }
        }
    });
    if (target == nullptr) {
        return false;
    }
    QMetaObject::invokeMethod(target, "clicked");
    settle();
    return true;
}

void ScreenApp::grab(const std::filesystem::path& file) const {
    // Popups and pages finish their entry transitions first.
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 400) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    window_->grabWindow().save(QString::fromStdString(file.string()));
}

void settle() {
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

bool runScreensUntil(AppRig& rig, const std::function<bool()>& done, int64_t timeoutNs) {
    const int64_t end = rig.world().nowNs() + timeoutNs;
    while (!done() && rig.world().nowNs() < end) {
        rig.runFor(10 * nsPerMs);
        QCoreApplication::processEvents();
    }
    settle();
    return done();
}

void runScreensFor(AppRig& rig, int64_t ns) {
    const int64_t end = rig.world().nowNs() + ns;
    runScreensUntil(
        rig, [&] { return rig.world().nowNs() >= end; }, ns + nsPerMs);
}

} // namespace merriphonic::test
