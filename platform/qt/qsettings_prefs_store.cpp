#include "platform/qt/qsettings_prefs_store.h"

#include <QLocale>
#include <QSettings>
#include <QString>
#include <QVariant>

#include <charconv>
#include <cmath>
#include <system_error>

namespace merriphonic {

namespace {

QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

QSettingsPrefsStore::QSettingsPrefsStore()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                            toQString(organization), toQString(application))) {}

QSettingsPrefsStore::QSettingsPrefsStore(const std::filesystem::path& file)
    : settings_(std::make_unique<QSettings>(QString::fromStdString(file.string()),
                                            QSettings::IniFormat)) {}

QSettingsPrefsStore::~QSettingsPrefsStore() = default;

std::optional<std::string> QSettingsPrefsStore::text(std::string_view key) const {
    const QVariant value = settings_->value(toQString(key));
    switch (value.typeId()) {
    case QMetaType::QString:
        return value.toString().toStdString();
    case QMetaType::Int:
    case QMetaType::LongLong:
        return std::to_string(value.toLongLong());
    case QMetaType::Double:
        // The INI writer's form, so the text is the same before and after a restart.
        return QString::number(value.toDouble(), 'g', QLocale::FloatingPointShortest).toStdString();
    default:
        // Absent, or a list or other structure that has no single text.
        return std::nullopt;
    }
}

std::optional<int64_t> QSettingsPrefsStore::integer(std::string_view key) const {
    const auto stored = text(key);
    return stored ? parseInteger(*stored) : std::nullopt;
}

std::optional<double> QSettingsPrefsStore::real(std::string_view key) const {
    const auto stored = text(key);
    return stored ? parseReal(*stored) : std::nullopt;
}

void QSettingsPrefsStore::setText(std::string_view key, std::string_view value) {
    settings_->setValue(toQString(key), toQString(value));
}

void QSettingsPrefsStore::setInteger(std::string_view key, int64_t value) {
    settings_->setValue(toQString(key), QVariant::fromValue<qlonglong>(value));
}

void QSettingsPrefsStore::setReal(std::string_view key, double value) {
    settings_->setValue(toQString(key), value);
}

void QSettingsPrefsStore::remove(std::string_view key) {
    settings_->remove(toQString(key));
}

void QSettingsPrefsStore::sync() {
    settings_->sync();
}

std::filesystem::path QSettingsPrefsStore::filePath() const {
    return settings_->fileName().toStdString();
}

std::optional<int64_t> QSettingsPrefsStore::parseInteger(std::string_view text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || ptr != end) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> QSettingsPrefsStore::parseReal(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || ptr != end || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace merriphonic
