#include "game/uPrincipal.h"

#include "game/Combat.h"
#include "game/Identity.h"
#include "platform/CodePage.h"
#include "platform/qt/Dialogs.h"
#include "platform/qt/Fonts.h"

#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLayout>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <cmath>

// Resource registration must sit outside any namespace.
static void RegisterGameResources() { Q_INIT_RESOURCE(Rivalon); }

namespace rivalon {

namespace {

QString Q(const std::u16string& text) {
    return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

std::u16string U16(const QString& text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()),
                          static_cast<size_t>(text.size()));
}

int Escalar(int pixels, double fator) { return static_cast<int>(std::lround(pixels * fator)); }

bool InLayout(const QWidget* w) {
    const QWidget* parent = w->parentWidget();
    return parent && parent->layout() && parent->layout()->indexOf(w) >= 0;
}

} // namespace

void InitGameResources() {
    static const bool registered = (RegisterGameResources(), true);
    (void)registered;
}

QVariant TIndicadorLinha::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Vertical) {
        if (role == Qt::DisplayRole)
            return section == FLinhaAtual ? QVariant(QStringLiteral("\u25B8")) : QVariant(QString());
        if (role == Qt::TextAlignmentRole)
            return QVariant(Qt::AlignCenter);
    }
    return QIdentityProxyModel::headerData(section, orientation, role);
}

void TIndicadorLinha::SetLinhaAtual(int row) {
    const int before = FLinhaAtual;
    FLinhaAtual = row;
    if (before >= 0 && before < rowCount())
        emit headerDataChanged(Qt::Vertical, before, before);
    if (row >= 0 && row < rowCount())
        emit headerDataChanged(Qt::Vertical, row, row);
}

TfrmPrincipal::TfrmPrincipal(QWidget* parent) : QWidget(parent), FDados(&DadosDoProcesso()) {
    InitGameResources();
    frmPrincipal = this;
    try {
        setupUi(this);

        setFont(TahomaFontPx96(11));
        Label2->setFont(TahomaFontPx96(16, true));
        Label3->setFont(TahomaFontPx96(21, true));
        // The face-off mark is the game's, not the theme's: same gold in any look.
        Label3->setStyleSheet(QStringLiteral("color: #f2b83a; background: transparent;"));
        // The mark sizes itself to its text, as the stored label does: a stand-in for Tahoma may
        // run a pixel or two wider than the 27 x 25 it was drawn for.
        Label3->resize(Label3->size().expandedTo(Label3->sizeHint()));
        auto* glow = new QGraphicsDropShadowEffect(Label2);
        glow->setOffset(0, 0);
        glow->setBlurRadius(10);
        glow->setColor(QColor(0x4c, 0xc2, 0xff));
        Label2->setGraphicsEffect(glow);

        FModeloRanking = new QStandardItemModel(0, static_cast<int>(std::size(kColunasRanking)), this);
        for (int i = 0; i < static_cast<int>(std::size(kColunasRanking)); ++i)
            FModeloRanking->setHeaderData(i, Qt::Horizontal, Q(kColunasRanking[i].Titulo));
        FIndicador = new TIndicadorLinha(this);
        FIndicador->setSourceModel(FModeloRanking);
        dbgRanking->setModel(FIndicador);
        connect(dbgRanking->selectionModel(), &QItemSelectionModel::currentRowChanged, FIndicador,
                [this](const QModelIndex& current) { FIndicador->SetLinhaAtual(current.row()); });
        dbgRanking->horizontalHeader()->setSectionsClickable(true);
        dbgRanking->horizontalHeader()->setHighlightSections(true);
        dbgRanking->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
        dbgRanking->verticalHeader()->setSectionResizeMode(QHeaderView::Interactive);
        dbgRanking->verticalHeader()->setFixedWidth(12); // the row indicator column

        memLogCombate->setUndoRedoEnabled(false); // a long log must not grow an undo history

        const QScreen* screen = QGuiApplication::primaryScreen();
        procEscalaTela(screen ? screen->logicalDotsPerInchX() / 96.0 : 1.0);

        // Placed at the centre of the desktop.
        if (screen) {
            QRect frame(QPoint(0, 0), size());
            frame.moveCenter(screen->availableGeometry().center());
            move(frame.topLeft());
        }

        FormCreate();
    } catch (...) {
        frmPrincipal = nullptr;
        throw;
    }
}

TfrmPrincipal::~TfrmPrincipal() {
    if (frmPrincipal == this)
        frmPrincipal = nullptr;
}

// The description is in pixels at 96 DPI. Fonts follow the screen by themselves (they are in
// points); positions and sizes of every control not placed by a layout, the fixed heights of the
// aligned panels and the grid's column widths are scaled here.
void TfrmPrincipal::procEscalaTela(double fator) {
    const double f = fator > 0.0 && std::isfinite(fator) ? fator : 1.0;
    FEscala *= f;
    if (f != 1.0) {
        for (QWidget* w : findChildren<QWidget*>()) {
            // Only the description's own controls: the inner parts of grids, text boxes and
            // scroll bars are laid out by their owners.
            if (w->objectName().isEmpty() || w->objectName().startsWith(QLatin1String("qt_")))
                continue;
            if (w->minimumHeight() > 0 && w->minimumHeight() == w->maximumHeight())
                w->setFixedHeight(Escalar(w->minimumHeight(), f));
            if (!InLayout(w) && w->parentWidget() != nullptr && !w->isWindow()) {
                const QRect g = w->geometry();
                w->setGeometry(Escalar(g.x(), f), Escalar(g.y(), f), Escalar(g.width(), f),
                               Escalar(g.height(), f));
            }
        }
        dbgRanking->verticalHeader()->setFixedWidth(Escalar(12, FEscala));
    }
    for (int i = 0; i < static_cast<int>(std::size(kColunasRanking)); ++i) {
        if (kColunasRanking[i].Largura > 0)
            dbgRanking->setColumnWidth(i, Escalar(kColunasRanking[i].Largura, FEscala));
    }
    resize(Escalar(width(), f), Escalar(height(), f));
}

void TfrmPrincipal::FormCreate() {
    ntbPaginas->setCurrentIndex(0);
    VA_MAC = FuncMacAddress();
    VA_IP_LOCAL = FuncIPLocal();
    VA_VERSAO_SISTEMA = FuncVersaoExe();
    VA_NOME_COMPUTADOR = FuncNomedoComputador();
    VA_USUARIO_OS = FuncNomedoUsuario();
    VA_IP_INTERNET = GetIPReal();
    VA_ID_CONTA = -1;
    frmPrincipal->setWindowTitle(Q(u"RIVALON: versão atual: " + VA_VERSAO_SISTEMA));
}

// Management is closed to a session without an account. Switching to page 0 here emits the
// page change again, which then finds nothing to do.
void TfrmPrincipal::ntbPaginasPageChanged() {
    if (ntbPaginas->currentIndex() == 3 && VA_ID_CONTA <= 0)
        ntbPaginas->setCurrentIndex(0);
}

void TfrmPrincipal::btnCriarContaClick() {
    RunGuarded([this] { ntbPaginas->setCurrentIndex(1); });
}

void TfrmPrincipal::TesteClick() {
    RunGuarded([this] {
        const int32_t n = FDados->Rolar(2);
        ShowMessage(Utf8ToUtf16(std::to_string(n)));
    });
}

void TfrmPrincipal::BitBtn1Click() {
    RunGuarded([this] {
        if (!Confirm(u"Confirma iniciar o combate contra " + VA_NOME_ADVERSARIO + u"?"))
            return;
        // The lines are gathered and put into the log in one edit: a fight of a thousand rounds
        // would otherwise re-lay the text box thirteen thousand times. Whatever was told before
        // an error still reaches the log.
        std::u16string novas;
        struct TFlush {
            TfrmPrincipal* Form;
            std::u16string& Linhas;
            ~TFlush() {
                if (!Linhas.empty())
                    Form->procAcrescentaLog(Linhas);
            }
        } flush{this, novas};
        ResolverCombate(*FDados, [&novas](const std::u16string& linha) {
            novas += u'\n';
            novas += linha;
        });
    });
}

// Appends text that starts with a line feed before each line, below whatever the log holds.
void TfrmPrincipal::procAcrescentaLog(const std::u16string& linhas) {
    QTextCursor cursor(memLogCombate->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(Q(linhas));
    memLogCombate->verticalScrollBar()->setValue(memLogCombate->verticalScrollBar()->maximum());
}

std::vector<std::u16string> TfrmPrincipal::LinhasDoLog() const {
    std::vector<std::u16string> linhas;
    for (QTextBlock b = memLogCombate->document()->begin(); b.isValid(); b = b.next())
        linhas.push_back(U16(b.text()));
    return linhas;
}

// Handlers whose work needs the game database (the connection component comes with the data
// road): bound already, so the window description is complete, and doing nothing until then.
void TfrmPrincipal::btnLoginClick() {}
void TfrmPrincipal::btnCriaContaClick() {}
void TfrmPrincipal::btnAddAtaqueClick() {}
void TfrmPrincipal::btnAddDefesaClick() {}
void TfrmPrincipal::btnAddHpClick() {}
void TfrmPrincipal::BitBtn2Click() {}
void TfrmPrincipal::BitBtn3Click() {}
void TfrmPrincipal::btnLutarClick() {}
void TfrmPrincipal::BitBtn5Click() {}

} // namespace rivalon
