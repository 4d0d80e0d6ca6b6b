#include "script/loader.h"

#include "script/syntax.h"

#include <QFile>
#include <QFileInfo>

namespace kestrune::script {

namespace {

// A script file larger than this is refused as unreadable rather than read
// into memory: the largest valid script is far smaller in practice.
constexpr qint64 MaxFileBytes = 64 * 1024 * 1024;

class LineCollector {
public:
  explicit LineCollector(StepLines& out) : out_(out) {}

  // Returns false once a limit is passed.
  bool add(char16_t c, bool last) {
    const bool afterCr = afterCr_;
    afterCr_ = c == u'\r';
    // CR, LF and CR LF alike end one line of the file.
    if (c == u'\r' || (c == u'\n' && !afterCr)) return endLine();
    if (last) {
      if (c > 32) append(c);
      return !out_.tooLong && endLine();
    }
    if (c >= 32) append(c);
    return !out_.tooLong;
  }

private:
  void append(char16_t c) {
    if (c != u' ' && buffer_.find_first_not_of(u' ') == cp932::CodeString::npos) startLine_ = fileLine_;
    buffer_.push_back(c);
    if (buffer_.size() > MaxLineLength) out_.tooLong = true;
  }
  bool endLine() {
    ++fileLine_;
    const std::size_t first = buffer_.find_first_not_of(u' ');
    if (first == cp932::CodeString::npos)
      buffer_.clear();
    else
      buffer_ = buffer_.substr(first, buffer_.find_last_not_of(u' ') - first + 1);
    if (buffer_.size() < 3) return true;  // kept: joined to the next line
    if (buffer_.front() != u';') {
      if (out_.lines.size() >= MaxStepLines) {
        out_.tooLong = true;
        return false;
      }
      out_.lines.push_back(buffer_);
      out_.fileLines.push_back(startLine_);
    }
    buffer_.clear();
    return true;
  }

  StepLines& out_;
  cp932::CodeString buffer_;
  std::size_t fileLine_ = 1;   // the file's line being read
  std::size_t startLine_ = 1;  // where the buffer's first non-space character stands
  bool afterCr_ = false;
};

}  // namespace

QString scriptPathFor(const QString& xlsFilePath) {
  return xlsFilePath.chopped(std::min<qsizetype>(3, xlsFilePath.size())) + QStringLiteral("txt");
}

StepLines readStepLines(std::string_view bytes) {
  StepLines out;
  const cp932::CodeString characters = cp932::decode(bytes);
  LineCollector collector(out);
  for (std::size_t i = 0; i < characters.size(); ++i)
    if (!collector.add(characters[i], i + 1 == characters.size())) break;
  return out;
}

Status loadScriptFile(Script& script, const QString& xlsFilePath) {
  const QString path = scriptPathFor(xlsFilePath);
  const QString prefix = QStringLiteral("ｽｸﾘﾌﾟﾄﾌｧｲﾙ:") + path;
  if (!QFileInfo(path).isFile()) {  // a folder or a named pipe is no script file
    return fail(ScriptError::Missing, prefix + QStringLiteral("がありません"));
  }
  QFile file(path);
  QByteArray bytes;
  bool readOk = file.open(QIODevice::ReadOnly) && file.size() <= MaxFileBytes;
  if (readOk) {
    bytes = file.readAll();
    readOk = file.error() == QFileDevice::NoError;
  }
  file.close();
  const StepLines read =
      readOk ? readStepLines(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))) : StepLines{};
  if (!readOk || read.tooLong) {
    // The message names the read error; the details say which limit, if any.
    QString why;
    if (file.size() > MaxFileBytes)
      why = QStringLiteral("スクリプトファイルが大きすぎます（%1 バイト。%2 バイトまで）")
                .arg(file.size())
                .arg(MaxFileBytes);
    else if (read.tooLong && read.lines.size() >= MaxStepLines)
      why = QStringLiteral("スクリプトファイルが大きすぎます（ステップの行は %1 行まで）").arg(MaxStepLines);
    else if (read.tooLong)
      why = QStringLiteral("スクリプトファイルの行が長すぎます（1 行は %1 文字まで）").arg(MaxLineLength);
    return fail(ScriptError::Unreadable, prefix + QStringLiteral("の読み込みエラー"), why);
  }
  if (read.lines.empty()) {
    return fail(ScriptError::Empty, prefix + QStringLiteral("にｽｸﾘﾌﾟﾄはありません"));
  }
  script.scriptSteps.assign(read.lines.size() + 1, ScriptStep{});
  for (std::size_t n = 0; n < read.lines.size(); ++n) {
    ScriptStep step;
    const StepError error = parseStepChecked(read.lines[n], step);
    if (error != StepError::None) {
      // The step number, then on a line of its own why and where in the file.
      return fail(ScriptError::BadStep,
                  QStringLiteral("ｽｸﾘﾌﾟﾄ不正(") + path + QStringLiteral(") ｽｸﾘﾌﾟﾄNo.") + QString::number(n + 1) +
                      QLatin1Char(':') + cp932::toUnicode(read.lines[n]) + QLatin1Char(' ') + QLatin1Char('\n') +
                      stepErrorText(error) + QStringLiteral("（ファイルの%1行目）").arg(read.fileLines[n]));
    }
    script.scriptSteps[n] = std::move(step);
  }
  script.stepCount = static_cast<std::int16_t>(read.lines.size());
  return {};
}

}  // namespace kestrune::script
