#pragma once
// The fight between the player's character and the chosen opponent: computed at once, round by
// round with dice, and told line by line. Free of widgets so that the rules can be played and
// checked without a window; the window only asks for confirmation and shows the lines.
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace rivalon {

// A source of dice. Rolar(faces) gives a whole number from 1 to faces (faces >= 1).
class TDados {
public:
    virtual ~TDados();
    virtual int32_t Rolar(int32_t faces) = 0;
};

// The program's one pseudo-random generator, seeded once from the clock as the program starts.
// Safe to call from any thread.
TDados& DadosDoProcesso();
// Re-seeds the process generator so that a run can be repeated (tests, replays).
void SemearDadosDoProcesso(uint64_t semente);

// Dice that give a fixed sequence of values, for tests. Each value must lie in 1..faces of the
// roll it answers; a roll beyond the script or out of range raises rivalon::Exception, so a test
// that draws more or other dice than it expects fails loudly.
class TDadosRoteiro : public TDados {
public:
    TDadosRoteiro(std::initializer_list<int32_t> valores);
    explicit TDadosRoteiro(std::vector<int32_t> valores);
    int32_t Rolar(int32_t faces) override;
    // Values not drawn yet.
    size_t Restantes() const { return FValores.size(); }
    // The faces of every roll so far, in order.
    const std::vector<int32_t>& Faces() const { return FFaces; }

private:
    std::deque<int32_t> FValores;
    std::vector<int32_t> FFaces;
};

// A fight that nobody can win ends after this many rounds as a draw.
inline constexpr int kMaxRodadasCombate = 1000;

// Plays one whole fight from the session variables of game/Session.h and passes every line of
// the combat log to append, in order (an empty text is an empty line). The player fights with a
// copy of VA_HP_ATUAL; VA_HP_ADVERSARIO is lowered and keeps its value after the fight. The
// confirmation before the fight is the caller's.
void ResolverCombate(TDados& dados, const std::function<void(const std::u16string&)>& append);

} // namespace rivalon
