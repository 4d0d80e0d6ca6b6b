// What a window shows of a library's failure, for the tests that check the
// user's texts: the failure's message and detail go into `boxes`.
#pragma once

#include "core/message_boxes.h"
#include "settings/setup_file.h"

namespace kestrune::testing {

// True when `status` is a success; a failure is shown first.
inline bool shown(const Status& status, MessageBoxes& boxes) {
  if (!status) showError(boxes, status.error());
  return status.ok();
}

// How a setup.dat read went, its failure shown.
enum class SetupSeen { Missing, Loaded, Failed };
inline SetupSeen shown(const Result<settings::SetupLoad>& loaded, MessageBoxes& boxes) {
  if (!loaded) {
    showError(boxes, loaded.error());
    return SetupSeen::Failed;
  }
  return *loaded == settings::SetupLoad::Missing ? SetupSeen::Missing : SetupSeen::Loaded;
}

}  // namespace kestrune::testing
