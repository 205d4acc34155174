// Start sequence of the game: the application, the dark style, the one window, the message loop.
#include "game/uPrincipal.h"
#include "platform/qt/Dialogs.h"
#include "platform/qt/Fonts.h"
#include "platform/qt/StyleManager.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv) {
    // The program takes no command-line arguments: Qt sees only the program name, so nothing
    // typed after it can change the program's behaviour.
    (void)argc;
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    QApplication::setApplicationName(QStringLiteral("Rivalon"));
    QApplication::setQuitOnLastWindowClosed(true);
    QApplication::setFont(rivalon::TahomaFontPx96(11));

    rivalon::InitGameResources();
    // A style that cannot be applied has shown its error; the standard look stays.
    rivalon::TStyleManager::LoadAndApply(QStringLiteral("WINDOWSDARK"), QStringLiteral("Windows10 Dark"));

    std::unique_ptr<rivalon::TfrmPrincipal> window;
    try {
        window = std::make_unique<rivalon::TfrmPrincipal>();
    } catch (const std::exception& e) {
        rivalon::ShowException(e); // the window could not be created: nothing to run
        return 1;
    }
    window->show();
    return app.exec();
}
