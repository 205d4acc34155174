#pragma once
// The session state of the game: process-wide variables, one session per running program.
// Integers start at 0 and texts empty; only the window's creation handler and the game handlers
// change them, and nothing clears them before the program ends.
#include <cstdint>
#include <string>

namespace rivalon {

inline int32_t VA_ID_CONTA = 0;          // logged-in account; -1 from window creation until login
inline int32_t VA_NIVEL_ATUAL = 0;       // character level
inline int32_t VA_ENE_MAX_ATUAL = 0;     // maximum energy
inline int32_t VA_ENE_ATUAL_ATUAL = 0;   // current energy
inline int32_t VA_ATAQUE_ATUAL = 0;      // attack
inline int32_t VA_DEFESA_ATUAL = 0;      // defence
inline int32_t VA_HP_ATUAL = 0;          // hit points (a fight works on a copy)
inline int32_t VA_XP_ATUAL = 0;          // experience
inline int32_t VA_XP_PROX_LVL = 0;       // experience figure of the character's level
inline int32_t VA_PONTOS_DIST_ATUAL = 0; // unspent creation points
inline std::u16string VA_NOME_ADVERSARIO;
inline std::u16string VA_LOGIN_CONTA;
inline std::u16string VA_NOME_PERSONAGEM;
inline std::u16string VA_MAC;
inline std::u16string VA_IP_LOCAL;
inline std::u16string VA_IP_INTERNET;
inline std::u16string VA_VERSAO_SISTEMA;
inline std::u16string VA_NOME_COMPUTADOR;
inline std::u16string VA_USUARIO_OS;
inline int32_t VA_ID_ADVERSARIO = 0;
inline int32_t VA_NVL_ADVERSARIO = 0;
inline int32_t VA_ATAQUE_ADVERSARIO = 0;
inline int32_t VA_DEFESA_ADVERSARIO = 0;
inline int32_t VA_HP_ADVERSARIO = 0; // lowered during a fight

} // namespace rivalon
