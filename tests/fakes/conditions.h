// Changing a session's acquisition conditions as OK on the conditions panel does.
#pragma once

#include "app/acquisition_session.h"

namespace kestrune::testing {

template <typename Edit>
void changeConditions(app::AcquisitionSession& session, Edit edit) {
  settings::Conditions c = session.conditions();
  edit(c);
  session.setConditions(c, settings::Rewrite::All);
}

}  // namespace kestrune::testing
