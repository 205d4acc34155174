#include "platform/qt/Dialogs.h"

#include "platform/CodePage.h"
#include "platform/Exception.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QString>

namespace rivalon {

namespace {

std::unique_ptr<TDialogs>& Current() {
    static std::unique_ptr<TDialogs> current = std::make_unique<TQtDialogs>();
    return current;
}

QString ToQString(const std::u16string& text) {
    return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

} // namespace

TDialogs::~TDialogs() = default;

TModalResult TQtDialogs::MessageDlg(TMsgDlgType kind, const std::u16string& text) {
    QMessageBox box(QApplication::activeWindow());
    box.setText(ToQString(text));
    box.setTextFormat(Qt::PlainText); // a player's name must never be read as markup
    QString title = QApplication::applicationName();
    switch (kind) {
    case TMsgDlgType::mtError:
        box.setIcon(QMessageBox::Critical);
        title = QStringLiteral("Erro");
        break;
    case TMsgDlgType::mtInformation:
        box.setIcon(QMessageBox::Information);
        title = QStringLiteral("Informação");
        break;
    case TMsgDlgType::mtConfirmation:
        box.setIcon(QMessageBox::Question);
        title = QStringLiteral("Confirmação");
        break;
    case TMsgDlgType::mtPlain:
        box.setIcon(QMessageBox::NoIcon);
        break;
    }
    box.setWindowTitle(title);
    if (kind == TMsgDlgType::mtConfirmation) {
        QPushButton* yes = box.addButton(QStringLiteral("&Sim"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(QStringLiteral("&Não"), QMessageBox::NoRole);
        box.setDefaultButton(yes);
        box.setEscapeButton(no); // closing the box is a No
        box.exec();
        return box.clickedButton() == yes ? TModalResult::mrYes : TModalResult::mrNo;
    }
    QPushButton* ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
    return TModalResult::mrOk;
}

TModalResult TRecordedDialogs::MessageDlg(TMsgDlgType kind, const std::u16string& text) {
    TModalResult answer = TModalResult::mrOk;
    if (kind == TMsgDlgType::mtConfirmation) {
        answer = TModalResult::mrNo;
        if (!FAnswers.empty()) {
            answer = FAnswers.front();
            FAnswers.pop_front();
        }
    }
    FShown.push_back({kind, text, answer});
    return answer;
}

TDialogs& Dialogs() { return *Current(); }

std::unique_ptr<TDialogs> SetDialogs(std::unique_ptr<TDialogs> dialogs) {
    if (!dialogs)
        dialogs = std::make_unique<TQtDialogs>();
    Current().swap(dialogs);
    return dialogs;
}

void ShowError(const std::u16string& text) { Dialogs().MessageDlg(TMsgDlgType::mtError, text); }

void ShowInformation(const std::u16string& text) {
    Dialogs().MessageDlg(TMsgDlgType::mtInformation, text);
}

void ShowMessage(const std::u16string& text) { Dialogs().MessageDlg(TMsgDlgType::mtPlain, text); }

bool Confirm(const std::u16string& text) {
    return Dialogs().MessageDlg(TMsgDlgType::mtConfirmation, text) == TModalResult::mrYes;
}

void ShowException(const std::exception& e) noexcept {
    try {
        if (const auto* own = dynamic_cast<const Exception*>(&e))
            ShowError(own->Message());
        else
            ShowError(Utf8ToUtf16(e.what()));
    } catch (...) {
        // Nothing is left to report a failing error box with; the window must stay usable.
    }
}

void ShowUnknownException() noexcept {
    try {
        ShowError(u"Ocorreu um erro desconhecido.");
    } catch (...) {
    }
}

} // namespace rivalon
