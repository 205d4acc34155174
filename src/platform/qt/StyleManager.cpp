#include "platform/qt/StyleManager.h"

#include "platform/qt/Dialogs.h"

#include <QApplication>
#include <QColor>
#include <QFile>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleFactory>

namespace rivalon {

namespace {

std::u16string ToU16(const QString& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.utf16()), static_cast<size_t>(s.size()));
}

void Fail(QString* error, const QString& text) {
    if (error)
        *error = text;
}

} // namespace

std::map<QString, TStyleManager::TStyle>& TStyleManager::Registry() {
    static std::map<QString, TStyle> registry;
    return registry;
}

QString& TStyleManager::Active() {
    static QString active;
    return active;
}

bool TStyleManager::Parse(const QString& text, TStyle& style, QString* error) {
    const qsizetype open = text.indexOf(QStringLiteral("/*"));
    const qsizetype close = open < 0 ? -1 : text.indexOf(QStringLiteral("*/"), open + 2);
    if (open < 0 || close < 0) {
        Fail(error, QStringLiteral("the style header comment is missing"));
        return false;
    }
    const QString header = text.mid(open + 2, close - open - 2);
    const QMetaEnum roles = QMetaEnum::fromType<QPalette::ColorRole>();
    const QMetaEnum groups = QMetaEnum::fromType<QPalette::ColorGroup>();

    TStyle parsed;
    parsed.Palette = QPalette(QColor(0x20, 0x20, 0x20));
    static const QRegularExpression kTag(QStringLiteral("^\\s*@(\\w+)\\s+(.*?)\\s*$"));
    for (const QString& line : header.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch m = kTag.match(line);
        if (!m.hasMatch())
            continue;
        const QString tag = m.captured(1);
        const QString value = m.captured(2);
        if (tag == QLatin1String("name")) {
            parsed.Name = value;
        } else if (tag == QLatin1String("palette")) {
            const QStringList parts = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            if (parts.size() != 2) {
                Fail(error, QStringLiteral("bad palette line: ") + line.trimmed());
                return false;
            }
            QString roleName = parts[0];
            int group = -1; // every group
            if (const qsizetype colon = roleName.indexOf(QLatin1Char(':')); colon >= 0) {
                bool ok = false;
                group = groups.keyToValue(roleName.left(colon).toLatin1().constData(), &ok);
                if (!ok || group >= QPalette::NColorGroups) {
                    Fail(error, QStringLiteral("unknown colour group: ") + roleName.left(colon));
                    return false;
                }
                roleName = roleName.mid(colon + 1);
            }
            bool ok = false;
            const int role = roles.keyToValue(roleName.toLatin1().constData(), &ok);
            const QColor color = QColor::fromString(parts[1]);
            if (!ok || role >= QPalette::NColorRoles || !color.isValid()) {
                Fail(error, QStringLiteral("bad palette line: ") + line.trimmed());
                return false;
            }
            if (group < 0)
                parsed.Palette.setColor(static_cast<QPalette::ColorRole>(role), color);
            else
                parsed.Palette.setColor(static_cast<QPalette::ColorGroup>(group),
                                        static_cast<QPalette::ColorRole>(role), color);
        }
    }
    if (parsed.Name.isEmpty()) {
        Fail(error, QStringLiteral("the style has no @name"));
        return false;
    }
    parsed.Sheet = text;
    style = std::move(parsed);
    return true;
}

bool TStyleManager::LoadFromResource(const QString& resourceName, QString* error) {
    QFile file(QStringLiteral(":/") + resourceName);
    if (!file.open(QIODevice::ReadOnly)) {
        Fail(error, QStringLiteral("the style resource %1 was not found").arg(resourceName));
        return false;
    }
    TStyle style;
    QString why;
    if (!Parse(QString::fromUtf8(file.readAll()), style, &why)) {
        Fail(error, QStringLiteral("the style resource %1 is invalid: %2").arg(resourceName, why));
        return false;
    }
    const QString name = style.Name;
    Registry()[name] = std::move(style);
    return true;
}

bool TStyleManager::TrySetStyle(const QString& styleName, bool showErrorDialog) {
    const auto it = Registry().find(styleName);
    QStyle* base = it == Registry().end() ? nullptr : QStyleFactory::create(QStringLiteral("Fusion"));
    if (!base) {
        if (showErrorDialog)
            ShowError(ToU16(QStringLiteral("Style '%1' not found").arg(styleName)));
        return false;
    }
    QApplication::setStyle(base); // the application takes ownership
    QApplication::setPalette(it->second.Palette);
    qApp->setStyleSheet(it->second.Sheet);
    Active() = styleName;
    return true;
}

bool TStyleManager::LoadAndApply(const QString& resourceName, const QString& styleName) {
    QString error;
    if (!LoadFromResource(resourceName, &error)) {
        ShowError(ToU16(QStringLiteral("Style '%1' could not be loaded: %2").arg(styleName, error)));
        return false;
    }
    return TrySetStyle(styleName, true);
}

QString TStyleManager::ActiveStyleName() { return Active(); }

} // namespace rivalon
