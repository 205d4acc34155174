#include "platform/qt/Dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <functional>
#include <memory>

namespace rivalon {
namespace {

struct TSeen {
    bool found = false;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
};

// Shows one real box and, from inside its modal loop, reads it and lets act answer it.
TModalResult ShowAndAnswer(TMsgDlgType kind, const std::u16string& text, TSeen& seen,
                           const std::function<void(QMessageBox&)>& act) {
    // Polls until the box is up, so a slow start cannot leave the test waiting on a box nobody
    // answers.
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [&seen, act, poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            QTimer::singleShot(10, *poll);
            return;
        }
        seen = TSeen{};
        seen.found = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (QAbstractButton* b : box->buttons())
            seen.buttons << b->text();
        act(*box);
        *poll = nullptr; // breaks the self-reference
    };
    QTimer::singleShot(0, *poll);
    TQtDialogs dialogs;
    return dialogs.MessageDlg(kind, text);
}

void Click(QMessageBox& box, const QString& caption) {
    for (QAbstractButton* b : box.buttons()) {
        if (b->text() == caption) {
            b->click();
            return;
        }
    }
    box.close();
}

TEST(QtDialogsTest, EachKindShowsItsIconAndButtons) {
    struct Case {
        TMsgDlgType kind;
        QMessageBox::Icon icon;
        int buttons;
    };
    const Case cases[] = {
        {TMsgDlgType::mtError, QMessageBox::Critical, 1},
        {TMsgDlgType::mtInformation, QMessageBox::Information, 1},
        {TMsgDlgType::mtPlain, QMessageBox::NoIcon, 1},
        {TMsgDlgType::mtConfirmation, QMessageBox::Question, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.kind));
        TSeen seen;
        const std::u16string text = u"Seu usuário foi criado com sucesso!\nVocê será direcionado. <b>x</b>";
        ShowAndAnswer(c.kind, text, seen, [](QMessageBox& box) { box.close(); });
        ASSERT_TRUE(seen.found);
        EXPECT_EQ(seen.icon, c.icon);
        EXPECT_EQ(seen.buttons.size(), c.buttons);
        EXPECT_EQ(seen.text.toStdU16String(), text); // shown as typed, never as markup
    }
}

TEST(QtDialogsTest, ConfirmationIsYesOnlyWhenYesIsClicked) {
    TSeen seen;
    EXPECT_EQ(ShowAndAnswer(TMsgDlgType::mtConfirmation, u"Confirma?", seen,
                            [](QMessageBox& box) { Click(box, QStringLiteral("&Sim")); }),
              TModalResult::mrYes);
    EXPECT_TRUE(seen.buttons.contains(QStringLiteral("&Sim")));
    EXPECT_TRUE(seen.buttons.contains(QStringLiteral("&Não")));
    EXPECT_EQ(ShowAndAnswer(TMsgDlgType::mtConfirmation, u"Confirma?", seen,
                            [](QMessageBox& box) { Click(box, QStringLiteral("&Não")); }),
              TModalResult::mrNo);
    EXPECT_EQ(ShowAndAnswer(TMsgDlgType::mtConfirmation, u"Confirma?", seen,
                            [](QMessageBox& box) { box.close(); }),
              TModalResult::mrNo); // closing the box
    EXPECT_EQ(ShowAndAnswer(TMsgDlgType::mtError, u"Erro", seen, [](QMessageBox& box) { box.close(); }),
              TModalResult::mrOk);
}

} // namespace
} // namespace rivalon
