// Starting LibreOffice as our own child, and the guard that ends it with us.
// No UNO here: calc_process.cpp connects to what spawnOffice() starts.
#pragma once

#include "core/result.h"

#include <QString>

#include <sys/types.h>

namespace kestrune::sheet::calc {

struct OfficeLaunch {
  pid_t pid = 0;              // soffice (the oosplash wrapper); also its process group
  QString profileFolder;      // private: our profile lives in profileFolder/profile
  QString privateFolderName;  // the folder's own name, unique to this LibreOffice
  QString logFile;            // LibreOffice's own output
  QString pipeName;           // where it accepts our UNO connection
};

// Starts soffice in its own process group with a private profile and pipe.
// `headless`: no window at all.
Result<OfficeLaunch> spawnOffice(const QString& soffice, bool headless);

// The guard: a small process (/bin/sh) that outlives us to clean up after a
// LibreOffice we started. It reads lines on a socket whose other end only we
// hold. When that end closes without "end" (we were killed or crashed), it
// kills LibreOffice's whole process group (the oosplash wrapper and the
// soffice.bin below it), removes the workbook's lock file if our profile still
// holds it, and removes the private profile folder.
class OfficeGuard {
public:
  OfficeGuard() = default;
  OfficeGuard(const OfficeGuard&) = delete;
  OfficeGuard& operator=(const OfficeGuard&) = delete;
  // Stands down: whoever destroys the guard has dealt with LibreOffice.
  ~OfficeGuard();

  // Starts guarding the process group `officeGroup` (> 1) that uses
  // `profileFolder`, the private folder named `privateFolderName`.
  Status start(pid_t officeGroup, const QString& profileFolder, const QString& privateFolderName);
  // The lock file to clean when LibreOffice has to be killed.
  void watchLock(const QString& lockPath);
  // LibreOffice has ended normally, or is to outlive us: the guard exits
  // without touching anything.
  void standDown();

  pid_t processId() const { return pid_; }

private:
  void send(const QByteArray& line);
  pid_t pid_ = 0;
  int socket_ = -1;
};

}  // namespace kestrune::sheet::calc
