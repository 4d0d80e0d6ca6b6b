// Rows for the chart tests, made as the session makes them from an
// acquisition's cells.
#pragma once

#include "app/acquisition_session.h"

#include <optional>
#include <vector>

namespace kestrune::app {

// Adds to `chart` (a ChartModel or a ChartWindow) the row of `cells`, taken
// `elapsedMs` after the start; `number` stands in for a number among the cells.
template <typename Chart>
void addRow(Chart& chart, std::int64_t elapsedMs, std::optional<std::int32_t> number,
            const std::vector<sheet::CellValue>& cells) {
  AcquiredRow row = rowFromCells(cells);
  row.elapsedMs = elapsedMs;
  if (number) row.number = number;
  chart.addRow(row);
}

}  // namespace kestrune::app
