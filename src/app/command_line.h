// The program's command line: the options and what they asked for.
#pragma once

#include <QCoreApplication>
#include <QString>

#include <optional>

namespace kestrune::app {

struct CommandLine {
  std::optional<QString> dir;          // --dir: where setup.dat and ports.conf are
  std::optional<QString> workbook;     // --workbook
  QString spreadsheet;                 // --spreadsheet: embedded or calc
  std::optional<QString> newWorkbook;  // --new-workbook
  std::optional<QString> dump;         // --dump
  std::optional<QString> screenshot;   // --screenshot
  QString panel;                       // --panel: conditions or serial
  std::optional<QString> recover;      // --recover
  QString serve;                       // --serve ADDR:PORT: the web view for this run
  bool headless = false;
  bool start = false;
  bool overwrite = false;
  bool verbose = false;
};

// Reads the options of `application`'s arguments into `line`. Returns the
// exit status when the program is to end here (--help printed it; an unknown
// option and --version end inside).
std::optional<int> parseCommandLine(const QCoreApplication& application, CommandLine& line);

// Whether argv holds `option`, before any application object exists.
bool wantsOption(int argc, char** argv, const char* option);

}  // namespace kestrune::app
