#include "sheet/embedded/cell_text.h"

#include <QDate>
#include <QFile>

#include <cerrno>
#include <cmath>
#include <iterator>

namespace kestrune::sheet::embedded {

namespace {

constexpr double SecondsPerDay = 86400.0;
// 9999-12-31, the last day a spreadsheet calendar shows (1900 system).
constexpr long long LastSerial1900 = 2958465;
// 1904-01-01 is serial 1462 in the 1900 system.
constexpr long long Offset1904 = 1462;

QString twoDigits(long long n) { return QStringLiteral("%1").arg(n, 2, 10, QLatin1Char('0')); }

}  // namespace

Result<xls::DateTimeValue> stampSerial(const Stamp& stamp, bool date1904) {
  if (!stamp.value.isValid()) return fail(SheetError::BadDate, QStringLiteral("日付・時刻が正しくありません"));
  const QTime time = stamp.value.time();
  if (stamp.kind == Stamp::Kind::Time)
    return xls::DateTimeValue{time.msecsSinceStartOfDay() / (SecondsPerDay * 1000.0), xls::DateKind::TimeOnly,
                              stamp.milliseconds};

  const QDate date = stamp.value.date();
  xls::CivilDateTime civil{date.year(), date.month(), date.day()};
  if (stamp.kind == Stamp::Kind::DateTime) {
    civil.hour = time.hour();
    civil.minute = time.minute();
    civil.second = time.second() + time.msec() / 1000.0;
  }
  const xls::XlsResult<double> serial = xls::serialFromCivil(civil, date1904);
  if (!serial)
    return fail(SheetError::BadDate,
                QStringLiteral("日付 %1 はこのブックに書き込めません（%2）")
                    .arg(date.toString(QStringLiteral("yyyy/MM/dd")), QString::fromStdString(serial.description())));
  return xls::DateTimeValue{serial.value(),
                            stamp.kind == Stamp::Kind::Date ? xls::DateKind::DateOnly : xls::DateKind::DateTime,
                            stamp.milliseconds && stamp.kind == Stamp::Kind::DateTime};
}

Result<xls::Value> toEngineValue(const CellValue& value, bool date1904) {
  if (const auto* text = std::get_if<QString>(&value)) return xls::parseTyped(text->toStdString());
  if (const auto* number = std::get_if<std::int32_t>(&value)) return xls::Value(static_cast<double>(*number));
  const Result<xls::DateTimeValue> serial = stampSerial(std::get<Stamp>(value), date1904);
  if (!serial) return serial.error();
  return xls::Value(serial.value());
}

QString numberText(double number) {
  if (!std::isfinite(number)) return QStringLiteral("#NUM!");
  if (number == std::trunc(number) && std::fabs(number) < 1e15) {
    // Also turns -0 into "0".
    return QString::number(static_cast<long long>(number));
  }
  QString text = QString::number(number, 'g', 10);
  const qsizetype e = text.indexOf(QLatin1Char('e'));
  if (e >= 0) text[e] = QLatin1Char('E');
  return text;
}

QString dateText(double serial, xls::DateKind kind, bool date1904, bool milliseconds) {
  const QString hashes = QStringLiteral("#####");
  if (!std::isfinite(serial) || serial < 0.0) return hashes;
  const double limit = static_cast<double>(date1904 ? LastSerial1900 - Offset1904 : LastSerial1900) + 1.0;
  if (serial >= limit) return hashes;
  // Round to the second (or the millisecond); 23:59:59.6 becomes the next day's 0:00:00.
  const long long unitsPerSecond = milliseconds ? 1000 : 1;
  const long long total = std::llround(serial * SecondsPerDay * static_cast<double>(unitsPerSecond));
  const long long days = total / (86400 * unitsPerSecond);
  const long long seconds = total / unitsPerSecond % 86400;
  QString time = QStringLiteral("%1:%2:%3")
                     .arg(milliseconds ? twoDigits(seconds / 3600) : QString::number(seconds / 3600),
                          twoDigits(seconds / 60 % 60), twoDigits(seconds % 60));
  if (milliseconds) time += QStringLiteral(".%1").arg(total % 1000, 3, 10, QLatin1Char('0'));
  if (kind == xls::DateKind::TimeOnly) return time;

  QString date;
  if (date1904) {
    date = QDate(1904, 1, 1).addDays(days).toString(QStringLiteral("yyyy/MM/dd"));
  } else if (days == 0) {
    date = QStringLiteral("1900/01/00");  // serial 0 as spreadsheets show it
  } else if (days == 60) {
    date = QStringLiteral("1900/02/29");  // the 1900 system's fictitious leap day
  } else {
    // Before the fictitious day serials count from 1899-12-31, after it from 1899-12-30.
    const QDate base = days < 60 ? QDate(1899, 12, 31) : QDate(1899, 12, 30);
    date = base.addDays(days).toString(QStringLiteral("yyyy/MM/dd"));
  }
  return kind == xls::DateKind::DateOnly ? date : date + QLatin1Char(' ') + time;
}

QString errorText(std::uint8_t code) {
  switch (code) {
    case 0x00:
      return QStringLiteral("#NULL!");
    case 0x07:
      return QStringLiteral("#DIV/0!");
    case 0x0F:
      return QStringLiteral("#VALUE!");
    case 0x17:
      return QStringLiteral("#REF!");
    case 0x1D:
      return QStringLiteral("#NAME?");
    case 0x24:
      return QStringLiteral("#NUM!");
    case 0x2A:
      return QStringLiteral("#N/A");
    default:
      return QStringLiteral("#ERROR!");
  }
}

QString displayText(const xls::Value& value, bool date1904, bool milliseconds) {
  if (const auto* text = std::get_if<std::string>(&value)) return QString::fromStdString(*text);
  if (const auto* number = std::get_if<double>(&value)) return numberText(*number);
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
  if (const auto* date = std::get_if<xls::DateTimeValue>(&value))
    return dateText(date->serial, date->kind, date1904, milliseconds);
  if (const auto* error = std::get_if<xls::CellError>(&value)) return errorText(error->code);
  return {};
}

QString saveFailureReason(const xls::XlsError& error) {
  struct Cause {
    int error;
    const char* reason;
  };
  static const Cause causes[] = {
      {EACCES, "書き込みが許可されていません（保存先のファイルまたはフォルダーが読み取り専用です）。"},
      {EPERM, "書き込みが許可されていません（保存先のファイルまたはフォルダーが読み取り専用です）。"},
      {EROFS, "書き込みが許可されていません（保存先は読み取り専用のドライブです）。"},
      {ENOSPC, "ディスクがいっぱいです（空き容量が足りません）。"},
      {EDQUOT, "ディスクの使用量の上限に達しています。"},
      {ETXTBSY, "ファイルが他のプログラムで使用中（ロック中）です。"},
      {EBUSY, "ファイルが他のプログラムで使用中（ロック中）です。"},
      {EISDIR, "同じ名前のフォルダーがあるため、ファイルを置き換えられません。"},
      {ENOENT, "保存先のフォルダーが見つかりません。"},
      {ENOTDIR, "保存先のフォルダーが見つかりません。"},
      {ENAMETOOLONG, "ファイル名が長すぎます。"},
      {EIO, "ディスクの読み書きでエラーが発生しました。"},
  };
  if (error.sysError != 0)
    for (const Cause& cause : causes)
      if (cause.error == error.sysError) return QString::fromUtf8(cause.reason);
  return QStringLiteral("ファイルを書き込めませんでした。");
}

namespace {

const char* const SaveAsXls = "表計算ソフトで Excel 97-2003 形式（.xls）として保存し直してから開いて下さい。";

// What a file that is no compound document is, from its first bytes.
QString otherFormat(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return QStringLiteral("Excel 97-2003 形式（.xls）のブックではありません。");
  // Zip archives name their members near the start: enough to tell an
  // Office Open XML workbook from an OpenDocument one.
  const QByteArray head = file.read(64 * 1024);
  const QString again = QString::fromUtf8(SaveAsXls);
  if (head.startsWith("PK\x03\x04")) {
    if (head.contains("application/vnd.oasis.opendocument.spreadsheet"))
      return QStringLiteral("OpenDocument 形式（.ods）のファイルの名前を .xls に変えたものです。") + again;
    if (head.contains("xl/") || head.contains("[Content_Types].xml"))
      return QStringLiteral("Excel 2007 以降の形式（.xlsx）のブックの名前を .xls に変えたものです。") + again;
    return QStringLiteral("ZIP 形式のファイルで、Excel 97-2003 形式（.xls）のブックではありません。");
  }
  const QByteArray start = head.trimmed().left(256).toLower();
  if (start.startsWith("<")) {
    return QStringLiteral("HTML または XML のファイルで、Excel 97-2003 形式（.xls）のブックではありません。") + again;
  }
  return QStringLiteral("Excel 97-2003 形式（.xls）のブックではありません。");
}

QString cannotOpenReason(const xls::XlsError& error) {
  switch (error.sysError) {
    case ENOENT:
      return QStringLiteral("ファイルが見つかりません。");
    case EACCES:
    case EPERM:
      return QStringLiteral("ファイルを読む権限がありません。");
    case EISDIR:
      return QStringLiteral("ファイルではなくフォルダーです。");
    default:
      return QStringLiteral("ファイルを開けません（%1）。").arg(QString::fromStdString(error.description));
  }
}

}  // namespace

QString openFailureReason(const QString& path, const xls::XlsError& error) {
  using Code = xls::XlsErrorCode;
  const QString again = QString::fromUtf8(SaveAsXls);
  switch (error.code) {
    case Code::CannotOpen:
      return cannotOpenReason(error);
    case Code::CannotRead:
      return QStringLiteral("ファイルを読み込めません。");
    case Code::TooLarge:
      return QStringLiteral("ファイルが大きすぎます（512 MB まで）。");
    case Code::NotCompoundFile:
      return otherFormat(path);
    case Code::Excel95:
      return QStringLiteral("Excel 5.0/95 形式の古いブックです。") + again;
    case Code::OlderThanBiff8:
      return QStringLiteral("Excel 97-2003 形式（BIFF8）より古い形式のブックです。") + again;
    case Code::NoWorkbookStream:
      return QStringLiteral("Excel のブックではありません（ほかのアプリケーションの文書です）。");
    case Code::Encrypted:
      return QStringLiteral(
          "パスワードで保護（暗号化）されたブックは開けません。パスワードを外して保存し直して下さい。");
    case Code::Signed:
      return QStringLiteral("デジタル署名付きのブックです。書き込むと署名が無効になるため開きません。");
    default:
      break;
  }
  return QStringLiteral("ファイルが壊れています（%1）。").arg(QString::fromStdString(error.description));
}

}  // namespace kestrune::sheet::embedded
