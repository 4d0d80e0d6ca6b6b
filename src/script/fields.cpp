#include "script/fields.h"

namespace kestrune::script {

std::vector<cp932::CodeString> lineFields(const cp932::CodeString& line, cp932::Code startCode,
                                          cp932::Code delimiterCode, cp932::Code endCode) {
  std::vector<cp932::CodeString> fields;
  cp932::CodeString field;
  for (const cp932::Code k : line) {
    if (k == startCode) continue;
    if (k == delimiterCode || k == endCode) {
      if (!field.empty()) fields.push_back(std::move(field));
      field.clear();
    } else if (k >= 32) {
      field.push_back(k);
    }
  }
  return fields;
}

}  // namespace kestrune::script
