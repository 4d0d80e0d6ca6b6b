// A shell that records what it was asked to open and answers as told.
#pragma once

#include "core/shell.h"

#include <QStringList>

namespace kestrune::testing {

class RecordingShell final : public Shell {
public:
  Status open(const QString& fileOrUrl) override {
    opened << fileOrUrl;
    if (refuse) return fail(ShellError::NotOpened, QStringLiteral("no handler for ") + fileOrUrl);
    return Status::success();
  }
  QStringList opened;
  bool refuse = false;  // every open() fails
};

}  // namespace kestrune::testing
