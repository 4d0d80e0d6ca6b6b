// Where the next acquired row goes and the number it gets. The conditions
// panel shows and sets it as the start cell and the acquisition number, a run
// moves it down row by row, and setup.dat keeps it so the next run, even
// after a restart, continues below the last row written.
#pragma once

#include <QString>

#include <cstdint>

namespace kestrune {

struct RunCursor {
  // The start column's letters ("B", "AA") as the start column box shows them.
  QString column;
  std::int32_t row = 0;
  // The column's number, known once a run has placed the cursor in a sheet.
  std::int16_t columnNo = 0;
  // The number the next acquisition gets when rows are numbered.
  std::int32_t acquisitionNo = 0;
  friend bool operator==(const RunCursor&, const RunCursor&) = default;
};

}  // namespace kestrune
