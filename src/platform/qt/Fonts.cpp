#include "platform/qt/Fonts.h"

#include <QFontDatabase>
#include <QFontInfo>

namespace rivalon {

QString TahomaFamily() {
    // Ordered by how close their widths run to Tahoma's: a wider face would push captions past
    // the controls sized for Tahoma.
    static const char* const kCandidates[] = {"Tahoma",          "Liberation Sans",
                                              "Arial",           "DejaVu Sans Condensed",
                                              "Noto Sans",       "DejaVu Sans"};
    for (const char* family : kCandidates) {
        if (QFontDatabase::hasFamily(QString::fromLatin1(family)))
            return QString::fromLatin1(family);
    }
    QFont generic;
    generic.setStyleHint(QFont::SansSerif);
    return QFontInfo(generic).family();
}

QFont TahomaFont(double pointSize, bool bold) {
    QFont font(TahomaFamily());
    font.setPointSizeF(pointSize);
    font.setStyleHint(QFont::SansSerif);
    font.setBold(bold);
    return font;
}

QFont TahomaFontPx96(int height, bool bold) { return TahomaFont(height * 72.0 / 96.0, bold); }

} // namespace rivalon
