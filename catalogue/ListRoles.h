#pragma once
// What the catalogue list keeps in its items beside the caption.
#include <Qt>

inline constexpr int kImageIndexRole = Qt::UserRole + 1;
// The item's record: its name's bytes and its kind letter, and why it cannot be shown.
inline constexpr int kRecordNameRole = Qt::UserRole + 2;
inline constexpr int kRecordKindRole = Qt::UserRole + 3;
inline constexpr int kBrokenRole = Qt::UserRole + 4;
