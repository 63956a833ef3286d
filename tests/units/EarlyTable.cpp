// A unit whose start-up registers a table before the error list's unit has
// started up (it is linked ahead of the library).
#include <array>

#include "Units/cuErrors.h"

extern const std::array<TErrorEntry, 2> kEarlyTable;
const std::array<TErrorEntry, 2> kEarlyTable{{{-1000, L"до списка"}, {-1001, L"ранняя таблица"}}};

namespace {
const bool kRegistered = (RegisterErrorConsts(kEarlyTable), true);
}
