// The game tests run real widgets and Qt Network, which need one application object.
#include <QApplication>
#include <QByteArray>
#include <QtGlobal>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    // Runs by hand need no display either.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen"));
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
