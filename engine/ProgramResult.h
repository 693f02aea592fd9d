#pragma once

#include <cstdint>

// The outcome of programming one unit.
using ProgramResult = std::int32_t;

inline constexpr ProgramResult ResultUnconfirmed = -1;
inline constexpr ProgramResult ResultProgrammed = 0;
inline constexpr ProgramResult ResultSocketError = 1;
inline constexpr ProgramResult ResultPrinterPortError = 2;
inline constexpr ProgramResult ResultFileNotFound = 3;
inline constexpr ProgramResult ResultFileTooLarge = 101;
inline constexpr ProgramResult ResultVerifyError = 102;
inline constexpr ProgramResult ResultWrongModel = 103;

// The result for a unit's status: 0 programmed, negative unconfirmed, n > 0
// becomes 100 + n. A status so large that 100 + n would overflow stays at the
// largest result rather than wrapping round to a negative "unconfirmed".
ProgramResult resultFromStatus(std::int32_t status);
