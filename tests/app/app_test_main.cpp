#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QQuickStyle>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

// Qt Quick keeps caches (pixmaps, rendered icons, compiled components) in structures it frees
// only partly at exit; the leak checker of the sanitizer build is told to look past them.
extern "C" const char*
__lsan_default_suppressions() { // NOLINT(bugprone-reserved-identifier,readability-identifier-naming)
    return "leak:libQt6Quick.so\n"
           "leak:libQt6Qml.so\n"
           "leak:libQt6Gui.so\n"
           "leak:libQt6QuickControls2Impl.so\n"
           "leak:libqsvg.so\n";
}

// The screens need a GUI application; the tests run it without a display.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Qt wants a private runtime folder; a machine without a login session has none.
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        const std::string runtime = "/tmp/merriphonic-runtime-" + std::to_string(::getuid());
        ::mkdir(runtime.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Material"));
    return RUN_ALL_TESTS();
}
