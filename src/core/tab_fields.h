// Tab-separated text records (the acquisition journal, the MQTT outbox): a
// field may hold any text; a backslash, tab, line feed or carriage return in
// it is written as \\, \t, \n or \r so that one record stays one line.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace kestrune {

QByteArray escapeField(const QString& text);
// The text back; nullopt for a backslash not followed by one of \ t n r.
std::optional<QString> unescapeField(QByteArrayView field);

}  // namespace kestrune
