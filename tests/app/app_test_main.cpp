#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QQuickStyle>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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
