#pragma once

#include <cstdint>
#include <iosfwd>

namespace engine {

// The outcome of programming one unit. Its number is what the log's "Failed
// to Program (Error #n)", the exit status, the JSON "result" and the report
// carry; everything that decides by it asks the predicates below, so no range
// test on the bare number can slip in. The numbers:
//   -1         sent, but the unit's verdict was not heard or cannot be believed
//    0         the unit reported its image good
//    1 ..  99  this host could not program the unit (socket, print queue, image file)
//  100 ..      the unit's own verdict n, as 100 + n (verify error, wrong model, ...)
class ProgramResult {
public:
    // Nothing confirmed yet.
    constexpr ProgramResult() = default;
    constexpr explicit ProgramResult(std::int32_t value) : value_(value) {}

    // The number, for writing it out; decisions use the predicates.
    constexpr std::int32_t value() const { return value_; }

    constexpr bool isProgrammed() const { return value_ == 0; }
    constexpr bool isUnconfirmed() const { return value_ < 0; }
    // This host could not program the unit: a batch stops after it.
    constexpr bool isHostFailure() const { return value_ > 0 && value_ < kFirstUnitVerdict; }
    // The unit itself refused the image: a batch goes on with the next one.
    constexpr bool isUnitVerdict() const { return value_ >= kFirstUnitVerdict; }

    friend constexpr bool operator==(ProgramResult, ProgramResult) = default;

private:
    static constexpr std::int32_t kFirstUnitVerdict = 100;

    std::int32_t value_ = -1;
};

inline constexpr ProgramResult ResultUnconfirmed{-1};
inline constexpr ProgramResult ResultProgrammed{0};
inline constexpr ProgramResult ResultSocketError{1};
inline constexpr ProgramResult ResultPrinterPortError{2};
inline constexpr ProgramResult ResultFileNotFound{3};
inline constexpr ProgramResult ResultFileTooLarge{101};
inline constexpr ProgramResult ResultVerifyError{102};
inline constexpr ProgramResult ResultWrongModel{103};

// The result for a unit's status: 0 programmed, negative unconfirmed, n > 0
// becomes 100 + n. A status so large that 100 + n would overflow stays at the
// largest result rather than wrapping round to a negative "unconfirmed".
[[nodiscard]] ProgramResult resultFromStatus(std::int32_t status);

// The number, as diagnostics and test failures show it.
std::ostream& operator<<(std::ostream& out, ProgramResult result);

}  // namespace engine
