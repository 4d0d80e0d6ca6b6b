#include "app/run_progress.h"

#include <algorithm>

namespace kestrune::app {

std::optional<int> RunProgress::permille() const {
  std::optional<int> share;
  const auto take = [&share](std::int64_t done, std::int64_t limit) {
    const auto p = static_cast<int>(std::clamp<std::int64_t>(done * 1000 / limit, 0, 1000));
    share = std::max(share.value_or(0), p);
  };
  if (rowLimit > 0) take(rowsDone, rowLimit);
  if (timeLimitMs > 0) take(elapsedMs, timeLimitMs);
  return share;
}

std::optional<std::int64_t> RunProgress::remainingMs() const {
  std::optional<std::int64_t> left;
  if (timeLimitMs > 0) left = std::max<std::int64_t>(0, timeLimitMs - elapsedMs);
  if (rowLimit > 0 && rowsDone > 0) {
    const std::int64_t byRows = std::max<std::int64_t>(0, rowLimit - rowsDone) * elapsedMs / rowsDone;
    left = std::min(left.value_or(byRows), byRows);
  }
  return left;
}

std::optional<double> RunProgress::rowsPerMinute() const {
  if (rowsDone <= 0 || elapsedMs < 1000) return std::nullopt;
  return rowsDone * 60000.0 / static_cast<double>(elapsedMs);
}

QString cellText(const sheet::CellValue& value) {
  if (const auto* text = std::get_if<QString>(&value)) return *text;
  if (const auto* number = std::get_if<std::int32_t>(&value)) return QString::number(*number);
  const auto& stamp = std::get<sheet::Stamp>(value);
  const QString time = stamp.milliseconds ? QStringLiteral("H:mm:ss.zzz") : QStringLiteral("H:mm:ss");
  switch (stamp.kind) {
    case sheet::Stamp::Kind::Date:
      return stamp.value.toString(QStringLiteral("yyyy/MM/dd"));
    case sheet::Stamp::Kind::Time:
      return stamp.value.toString(time);
    case sheet::Stamp::Kind::DateTime:
      break;
  }
  return stamp.value.toString(QStringLiteral("yyyy/MM/dd ") + time);
}

QString durationText(std::int64_t ms) {
  const std::int64_t seconds = std::max<std::int64_t>(0, ms) / 1000;
  return QStringLiteral("%1:%2:%3")
      .arg(seconds / 3600)
      .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
      .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

QString rowsText(const RunProgress& p) {
  QString text = p.rowLimit > 0 ? QStringLiteral("%1 / %2 行").arg(p.rowsDone).arg(p.rowLimit)
                                : QStringLiteral("%1 行").arg(p.rowsDone);
  if (p.rowsInWorkbook)
    text += QStringLiteral("（ブックに書込済み %1 行、%2 行は未書込）")
                .arg(*p.rowsInWorkbook)
                .arg(std::max(0, p.rowsDone - *p.rowsInWorkbook));
  if (!p.sheet.isEmpty()) text += QStringLiteral("（シート「%1」）").arg(p.sheet);
  return text;
}

QString timeText(const RunProgress& p) {
  const QString text = QStringLiteral("経過 ") + durationText(p.elapsedMs);
  if (p.ended) return text + QStringLiteral("　完了");
  if (const auto left = p.remainingMs()) return text + QStringLiteral("　残り ") + durationText(*left);
  return p.rowLimit > 0 ? text + QStringLiteral("　残り －") : text;
}

QString rateText(const RunProgress& p) {
  const auto rate = p.rowsPerMinute();
  if (!rate) return QStringLiteral("－ 行/分");
  // Slow runs (one row an hour) still show a figure that is not 0.
  return QStringLiteral("%1 行/分").arg(*rate, 0, 'f', *rate < 10 ? 2 : 1);
}

QString lastRowText(const RunProgress& p) {
  if (!p.lastNumber && p.lastValues.isEmpty()) return QStringLiteral("最終取得: －");
  QString text = p.rowsInWorkbook ? QStringLiteral("最終取得（ブック未書込）: ") : QStringLiteral("最終取得: ");
  if (p.lastNumber) text += QStringLiteral("No.%1　").arg(*p.lastNumber);
  return text + QStringLiteral("値: ") +
         (p.lastValues.isEmpty() ? QStringLiteral("－") : p.lastValues.join(QStringLiteral(", ")));
}

QString alarmsText(int active) {
  return active > 0 ? QStringLiteral("アラーム %1 件").arg(active) : QStringLiteral("アラームなし");
}

QString progressLine(const RunProgress& p) {
  QString line = rowsText(p);
  if (const auto share = p.permille()) line += QStringLiteral(" (%1%)").arg(*share / 10);
  line +=
      QStringLiteral("　") + timeText(p) + QStringLiteral("　") + rateText(p) + QStringLiteral("　") + lastRowText(p);
  if (!p.channels.empty()) line += QStringLiteral("　") + channelsText(p);
  if (p.alarms) line += QStringLiteral("　") + alarmsText(*p.alarms);
  return line;
}

// The channels of one state, by number, runs of three or more as ranges:
// "CH1-3,5". Eight channels in two states stay short enough for one line.
static QString channelList(const std::vector<int>& numbers) {
  QStringList parts;
  for (std::size_t i = 0; i < numbers.size();) {
    std::size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (j >= i + 2) {
      parts << QStringLiteral("%1-%2").arg(numbers[i]).arg(numbers[j]);
    } else {
      for (std::size_t k = i; k <= j; ++k) parts << QString::number(numbers[k]);
    }
    i = j + 1;
  }
  return QStringLiteral("CH") + parts.join(QLatin1Char(','));
}

QString channelsText(const RunProgress& p) {
  std::vector<int> connected, lost;
  for (const RunProgress::Channel& c : p.channels) (c.lost ? lost : connected).push_back(c.channel + 1);
  std::sort(connected.begin(), connected.end());
  std::sort(lost.begin(), lost.end());
  // Each state in the order of the lowest channel in it.
  QStringList parts;
  if (!connected.empty()) parts << channelList(connected) + QStringLiteral(" 接続中");
  if (!lost.empty()) parts << channelList(lost) + QStringLiteral(" 切断中");
  if (!connected.empty() && !lost.empty() && lost.front() < connected.front()) std::swap(parts[0], parts[1]);
  return parts.join(QStringLiteral("　"));
}

}  // namespace kestrune::app
