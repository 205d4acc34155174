#include "game/uPrincipal.h"

#include "game/Combat.h"
#include "game/Session.h"
#include "platform/Exception.h"
#include "platform/qt/Dialogs.h"
#include "platform/qt/Fonts.h"
#include "platform/qt/StyleManager.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTableView>
#include <QHeaderView>
#include <QImage>
#include <QStandardItem>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace rivalon {
namespace {

QString Q(const std::u16string& s) {
    return QString(reinterpret_cast<const QChar*>(s.data()), static_cast<qsizetype>(s.size()));
}

// Every test gets a fresh window on the offscreen screen, the dark style and a dialog recorder
// in place of real message boxes.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitGameResources();
        if (TStyleManager::ActiveStyleName() != QStringLiteral("Windows10 Dark")) {
            ASSERT_TRUE(TStyleManager::LoadAndApply(QStringLiteral("WINDOWSDARK"),
                                                    QStringLiteral("Windows10 Dark")));
        }
        auto recorder = std::make_unique<TRecordedDialogs>();
        FDialogs = recorder.get();
        FPrevious = SetDialogs(std::move(recorder));
        VA_ID_CONTA = 0;
        FForm = std::make_unique<TfrmPrincipal>();
    }

    void TearDown() override {
        FForm.reset();
        SetDialogs(std::move(FPrevious));
    }

    void ShowPage(int page) {
        FForm->show();
        FForm->ntbPaginas->setCurrentIndex(page);
        QApplication::processEvents();
    }

    static void SetFighters() {
        VA_NOME_PERSONAGEM = u"Ana";
        VA_ATAQUE_ATUAL = 5;
        VA_DEFESA_ATUAL = 2;
        VA_HP_ATUAL = 10;
        VA_NOME_ADVERSARIO = u"Bruno";
        VA_ATAQUE_ADVERSARIO = 1;
        VA_DEFESA_ADVERSARIO = 3;
        VA_HP_ADVERSARIO = 2;
    }

    TRecordedDialogs* FDialogs = nullptr;
    std::unique_ptr<TDialogs> FPrevious;
    std::unique_ptr<TfrmPrincipal> FForm;
};

TEST_F(WindowTest, StartSetsTheVersionedTitleTheSessionAndTheLoginPage) {
    EXPECT_EQ(FForm->windowTitle(), QStringLiteral("RIVALON: versão atual: 1.0.0.3"));
    EXPECT_EQ(VA_VERSAO_SISTEMA, u"1.0.0.3");
    EXPECT_EQ(VA_ID_CONTA, -1);
    EXPECT_EQ(FForm->ntbPaginas->currentIndex(), 0);
    EXPECT_EQ(frmPrincipal, FForm.get());
    EXPECT_FALSE(VA_IP_LOCAL.empty());
    EXPECT_FALSE(VA_IP_INTERNET.empty()); // the address, or the failure text
    EXPECT_TRUE(FDialogs->Shown().empty());
    EXPECT_EQ(FForm->size(), QSize(1030, 667));
    FForm.reset();
    EXPECT_EQ(frmPrincipal, nullptr);
}

TEST_F(WindowTest, ManagementPageIsClosedWithoutAnAccount) {
    struct Case {
        int32_t conta;
        int from;
        int to;
        int lands;
    };
    const Case cases[] = {
        {-1, 0, 3, 0}, {-1, 1, 3, 0}, {-1, 2, 3, 0}, {-1, 4, 3, 0}, {0, 2, 3, 0},
        {-1, 0, 4, 4}, {-1, 0, 1, 1}, {7, 2, 3, 3}, {1, 0, 3, 3},
    };
    FForm->show();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "account " << c.conta << ", page " << c.from << " -> " << c.to);
        VA_ID_CONTA = 1;
        FForm->ntbPaginas->setCurrentIndex(c.from);
        ASSERT_EQ(FForm->ntbPaginas->currentIndex(), c.from);
        VA_ID_CONTA = c.conta;
        FForm->ntbPaginas->setCurrentIndex(c.to);
        EXPECT_EQ(FForm->ntbPaginas->currentIndex(), c.lands);
    }
    // Showing again the page already shown is no change and runs nothing.
    VA_ID_CONTA = 1;
    FForm->ntbPaginas->setCurrentIndex(3);
    VA_ID_CONTA = -1;
    FForm->ntbPaginas->setCurrentIndex(3);
    EXPECT_EQ(FForm->ntbPaginas->currentIndex(), 3);
    // Called directly, the guard acts on the page now shown.
    FForm->ntbPaginasPageChanged();
    EXPECT_EQ(FForm->ntbPaginas->currentIndex(), 0);
}

// Name, kind, parent, position, size and text of every control of the window description.
TEST_F(WindowTest, ControlsMatchTheWindowDescription) {
    struct Control {
        const char* name;
        const char* kind;
        const char* parent;
        int page; // page to show before measuring (layout-placed controls are measured shown)
        QRect geometry;
        const char16_t* text;
    };
    const Control controls[] = {
        {"Image1", "QLabel", "pnlLogin", 0, {0, 0, 641, 241}, u""},
        {"GroupBox2", "QGroupBox", "pnlLogin", 0, {384, 247, 321, 170}, u"Login no Rivalon"},
        {"edtLogin", "QLineEdit", "GroupBox2", 0, {120, 28, 121, 21}, u""},
        {"edtSenha", "QLineEdit", "GroupBox2", 0, {120, 55, 121, 20}, u""},
        {"btnLogin", "QPushButton", "GroupBox2", 0, {160, 81, 123, 33}, u"Entrar no Rivalon!"},
        {"btnCriarConta", "QPushButton", "GroupBox2", 0, {160, 121, 123, 33}, u"Criar Conta"},
        {"Teste", "QPushButton", "pnlLogin", 0, {96, 504, 75, 25}, u"Teste"},
        {"GroupBox1", "QGroupBox", "pnlCriarConta", 1, {384, 247, 321, 170}, u"Crie seu usuário"},
        {"edtLoginCadastro", "QLineEdit", "GroupBox1", 1, {144, 36, 121, 21}, u""},
        {"edtSenhaCadastro", "QLineEdit", "GroupBox1", 1, {144, 63, 121, 20}, u""},
        {"btnCriaConta", "QPushButton", "GroupBox1", 1, {160, 112, 123, 33}, u"Crie minha conta!"},
        {"Label1", "QLabel", "pnlPersonagem", 2, {40, 24, 300, 16}, u"Criação de Personagem"},
        {"edtNomePersonagem", "QLineEdit", "pnlPersonagem", 2, {176, 84, 337, 21}, u""},
        {"edtPontosDisponiveis", "QLineEdit", "pnlPersonagem", 2, {176, 111, 65, 21}, u"10"},
        {"edtAtaque", "QLineEdit", "pnlPersonagem", 2, {176, 138, 65, 21}, u"1"},
        {"edtDefesa", "QLineEdit", "pnlPersonagem", 2, {176, 165, 65, 21}, u"1"},
        {"edtHP", "QLineEdit", "pnlPersonagem", 2, {176, 192, 65, 21}, u"10"},
        {"btnAddAtaque", "QPushButton", "pnlPersonagem", 2, {247, 136, 25, 25}, u"+"},
        {"btnAddDefesa", "QPushButton", "pnlPersonagem", 2, {247, 163, 25, 25}, u"+"},
        {"btnAddHp", "QPushButton", "pnlPersonagem", 2, {247, 190, 25, 25}, u"+"},
        {"BitBtn2", "QPushButton", "pnlPersonagem", 2, {200, 240, 123, 33}, u"Criar Personagem"},
        {"BitBtn3", "QPushButton", "pnlPersonagem", 2, {329, 240, 123, 33}, u"Redistribuir Pontos"},
        {"Panel1", "QFrame", "pnlGerenciamento", 3, {1, 1, 1028, 177}, nullptr},
        {"BitBtn4", "QPushButton", "Panel1", 3, {712, 9, 161, 73}, u"Gerenciar Personagem"},
        {"btnLutar", "QPushButton", "Panel1", 3, {712, 88, 161, 73}, u"Lutar!"},
        {"GroupBox3", "QGroupBox", "Panel1", 3, {16, 9, 313, 96}, u"Informações do seu personagem"},
        {"lblPersonagem", "QLabel", "GroupBox3", 3, {24, 21, 281, 16}, u"lblPersonagem"},
        {"lblEnergia", "QLabel", "GroupBox3", 3, {24, 40, 281, 16}, u"lblEnergia"},
        {"lblExperiencia", "QLabel", "GroupBox3", 3, {24, 59, 281, 16}, u"lblExperiencia"},
        {"Panel2", "QFrame", "pnlGerenciamento", 3, {1, 178, 1028, 41}, nullptr},
        {"Label2", "QLabel", "Panel2", 3, {1, 1, 1026, 39}, u"*** Ranking Atual ***"},
        {"dbgRanking", "QTableView", "pnlGerenciamento", 3, {1, 219, 1028, 447}, nullptr},
        {"Label3", "QLabel", "pnlPVP", 4, {272, 73, 27, 25}, nullptr}, // at least; grows to its text
        {"GroupBox4", "QGroupBox", "pnlPVP", 4, {32, 32, 220, 121}, u"Você:"},
        {"lblPvpNome", "QLabel", "GroupBox4", 4, {16, 32, 196, 16}, u"lblPvpNome"},
        {"lblPvpAtaque", "QLabel", "GroupBox4", 4, {16, 51, 196, 16}, u"lblPvpAtaque"},
        {"lblPvpDefesa", "QLabel", "GroupBox4", 4, {16, 70, 196, 16}, u"lblPvpDefesa"},
        {"lblPvpHP", "QLabel", "GroupBox4", 4, {16, 89, 196, 16}, u"lblPvpHP"},
        {"GroupBox5", "QGroupBox", "pnlPVP", 4, {312, 32, 220, 121}, u"Adversário:"},
        {"lblPvpNomeAdv", "QLabel", "GroupBox5", 4, {16, 32, 196, 16}, u"lblPvpNomeAdv"},
        {"lblPvpAtaqueAdv", "QLabel", "GroupBox5", 4, {16, 51, 196, 16}, u"lblPvpAtaqueAdv"},
        {"lblPvpDefesaAdv", "QLabel", "GroupBox5", 4, {16, 70, 196, 16}, u"lblPvpDefesaAdv"},
        {"lblPvpHPAdv", "QLabel", "GroupBox5", 4, {16, 89, 196, 16}, u"lblPvpHPAdv"},
        {"BitBtn1", "QPushButton", "pnlPVP", 4, {32, 169, 123, 33}, u"Iniciar a Luta!"},
        {"BitBtn5", "QPushButton", "pnlPVP", 4, {161, 169, 123, 33}, u"Fugir!"},
        {"Panel3", "QFrame", "pnlPVP", 4, {1, 232, 1028, 434}, nullptr},
        {"memLogCombate", "QPlainTextEdit", "Panel3", 4, {1, 1, 1026, 432}, nullptr},
    };
    ASSERT_EQ(FForm->FatorEscala(), 1.0); // the offscreen screen has 96 DPI
    VA_ID_CONTA = 1;                      // page 3 must stay shown to be measured
    for (const Control& c : controls) {
        SCOPED_TRACE(c.name);
        ShowPage(c.page);
        auto* w = FForm->findChild<QWidget*>(QString::fromLatin1(c.name));
        ASSERT_NE(w, nullptr);
        EXPECT_STREQ(w->metaObject()->className(), c.kind);
        ASSERT_NE(w->parentWidget(), nullptr);
        EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(c.parent));
        if (w == FForm->Label3) {
            EXPECT_EQ(w->pos(), c.geometry.topLeft());
            EXPECT_GE(w->width(), c.geometry.width());
            EXPECT_LE(w->width(), c.geometry.width() + 8);
            EXPECT_GE(w->height(), c.geometry.height());
            EXPECT_LT(w->geometry().right(), FForm->GroupBox5->x()); // between the two boxes
        } else {
            EXPECT_EQ(w->geometry(), c.geometry);
        }
        if (!c.text)
            continue;
        QString text;
        if (auto* b = qobject_cast<QPushButton*>(w))
            text = b->text();
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            text = g->title();
        else if (auto* l = qobject_cast<QLabel*>(w))
            text = l->text();
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            text = e->text();
        EXPECT_EQ(text, Q(c.text));
    }
    // Five pages, each one panel filling it.
    const char* const panels[] = {"pnlLogin", "pnlCriarConta", "pnlPersonagem", "pnlGerenciamento", "pnlPVP"};
    ASSERT_EQ(FForm->ntbPaginas->count(), 5);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(panels[i]);
        ShowPage(i);
        auto* panel = FForm->ntbPaginas->widget(i)->findChild<QFrame*>(QString::fromLatin1(panels[i]));
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(panel->geometry(), QRect(0, 0, 1030, 667));
    }
    // Label3 carries a two-letter face-off mark.
    EXPECT_EQ(FForm->Label3->text().size(), 2);
    for (QChar ch : FForm->Label3->text())
        EXPECT_TRUE(ch.isLetter());
}

// On a screen of 144 DPI every pixel of the description counts one and a half.
TEST_F(WindowTest, DescriptionIsScaledToTheScreen) {
    const QSize mark = FForm->Label3->size(); // sized to its text in the font at hand
    FForm->procEscalaTela(1.5);
    EXPECT_DOUBLE_EQ(FForm->FatorEscala(), 1.5);
    EXPECT_EQ(FForm->size(), QSize(1545, 1001));
    VA_ID_CONTA = 1;
    struct Case {
        QWidget* w;
        int page;
        QRect geometry;
    };
    const Case cases[] = {
        {FForm->Image1, 0, {0, 0, 962, 362}},
        {FForm->GroupBox2, 0, {576, 371, 482, 255}},
        {FForm->edtSenha, 0, {180, 83, 182, 30}},
        {FForm->Teste, 0, {144, 756, 113, 38}},
        {FForm->btnAddHp, 2, {371, 285, 38, 38}},
        {FForm->Panel1, 3, {1, 1, 1543, 266}},
        {FForm->Panel2, 3, {1, 267, 1543, 62}},
        {FForm->dbgRanking, 3, {1, 329, 1543, 671}},
        {FForm->Label3, 4, {408, 110, static_cast<int>(std::lround(mark.width() * 1.5)),
                           static_cast<int>(std::lround(mark.height() * 1.5))}},
        {FForm->Panel3, 4, {1, 349, 1543, 651}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.w->objectName().toStdString());
        ShowPage(c.page);
        EXPECT_EQ(c.w->geometry(), c.geometry);
    }
    EXPECT_EQ(FForm->dbgRanking->columnWidth(0), 675);
    // The banner itself is never scaled.
    EXPECT_EQ(FForm->Image1->pixmap().size(), QSize(727, 237));
}

TEST_F(WindowTest, EditsCarryTheirLabelsAndFlags) {
    struct Edit {
        QLineEdit* edit;
        const char16_t* label;
        bool password;
        bool readOnly;
    };
    const Edit edits[] = {
        {FForm->edtLogin, u"Digite seu Login:", false, false},
        {FForm->edtSenha, u"Digite sua Senha:", true, false},
        {FForm->edtLoginCadastro, u"Digite um Login:", false, false},
        {FForm->edtSenhaCadastro, u"Digite uma Senha:", true, false},
        {FForm->edtNomePersonagem, u"Nome do seu personagem:", false, false},
        {FForm->edtPontosDisponiveis, u"Pontos Disponíveis:", false, true},
        {FForm->edtAtaque, u"Ataque:", false, false},
        {FForm->edtDefesa, u"Defesa:", false, false},
        {FForm->edtHP, u"HP:", false, false},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.edit->objectName().toStdString());
        auto* label = FForm->findChild<QLabel*>(e.edit->objectName() + QStringLiteral("Label"));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), Q(e.label));
        EXPECT_EQ(label->buddy(), e.edit);
        EXPECT_EQ(label->parentWidget(), e.edit->parentWidget());
        // On the edit's left, ending three pixels before it, level with it.
        EXPECT_EQ(label->geometry().right() + 1 + 3, e.edit->x());
        EXPECT_EQ(label->y(), e.edit->y());
        EXPECT_EQ(label->alignment(), Qt::AlignRight | Qt::AlignVCenter);
        EXPECT_GE(label->width(), label->sizeHint().width()); // the caption is not cut
        EXPECT_EQ(e.edit->echoMode() == QLineEdit::Password, e.password);
        EXPECT_EQ(e.edit->isReadOnly(), e.readOnly);
        if (e.password) {
            e.edit->setText(QStringLiteral("s3nh@"));
            EXPECT_EQ(e.edit->displayText(), QString(5, QChar(0x25CF))); // one round bullet each
            e.edit->clear();
        } else if (!e.readOnly) {
            EXPECT_EQ(e.edit->displayText(), e.edit->text());
        }
    }
}

TEST_F(WindowTest, FontsBannerGridAndLog) {
    EXPECT_EQ(FForm->font().family(), TahomaFamily());
    EXPECT_DOUBLE_EQ(FForm->font().pointSizeF(), 8.25);
    EXPECT_DOUBLE_EQ(FForm->Label2->font().pointSizeF(), 12.0);
    EXPECT_TRUE(FForm->Label2->font().bold());
    EXPECT_EQ(FForm->Label2->alignment(), Qt::AlignCenter);
    EXPECT_DOUBLE_EQ(FForm->Label3->font().pointSizeF(), 15.75);
    EXPECT_TRUE(FForm->Label3->font().bold());

    // Captions fit their controls in the font actually used (Tahoma or its stand-in).
    for (QPushButton* b : FForm->findChildren<QPushButton*>()) {
        SCOPED_TRACE(b->objectName().toStdString());
        EXPECT_LE(b->fontMetrics().horizontalAdvance(b->text()) + 8, b->width());
    }
    VA_ID_CONTA = 1;
    ShowPage(3); // Label2 is laid out by its panel
    for (QLabel* l : FForm->findChildren<QLabel*>()) {
        if (l == FForm->Image1)
            continue;
        SCOPED_TRACE(l->objectName().toStdString());
        EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width());
        EXPECT_LE(l->fontMetrics().height(), l->height());
    }

    // The banner is shown unscaled and cut to its box.
    const QPixmap banner = FForm->Image1->pixmap();
    EXPECT_EQ(banner.size(), QSize(727, 237));
    EXPECT_FALSE(FForm->Image1->hasScaledContents());
    EXPECT_EQ(FForm->Image1->size(), QSize(641, 241));

    // A read-only grid with the three ranking columns.
    QTableView* grid = FForm->dbgRanking;
    EXPECT_EQ(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(grid->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_TRUE(grid->tabKeyNavigation());
    EXPECT_TRUE(grid->verticalHeader()->isVisible() || !FForm->isVisible());
    ASSERT_EQ(grid->model()->columnCount(), 3);
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("Personagem"));
    EXPECT_EQ(grid->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("Nível"));
    EXPECT_EQ(grid->model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Vitórias"));
    EXPECT_EQ(grid->columnWidth(0), 450);
    // The indicator column points at the current row only.
    FForm->ModeloRanking()->appendRow({new QStandardItem(QStringLiteral("Ana")), new QStandardItem(QStringLiteral("2")),
                                       new QStandardItem(QStringLiteral("5"))});
    FForm->ModeloRanking()->appendRow({new QStandardItem(QStringLiteral("Bruno")), new QStandardItem(QStringLiteral("1")),
                                       new QStandardItem(QStringLiteral("0"))});
    EXPECT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(grid->model()->data(grid->model()->index(1, 0)).toString(), QStringLiteral("Bruno"));
    grid->setCurrentIndex(grid->model()->index(1, 2));
    EXPECT_EQ(grid->model()->headerData(0, Qt::Vertical).toString(), QString());
    EXPECT_EQ(grid->model()->headerData(1, Qt::Vertical).toString(), QString(QChar(0x25B8)));
    EXPECT_EQ(grid->selectionModel()->selectedRows().size(), 1); // the whole row

    // The combat log starts with one empty line and cannot be typed into.
    EXPECT_EQ(FForm->LinhasDoLog(), std::vector<std::u16string>{u""});
    EXPECT_TRUE(FForm->memLogCombate->isReadOnly());
    EXPECT_EQ(FForm->memLogCombate->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

// What the player sees: every page is drawn dark, with light captions, and the banner at the top
// left of the login page.
TEST_F(WindowTest, PagesRenderInTheDarkStyle) {
    VA_ID_CONTA = 1;
    for (int page = 0; page < 5; ++page) {
        SCOPED_TRACE(page);
        ShowPage(page);
        const QImage shot = FForm->grab().toImage();
        ASSERT_EQ(shot.size(), QSize(1030, 667));
        EXPECT_LT(shot.pixelColor(1000, 640).lightness(), 60); // a corner of the page
    }
    ShowPage(0);
    const QImage login = FForm->grab().toImage();
    const QImage banner = FForm->Image1->pixmap().toImage();
    EXPECT_EQ(login.pixelColor(300, 100), banner.pixelColor(300, 100)); // unscaled, at 0, 0
    EXPECT_EQ(login.pixelColor(640, 200), banner.pixelColor(640, 200)); // cut at 641
    // A button caption is drawn light on dark.
    const QImage button = FForm->btnLogin->grab().toImage();
    int light = 0;
    for (int y = 0; y < button.height(); ++y)
        for (int x = 0; x < button.width(); ++x)
            light += button.pixelColor(x, y).lightness() > 170;
    EXPECT_GT(light, 20);
    EXPECT_LT(button.pixelColor(4, button.height() / 2).lightness(), 80);
}

TEST_F(WindowTest, TabOrderFollowsTheRows) {
    const std::vector<QWidget*> expected = {
        FForm->edtLogin,       FForm->edtSenha,       FForm->btnLogin,
        FForm->btnCriarConta,  FForm->Teste,          FForm->edtLoginCadastro,
        FForm->edtSenhaCadastro, FForm->btnCriaConta, FForm->edtNomePersonagem,
        FForm->edtPontosDisponiveis, FForm->edtAtaque, FForm->edtDefesa,
        FForm->edtHP,          FForm->btnAddAtaque,   FForm->btnAddDefesa,
        FForm->btnAddHp,       FForm->BitBtn2,        FForm->BitBtn3,
        FForm->BitBtn4,        FForm->btnLutar,       FForm->dbgRanking,
        FForm->BitBtn1,        FForm->BitBtn5,        FForm->memLogCombate,
    };
    std::vector<QWidget*> chain;
    QWidget* w = expected.front();
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != expected.front() && chain.size() <= expected.size() * 2);
    EXPECT_EQ(chain, expected);
}

// Every binding of the description is in place: disconnecting it finds it.
TEST_F(WindowTest, EventBindingsAreConnected) {
    struct Binding {
        QObject* sender;
        const char* signal;
        const char* slot;
    };
    const Binding bindings[] = {
        {FForm->btnLogin, SIGNAL(clicked()), SLOT(btnLoginClick())},
        {FForm->btnCriarConta, SIGNAL(clicked()), SLOT(btnCriarContaClick())},
        {FForm->Teste, SIGNAL(clicked()), SLOT(TesteClick())},
        {FForm->btnCriaConta, SIGNAL(clicked()), SLOT(btnCriaContaClick())},
        {FForm->btnAddAtaque, SIGNAL(clicked()), SLOT(btnAddAtaqueClick())},
        {FForm->btnAddDefesa, SIGNAL(clicked()), SLOT(btnAddDefesaClick())},
        {FForm->btnAddHp, SIGNAL(clicked()), SLOT(btnAddHpClick())},
        {FForm->BitBtn2, SIGNAL(clicked()), SLOT(BitBtn2Click())},
        {FForm->BitBtn3, SIGNAL(clicked()), SLOT(BitBtn3Click())},
        {FForm->btnLutar, SIGNAL(clicked()), SLOT(btnLutarClick())},
        {FForm->BitBtn5, SIGNAL(clicked()), SLOT(BitBtn5Click())},
        {FForm->BitBtn1, SIGNAL(clicked()), SLOT(BitBtn1Click())},
        {FForm->ntbPaginas, SIGNAL(currentChanged(int)), SLOT(ntbPaginasPageChanged())},
    };
    for (const Binding& b : bindings) {
        SCOPED_TRACE(b.slot);
        EXPECT_TRUE(QObject::disconnect(b.sender, b.signal, FForm.get(), b.slot));
    }
    // "Gerenciar Personagem" has no action.
    EXPECT_FALSE(QObject::disconnect(FForm->BitBtn4, SIGNAL(clicked()), FForm.get(), nullptr));
}

TEST_F(WindowTest, CriarContaShowsTheAccountPageKeepingItsEdits) {
    FForm->edtLoginCadastro->setText(QStringLiteral("rascunho"));
    FForm->btnCriarConta->click();
    EXPECT_EQ(FForm->ntbPaginas->currentIndex(), 1);
    EXPECT_EQ(FForm->edtLoginCadastro->text(), QStringLiteral("rascunho"));
}

TEST_F(WindowTest, TesteShowsTheDamageDieInAPlainBox) {
    TDadosRoteiro dados{2, 1};
    FForm->UsarDados(dados);
    FForm->Teste->click();
    FForm->Teste->click();
    ASSERT_EQ(FDialogs->Shown().size(), 2u);
    EXPECT_EQ(FDialogs->Shown()[0].Kind, TMsgDlgType::mtPlain);
    EXPECT_EQ(FDialogs->Shown()[0].Text, u"2");
    EXPECT_EQ(FDialogs->Shown()[1].Text, u"1");
    EXPECT_EQ(dados.Faces(), (std::vector<int32_t>{2, 2}));
}

// An exception leaving a handler is shown in the default error box; the window goes on working.
TEST_F(WindowTest, EscapedExceptionIsShownAndTheWindowStaysUsable) {
    TDadosRoteiro vazio{};
    FForm->UsarDados(vazio);
    FForm->Teste->click(); // the script holds no roll: the dice raise
    ASSERT_EQ(FDialogs->Shown().size(), 1u);
    EXPECT_EQ(FDialogs->Shown()[0].Kind, TMsgDlgType::mtError);
    EXPECT_FALSE(FDialogs->Shown()[0].Text.empty());

    TDadosRoteiro dados{1};
    FForm->UsarDados(dados);
    FForm->Teste->click();
    ASSERT_EQ(FDialogs->Shown().size(), 2u);
    EXPECT_EQ(FDialogs->Shown()[1].Kind, TMsgDlgType::mtPlain);
    EXPECT_EQ(FDialogs->Shown()[1].Text, u"1");
}

TEST_F(WindowTest, DecliningTheFightChangesNothing) {
    SetFighters();
    TDadosRoteiro dados{};
    FForm->UsarDados(dados);
    for (TModalResult answer : {TModalResult::mrNo, TModalResult::mrOk}) {
        FDialogs->AnswerNext(answer); // anything but Yes, as closing the box
        FForm->BitBtn1->click();
    }
    FForm->BitBtn1->click(); // no answer scripted: the box was closed
    ASSERT_EQ(FDialogs->Shown().size(), 3u);
    for (const auto& shown : FDialogs->Shown()) {
        EXPECT_EQ(shown.Kind, TMsgDlgType::mtConfirmation);
        EXPECT_EQ(shown.Text, u"Confirma iniciar o combate contra Bruno?");
    }
    EXPECT_EQ(FForm->LinhasDoLog(), std::vector<std::u16string>{u""});
    EXPECT_EQ(VA_HP_ADVERSARIO, 2);
    EXPECT_EQ(VA_HP_ATUAL, 10);
    EXPECT_EQ(dados.Faces().size(), 0u);
}

// The log is never cleared: a second fight is told below the first, and the opponent starts it
// from the hit points the first one left.
TEST_F(WindowTest, FightsAreToldInTheLogOneBelowTheOther) {
    SetFighters();
    // Fight 1: Ana wins the initiative 14 to 9, attacks 12 against 7 and deals 2: Bruno at 0.
    // Fight 2: Bruno starts at 0; Ana wins the initiative again and ends it whatever she rolls.
    const std::vector<int32_t> script = {14, 9, 12, 7, 2, 20, 3, 1, 20};
    TDadosRoteiro dados(script);
    FForm->UsarDados(dados);
    FDialogs->AnswerNext(TModalResult::mrYes);
    FDialogs->AnswerNext(TModalResult::mrYes);
    FForm->BitBtn1->click();
    const std::vector<std::u16string> afterFirst = FForm->LinhasDoLog();
    FForm->BitBtn1->click();
    EXPECT_EQ(dados.Restantes(), 0u);

    // What the rules tell for the same dice, appended below the log's initial empty line.
    std::vector<std::u16string> expected{u""};
    const auto collect = [&expected](const std::u16string& l) { expected.push_back(l); };
    SetFighters();
    TDadosRoteiro same(script);
    ResolverCombate(same, collect);
    EXPECT_EQ(afterFirst, expected);
    ResolverCombate(same, collect);
    EXPECT_EQ(FForm->LinhasDoLog(), expected);

    ASSERT_GE(afterFirst.size(), 17u);
    EXPECT_EQ(afterFirst[1], u"Início do Combate!");
    EXPECT_EQ(afterFirst[5], u"Iniciativa de Ana: 14");
    EXPECT_EQ(afterFirst[6], u"Iniciativa de Bruno: 9");
    EXPECT_EQ(afterFirst[9], u"Poder de ataque de Ana: Ataque 5 +  Rolagem de Dado: 12 = 17");
    EXPECT_EQ(afterFirst[12], u"Rolagem de Dado para o Dano: 2 Total de Dano causado: 2");
    EXPECT_EQ(FForm->LinhasDoLog()[afterFirst.size()], u"Início do Combate!");
    EXPECT_EQ(FDialogs->Shown().size(), 2u); // the two confirmations, nothing else
    // The fight page's labels are not touched by the fight.
    EXPECT_EQ(FForm->lblPvpHPAdv->text(), QStringLiteral("lblPvpHPAdv"));
}

} // namespace
} // namespace rivalon
