// Builds the game window offscreen, fills its labels with sample values and writes a PNG of each
// of the five pages, so anyone can look at the window without a database or a display.
//   rivalon_screens [OUTDIR]      (default: the current folder)
// Files: rivalon_0_login.png, rivalon_1_conta.png, rivalon_2_personagem.png,
//        rivalon_3_gerenciamento.png, rivalon_4_pvp.png
#include "game/Combat.h"
#include "game/Session.h"
#include "game/uPrincipal.h"
#include "platform/qt/Dialogs.h"
#include "platform/qt/Fonts.h"
#include "platform/qt/StyleManager.h"

#include <QApplication>
#include <QDir>
#include <QList>
#include <QStandardItem>

#include <cstdio>
#include <memory>

namespace {

using namespace rivalon;

void FillSamples(TfrmPrincipal& w) {
    VA_NOME_PERSONAGEM = u"Aldric";
    VA_NIVEL_ATUAL = 3;
    VA_ENE_ATUAL_ATUAL = 7;
    VA_ENE_MAX_ATUAL = 10;
    VA_XP_ATUAL = 340;
    VA_XP_PROX_LVL = 1200;
    VA_ATAQUE_ATUAL = 6;
    VA_DEFESA_ATUAL = 4;
    VA_HP_ATUAL = 14;
    VA_NOME_ADVERSARIO = u"Brunhilda";
    VA_NVL_ADVERSARIO = 2;
    VA_ATAQUE_ADVERSARIO = 4;
    VA_DEFESA_ADVERSARIO = 3;
    VA_HP_ADVERSARIO = 12;

    w.edtLogin->setText(QStringLiteral("aldric"));
    w.edtSenha->setText(QStringLiteral("segredo"));
    w.edtLoginCadastro->setText(QStringLiteral("novato"));
    w.edtSenhaCadastro->setText(QStringLiteral("1234"));
    w.edtNomePersonagem->setText(QStringLiteral("Aldric"));
    w.edtPontosDisponiveis->setText(QStringLiteral("4"));
    w.edtAtaque->setText(QStringLiteral("4"));
    w.edtDefesa->setText(QStringLiteral("3"));
    w.edtHP->setText(QStringLiteral("12"));

    w.lblPersonagem->setText(QStringLiteral("Aldric"));
    w.lblEnergia->setText(QStringLiteral("Energia: 7 / 10"));
    w.lblExperiencia->setText(QStringLiteral("Experiência: 340 / 1.200"));
    const struct {
        const char16_t* nome;
        int nivel;
        int vitorias;
    } ranking[] = {// in the ranking statement's order: fewest wins first, then higher level
                   {u"Guará", 1, 0},       {u"Fênix", 1, 1},   {u"Ezequiel", 2, 4},
                   {u"Dandara", 2, 9},     {u"Caio Lâmina", 3, 12}, {u"Aldric", 3, 18},
                   {u"Brunhilda", 5, 31}};
    QStandardItemModel* model = w.ModeloRanking();
    for (const auto& r : ranking) {
        QList<QStandardItem*> row;
        row << new QStandardItem(QString::fromUtf16(r.nome)) << new QStandardItem(QString::number(r.nivel))
            << new QStandardItem(QString::number(r.vitorias));
        row[1]->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        row[2]->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        model->appendRow(row);
    }
    w.dbgRanking->setCurrentIndex(w.dbgRanking->model()->index(5, 0)); // the player's own row

    w.lblPvpNome->setText(QStringLiteral("Lv. 3 Aldric"));
    w.lblPvpAtaque->setText(QStringLiteral("Ataque: 6"));
    w.lblPvpDefesa->setText(QStringLiteral("Defesa: 4"));
    w.lblPvpHP->setText(QStringLiteral("HP: 14"));
    w.lblPvpNomeAdv->setText(QStringLiteral("Lv. 2 Brunhilda"));
    w.lblPvpAtaqueAdv->setText(QStringLiteral("Ataque: 4"));
    w.lblPvpDefesaAdv->setText(QStringLiteral("Defesa: 3"));
    w.lblPvpHPAdv->setText(QStringLiteral("HP: 12"));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QApplication::setApplicationName(QStringLiteral("Rivalon"));
    QApplication::setFont(TahomaFontPx96(11));
    // Boxes are answered, never shown: the fight on page 4 is confirmed.
    auto dialogs = std::make_unique<TRecordedDialogs>();
    TRecordedDialogs* recorder = dialogs.get();
    SetDialogs(std::move(dialogs));
    InitGameResources();
    if (!TStyleManager::LoadAndApply(QStringLiteral("WINDOWSDARK"), QStringLiteral("Windows10 Dark")))
        std::fprintf(stderr, "warning: the dark style could not be applied\n");

    const QDir out(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("."));
    if (!out.exists() && !QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(out.path()));
        return 1;
    }

    TfrmPrincipal window;
    FillSamples(window);
    window.show();
    VA_ID_CONTA = 1; // page 3 is closed without an account

    SemearDadosDoProcesso(7); // the same sample fight on every run
    recorder->AnswerNext(TModalResult::mrYes);
    window.BitBtn1Click();

    const char* const names[] = {"rivalon_0_login.png", "rivalon_1_conta.png", "rivalon_2_personagem.png",
                                 "rivalon_3_gerenciamento.png", "rivalon_4_pvp.png"};
    int failures = 0;
    for (int page = 0; page < 5; ++page) {
        window.ntbPaginas->setCurrentIndex(page);
        QApplication::processEvents();
        const QString file = out.filePath(QString::fromLatin1(names[page]));
        if (!window.grab().save(file, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            ++failures;
        } else {
            std::printf("%s\n", qPrintable(file));
        }
    }
    return failures == 0 ? 0 : 1;
}
