#pragma once
// Modal message boxes of the game, behind an adapter: the program shows real boxes, tests install a
// recorder that reads each box and answers it. Every box goes through Dialogs(), so a handler
// cannot bypass the adapter.
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace rivalon {

enum class TMsgDlgType { mtError, mtInformation, mtConfirmation, mtPlain };
enum class TModalResult { mrOk, mrYes, mrNo };

class TDialogs {
public:
    virtual ~TDialogs();
    // Shows a modal box and waits until it is closed. Error, information and plain boxes have one
    // OK button; a confirmation has Yes and No, and closing it counts as No.
    virtual TModalResult MessageDlg(TMsgDlgType kind, const std::u16string& text) = 0;
};

// The real boxes (QMessageBox), titled with the application's name.
class TQtDialogs final : public TDialogs {
public:
    TModalResult MessageDlg(TMsgDlgType kind, const std::u16string& text) override;
};

// Records every box and answers confirmations from a script (No once the script is used up), for
// tests that drive the window without a person in front of it.
class TRecordedDialogs final : public TDialogs {
public:
    struct TShown {
        TMsgDlgType Kind;
        std::u16string Text;
        TModalResult Answer;
    };

    TModalResult MessageDlg(TMsgDlgType kind, const std::u16string& text) override;

    void AnswerNext(TModalResult answer) { FAnswers.push_back(answer); }
    const std::vector<TShown>& Shown() const noexcept { return FShown; }
    void Clear() { FShown.clear(); FAnswers.clear(); }

private:
    std::vector<TShown> FShown;
    std::deque<TModalResult> FAnswers;
};

// The process's adapter; TQtDialogs until another one is installed. SetDialogs returns the one it
// replaces so a test can put it back.
TDialogs& Dialogs();
std::unique_ptr<TDialogs> SetDialogs(std::unique_ptr<TDialogs> dialogs);

// The game's four kinds of box.
void ShowError(const std::u16string& text);
void ShowInformation(const std::u16string& text);
void ShowMessage(const std::u16string& text); // plain: no icon, OK
bool Confirm(const std::u16string& text);     // true only for Yes

// The application's default error box for an exception that escaped a handler: an error box
// with the exception's message. The window stays usable.
void ShowException(const std::exception& e) noexcept;
void ShowUnknownException() noexcept;

// Runs a handler body and turns whatever escapes it into the default error box. Exceptions must
// not cross Qt's event dispatch, so every bound handler runs its body through this.
template <class F>
void RunGuarded(F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        ShowException(e);
    } catch (...) {
        ShowUnknownException();
    }
}

} // namespace rivalon
