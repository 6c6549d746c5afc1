#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QQuickStyle>

#include <cstdlib>

// The screens need a GUI application; the tests run it without a display.
int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::testing::InitGoogleTest(&argc, argv);
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Material"));
    return RUN_ALL_TESTS();
}
