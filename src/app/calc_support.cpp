#include "app/calc_support.h"

#include "sheet/calc/calc_app.h"

namespace kestrune::app {

bool calcAvailable() { return sheet::calc::calcInstalled(); }

sheet::SpreadsheetFactory calcSpreadsheetFactory(bool headless) {
  sheet::calc::CalcOptions options;
  options.headless = headless;
  return sheet::calc::calcFactory(options);
}

}  // namespace kestrune::app
