#pragma once
// Translation of a record filter expression into an SQL condition. The SQL
// is assembled only from this program's constant fragments (column names,
// operators, "?"); every literal of the expression becomes a bound value.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

using TFilterValue = std::variant<int64_t, std::string>;

struct TFilterCondition {
    std::string sql;                  // e.g. "(ImageType = ?)"
    std::vector<TFilterValue> params; // in the order of the "?"s
};

// The column names of the vault table, in field order.
inline constexpr const char* kVaultColumns[] = {"FileName", "DimX", "DimY", "Image", "ImageType"};

// Parses expression (grammar in VaultTable.h). A blank expression gives an
// empty sql (no condition). Raises EDatabaseError with a message naming the
// expression and what is wrong at which position.
TFilterCondition CompileFilter(const std::string& expression);
