// The name of a sheet that continues a full one: the run's first sheet's
// name with a counter, "Sheet1 (2)", "Sheet1 (3)" …, unique in the workbook
// (compared case-blind, as spreadsheet programs do) and within a sheet
// name's 31 characters, the base name shortened to make room.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace kestrune::sheet {

// The longest sheet name, in UTF-16 characters.
constexpr int MaxSheetNameLength = 31;

// The first free name after `first` among `existing`. A `first` that is
// itself a continuation ("Sheet1 (2)", its base "Sheet1" present) counts
// on from that base. None when no name can be made (an empty base).
std::optional<QString> continuationSheetName(const QString& first, const QStringList& existing);

}  // namespace kestrune::sheet
