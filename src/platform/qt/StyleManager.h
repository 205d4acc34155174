#pragma once
// Visual styles carried as embedded resources. A style resource is a Qt style sheet whose leading
// comment names the style and gives its palette:
//   @name Windows10 Dark
//   @palette Window #202020            (every colour group)
//   @palette Disabled:Text #8a8a8a     (one group)
// Applying a style sets the Fusion base style, that palette and the sheet for the whole program.
#include <QPalette>
#include <QString>

#include <map>

namespace rivalon {

class TStyleManager {
public:
    struct TStyle {
        QString Name;
        QPalette Palette;
        QString Sheet;
    };

    // Reads the style resource ":/<resourceName>" and registers the style under its own name.
    // Returns false (and registers nothing) when the resource is missing or malformed.
    static bool LoadFromResource(const QString& resourceName, QString* error = nullptr);

    // Applies a registered style to the application. On failure the program keeps its current
    // look; with showErrorDialog the reason is shown in an error box.
    static bool TrySetStyle(const QString& styleName, bool showErrorDialog = true);

    // Both steps, as the start sequence needs them.
    static bool LoadAndApply(const QString& resourceName, const QString& styleName);

    // Name of the style applied last; empty while the standard look is on.
    static QString ActiveStyleName();

    // Parses a style resource's text; exposed for tests.
    static bool Parse(const QString& text, TStyle& style, QString* error);

private:
    static std::map<QString, TStyle>& Registry();
    static QString& Active();
};

} // namespace rivalon
