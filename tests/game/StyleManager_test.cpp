#include "platform/qt/StyleManager.h"

#include "game/uPrincipal.h"
#include "platform/qt/Dialogs.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QFile>
#include <QLineEdit>
#include <QStyle>

#include <cmath>
#include <memory>

namespace rivalon {
namespace {

// WCAG relative luminance contrast between two colours (1 .. 21).
double Contrast(const QColor& a, const QColor& b) {
    const auto lum = [](const QColor& c) {
        const auto ch = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
    };
    const double la = lum(a);
    const double lb = lum(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

class StyleTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitGameResources();
        auto recorder = std::make_unique<TRecordedDialogs>();
        FDialogs = recorder.get();
        FPrevious = SetDialogs(std::move(recorder));
    }
    void TearDown() override { SetDialogs(std::move(FPrevious)); }

    TRecordedDialogs* FDialogs = nullptr;
    std::unique_ptr<TDialogs> FPrevious;
};

TEST_F(StyleTest, EmbeddedDarkStyleIsAppliedWithReadableTexts) {
    ASSERT_TRUE(QFile::exists(QStringLiteral(":/WINDOWSDARK")));
    ASSERT_TRUE(TStyleManager::LoadAndApply(QStringLiteral("WINDOWSDARK"), QStringLiteral("Windows10 Dark")));
    EXPECT_TRUE(FDialogs->Shown().empty());
    EXPECT_EQ(TStyleManager::ActiveStyleName(), QStringLiteral("Windows10 Dark"));
    EXPECT_FALSE(qApp->styleSheet().isEmpty());

    const QPalette p = QApplication::palette();
    EXPECT_LT(p.color(QPalette::Window).lightness(), 60); // dark
    EXPECT_GE(Contrast(p.color(QPalette::WindowText), p.color(QPalette::Window)), 7.0);
    EXPECT_GE(Contrast(p.color(QPalette::Text), p.color(QPalette::Base)), 7.0);
    for (QPalette::ColorRole bg : {QPalette::Base, QPalette::Window, QPalette::Button}) {
        SCOPED_TRACE(static_cast<int>(bg));
        EXPECT_GE(Contrast(p.color(QPalette::PlaceholderText), p.color(bg)), 4.0);
        EXPECT_GE(Contrast(p.color(QPalette::Disabled, QPalette::Text), p.color(QPalette::Disabled, bg)), 4.0);
        EXPECT_GE(Contrast(p.color(QPalette::Disabled, QPalette::WindowText), p.color(QPalette::Disabled, bg)), 4.0);
        EXPECT_GE(Contrast(p.color(QPalette::Disabled, QPalette::ButtonText), p.color(QPalette::Disabled, bg)), 4.0);
    }

    // Password edits mask with a round bullet under the style.
    QLineEdit edit;
    edit.setEchoMode(QLineEdit::Password);
    edit.setText(QStringLiteral("abc"));
    edit.ensurePolished();
    EXPECT_EQ(edit.displayText(), QString(3, QChar(0x25CF)));
}

TEST_F(StyleTest, StyleThatCannotBeAppliedShowsAnErrorAndKeepsTheLook) {
    ASSERT_TRUE(TStyleManager::LoadAndApply(QStringLiteral("WINDOWSDARK"), QStringLiteral("Windows10 Dark")));
    const QString sheet = qApp->styleSheet();

    EXPECT_FALSE(TStyleManager::LoadAndApply(QStringLiteral("NO_SUCH_STYLE"), QStringLiteral("Windows10 Dark")));
    EXPECT_FALSE(TStyleManager::TrySetStyle(QStringLiteral("Carbon Light")));
    EXPECT_FALSE(TStyleManager::TrySetStyle(QStringLiteral("Carbon Light"), false));
    ASSERT_EQ(FDialogs->Shown().size(), 2u); // the silent attempt shows nothing
    for (const auto& shown : FDialogs->Shown())
        EXPECT_EQ(shown.Kind, TMsgDlgType::mtError);
    EXPECT_NE(FDialogs->Shown()[0].Text.find(u"NO_SUCH_STYLE"), std::u16string::npos);
    EXPECT_NE(FDialogs->Shown()[1].Text.find(u"Carbon Light"), std::u16string::npos);
    EXPECT_EQ(qApp->styleSheet(), sheet);
    EXPECT_EQ(TStyleManager::ActiveStyleName(), QStringLiteral("Windows10 Dark"));
}

TEST_F(StyleTest, StyleResourceHeaderIsChecked) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"/* @name Plain */ QWidget { color: red; }", true},
        {"/*\n @name Two Words\n @palette Window #101010\n @palette Disabled:Text #808080\n*/", true},
        {"QWidget { color: red; }", false},                      // no header
        {"/* @name Open", false},                                 // unterminated header
        {"/* @palette Window #101010 */", false},                 // no name
        {"/* @name X\n @palette Windoe #101010 */", false},       // unknown role
        {"/* @name X\n @palette Window #1g1010 */", false},       // bad colour
        {"/* @name X\n @palette Sometimes:Text #101010 */", false}, // unknown group
        {"/* @name X\n @palette Window */", false},               // colour missing
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TStyleManager::TStyle style;
        QString error;
        EXPECT_EQ(TStyleManager::Parse(QString::fromUtf8(c.text), style, &error), c.ok);
        EXPECT_EQ(error.isEmpty(), c.ok);
    }
    TStyleManager::TStyle style;
    ASSERT_TRUE(TStyleManager::Parse(QString::fromUtf8(cases[1].text), style, nullptr));
    EXPECT_EQ(style.Name, QStringLiteral("Two Words"));
    EXPECT_EQ(style.Palette.color(QPalette::Active, QPalette::Window), QColor(0x10, 0x10, 0x10));
    EXPECT_EQ(style.Palette.color(QPalette::Disabled, QPalette::Text), QColor(0x80, 0x80, 0x80));
}

TEST_F(StyleTest, RecordedDialogsAnswerFromTheirScript) {
    FDialogs->AnswerNext(TModalResult::mrYes);
    EXPECT_TRUE(Confirm(u"Primeira?"));
    EXPECT_FALSE(Confirm(u"Segunda?")); // the script is used up: as a closed box
    ShowError(u"e");
    ShowInformation(u"i");
    ShowMessage(u"m");
    ShowException(std::runtime_error("falha \xc3\xa9"));
    ASSERT_EQ(FDialogs->Shown().size(), 6u);
    EXPECT_EQ(FDialogs->Shown()[0].Answer, TModalResult::mrYes);
    EXPECT_EQ(FDialogs->Shown()[1].Answer, TModalResult::mrNo);
    EXPECT_EQ(FDialogs->Shown()[2].Kind, TMsgDlgType::mtError);
    EXPECT_EQ(FDialogs->Shown()[3].Kind, TMsgDlgType::mtInformation);
    EXPECT_EQ(FDialogs->Shown()[4].Kind, TMsgDlgType::mtPlain);
    EXPECT_EQ(FDialogs->Shown()[5].Kind, TMsgDlgType::mtError);
    EXPECT_EQ(FDialogs->Shown()[5].Text, u"falha é");

    int after = 0;
    RunGuarded([] { throw 42; });
    RunGuarded([&after] { after = 1; });
    EXPECT_EQ(after, 1);
    EXPECT_EQ(FDialogs->Shown().back().Kind, TMsgDlgType::mtError);
    EXPECT_EQ(FDialogs->Shown().size(), 7u);
}

} // namespace
} // namespace rivalon
