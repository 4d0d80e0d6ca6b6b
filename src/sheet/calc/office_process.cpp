// Process handling for the LibreOffice backend. POSIX spawning and sockets
// stay in this file.
#include "sheet/calc/office_process.h"

#include "core/trace.h"
#include "sheet/lock_file.h"
#include "sheet/spreadsheet_app.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QUrl>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kestrune::sheet::calc {

namespace {

// The guard's program, run by /bin/sh with $1 = LibreOffice's process group,
// $2 = the private profile folder, $3 = that folder's name. Lines on standard
// input: "lock PATH" names the workbook's lock file, "end" stands down. End of
// input without "end" means we are gone. Every removal is checked against the
// folder name, and the group must be above 1 ("kill -9 -1" would end everything).
constexpr const char* GuardScript = R"(trap '' HUP INT QUIT
lock=
while IFS= read -r line; do
  case $line in
    end) exit 0 ;;
    "lock "*) lock=${line#lock } ;;
  esac
done
case $1 in
  ''|*[!0-9]*) ;;
  *) [ "$1" -gt 1 ] && kill -9 "-$1" 2>/dev/null ;;
esac
if [ -n "$3" ] && [ -n "$lock" ] && [ -f "$lock" ]; then
  held=
  IFS= read -r held < "$lock"
  case $held in *"/$3/profile"*) rm -f -- "$lock" ;; esac
fi
case $2 in ?*/"$3") [ -n "$3" ] && rm -rf -- "$2" ;; esac
)";

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// argv for posix_spawn: the byte arrays must outlive the call.
struct Arguments {
  explicit Arguments(const QStringList& args) {
    for (const QString& a : args) bytes.push_back(a.toLocal8Bit());
    for (QByteArray& b : bytes) pointers.push_back(b.data());
    pointers.push_back(nullptr);
  }
  std::vector<QByteArray> bytes;
  std::vector<char*> pointers;
};

// A descriptor above the standard three, so that dup2 onto 0 in the child
// always makes a fresh one (dup2 of a descriptor onto itself keeps close-on-exec).
int aboveStandard(int fd) {
  if (fd > STDERR_FILENO) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return moved;
}

}  // namespace

Result<OfficeLaunch> spawnOffice(const QString& soffice, bool headless) {
  OfficeLaunch launch;
  const qint64 stamp = QDateTime::currentMSecsSinceEpoch();
  launch.privateFolderName = privateProfileFolderName(::getpid(), stamp);
  launch.profileFolder = QDir::tempPath() + QLatin1Char('/') + launch.privateFolderName;
  if (!QDir().mkpath(launch.profileFolder))
    return fail(SheetError::CannotStart, QStringLiteral("作業フォルダを作れません: ") + launch.profileFolder);
  // LibreOffice's own output stays where the user can read why it failed,
  // also after the temporary profile is gone: $XDG_CACHE_HOME/kestrune.
  QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  if (cache.isEmpty() || QDir::isRelativePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
  const QString logDir = cache + QStringLiteral("/kestrune");
  launch.logFile = QDir().mkpath(logDir) ? logDir + QStringLiteral("/soffice.log")
                                         : launch.profileFolder + QStringLiteral("/soffice.log");
  launch.pipeName = QStringLiteral("kestrune_%1_%2").arg(::getpid()).arg(stamp);
  // --nolockcheck concerns the profile's own lock, which a fresh private
  // profile never has; the workbook's lock file is written either way.
  QStringList args{soffice,
                   QStringLiteral("--accept=pipe,name=%1;urp;StarOffice.ComponentContext").arg(launch.pipeName),
                   QStringLiteral("-env:UserInstallation=") +
                       QUrl::fromLocalFile(launch.profileFolder + QStringLiteral("/profile")).toString(),
                   QStringLiteral("--norestore"),
                   QStringLiteral("--nologo"),
                   QStringLiteral("--nodefault"),
                   QStringLiteral("--nolockcheck"),
                   QStringLiteral("--nofirststartwizard")};
  if (headless) args << QStringLiteral("--headless") << QStringLiteral("--invisible");
  Arguments argv(args);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  const QByteArray log = QFile::encodeName(launch.logFile);
  // Never through a link planted where the log goes.
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int error = ::posix_spawn(&launch.pid, argv.pointers[0], &actions, &attributes, argv.pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    QDir(launch.profileFolder).removeRecursively();
    return fail(SheetError::CannotStart, QStringLiteral("LibreOffice を起動できません: ") + systemError(error));
  }
  return launch;
}

OfficeGuard::~OfficeGuard() { standDown(); }

Status OfficeGuard::start(pid_t officeGroup, const QString& profileFolder, const QString& privateFolderName) {
  if (officeGroup <= 1 || privateFolderName.isEmpty() || !profileFolder.endsWith(QLatin1Char('/') + privateFolderName))
    return fail(SheetError::CannotStart, QStringLiteral("LibreOffice の見張りを起動できません: 引数が不正です"));
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    return fail(SheetError::CannotStart, QStringLiteral("LibreOffice の見張りを起動できません: ") + systemError(errno));
  const int ours = aboveStandard(ends[0]);
  const int theirs = aboveStandard(ends[1]);
  if (ours < 0 || theirs < 0) {
    const int error = errno;
    if (ours >= 0) ::close(ours);
    if (theirs >= 0) ::close(theirs);
    return fail(SheetError::CannotStart, QStringLiteral("LibreOffice の見張りを起動できません: ") + systemError(error));
  }
  Arguments argv({QStringLiteral("/bin/sh"), QStringLiteral("-c"), QString::fromLatin1(GuardScript),
                  QStringLiteral("kestrune-calc-guard"), QString::number(officeGroup), profileFolder,
                  privateFolderName});
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, theirs, STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group: Ctrl+C on our terminal must not take the guard with us.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  pid_t pid = 0;
  const int error = ::posix_spawn(&pid, argv.pointers[0], &actions, &attributes, argv.pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(theirs);
  if (error != 0) {
    ::close(ours);
    return fail(SheetError::CannotStart, QStringLiteral("LibreOffice の見張りを起動できません: ") + systemError(error));
  }
  pid_ = pid;
  socket_ = ours;
  return {};
}

void OfficeGuard::watchLock(const QString& lockPath) {
  if (lockPath.contains(QLatin1Char('\n'))) return;  // the guard reads lines; such a lock is judged stale later
  send("lock " + QFile::encodeName(lockPath) + '\n');
}

void OfficeGuard::standDown() {
  if (socket_ < 0) return;
  send("end\n");
  ::close(socket_);
  socket_ = -1;
  // It exits as soon as it reads "end".
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = 0;
}

void OfficeGuard::send(const QByteArray& line) {
  if (socket_ < 0) return;
  // MSG_NOSIGNAL: a guard that has died must not take us with it by SIGPIPE.
  // A lost line only makes the guard clean up less; the next open judges what is left.
  if (::send(socket_, line.constData(), static_cast<size_t>(line.size()), MSG_NOSIGNAL) < 0)
    trace(QStringLiteral("LibreOffice guard"), QString::fromLocal8Bit(std::strerror(errno)));
}

}  // namespace kestrune::sheet::calc
