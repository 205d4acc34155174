#pragma once
// The game's one window: five notebook pages (login, account, character, management, fight), its
// creation handler, the page guard and the event handlers. The layout, captions, tab order and
// event bindings are the compiled-in window description uPrincipal.ui.
#include "game/Session.h"

#include "ui_uPrincipal.h"

#include <QIdentityProxyModel>
#include <QStandardItemModel>
#include <QWidget>

#include <string>
#include <vector>

namespace rivalon {

class TDados;

// Registers the program's embedded resources (the style WINDOWSDARK and the banner). Safe to call
// more than once; the window calls it itself, the start sequence calls it before the style.
void InitGameResources();

// Columns of the ranking grid, as the window description stores them.
struct TColunaRanking {
    const char16_t* Titulo;
    const char* Campo;
    int Largura; // pixels at 96 DPI; 0 for the grid's default
};
inline constexpr TColunaRanking kColunasRanking[] = {
    {u"Personagem", "nome_personagem", 450},
    {u"Nível", "nivel_personagem", 0},
    {u"Vitórias", "qtd_vitorias", 0},
};

// The grid's row indicator: the vertical header shows a pointer at the current row and nothing at
// the others, as a data grid's indicator column does.
class TIndicadorLinha final : public QIdentityProxyModel {
    Q_OBJECT

public:
    using QIdentityProxyModel::QIdentityProxyModel;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    void SetLinhaAtual(int row);
    int LinhaAtual() const noexcept { return FLinhaAtual; }

private:
    int FLinhaAtual = -1;
};

class TfrmPrincipal : public QWidget, public Ui::TfrmPrincipal {
    Q_OBJECT

public:
    // Loads the window description, scales it to the screen and runs FormCreate.
    explicit TfrmPrincipal(QWidget* parent = nullptr);
    ~TfrmPrincipal() override;

    TfrmPrincipal(const TfrmPrincipal&) = delete;
    TfrmPrincipal& operator=(const TfrmPrincipal&) = delete;

    // The creation handler; the constructor runs it once.
    void FormCreate();

    // The dice of the fight and of "Teste"; the process generator unless a test sets others.
    void UsarDados(TDados& dados) noexcept { FDados = &dados; }

    // The combat log, one text per line (the first line is the log's initial empty line).
    std::vector<std::u16string> LinhasDoLog() const;

    // The model behind dbgRanking (until a data source feeds it, only its column titles).
    QStandardItemModel* ModeloRanking() const noexcept { return FModeloRanking; }

    // Pixels at 96 DPI of the window description to this screen's pixels.
    double FatorEscala() const noexcept { return FEscala; }

    // Scales the description's positions and sizes by fator (the screen's DPI / 96). The window
    // applies it once while it is created; a second call scales again.
    void procEscalaTela(double fator);

public slots:
    void ntbPaginasPageChanged();
    void btnLoginClick();
    void btnCriarContaClick();
    void TesteClick();
    void btnCriaContaClick();
    void btnAddAtaqueClick();
    void btnAddDefesaClick();
    void btnAddHpClick();
    void BitBtn2Click();
    void BitBtn3Click();
    void btnLutarClick();
    void BitBtn5Click();
    void BitBtn1Click();

private:
    void procAcrescentaLog(const std::u16string& linhas);

    TDados* FDados;
    QStandardItemModel* FModeloRanking = nullptr; // owned by the window (Qt parent)
    TIndicadorLinha* FIndicador = nullptr;         // likewise
    double FEscala = 1.0;
};

// The program's one window while it exists (the start sequence owns it).
inline TfrmPrincipal* frmPrincipal = nullptr;

} // namespace rivalon
