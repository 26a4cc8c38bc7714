#include "Printer.h"

#include "WirelessNetwork.h"

#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cstdio>

namespace {

const QStringList KeyEntries = {QStringLiteral("wpa_psk"), QStringLiteral("wep_key")};
const QString HiddenKey = QStringLiteral("(hidden)");
const int IndentStep = 2;
const char *const ColumnGap = "  ";

void write(const QString &text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
    // Monitoring output is read line by line through pipes.
    std::fflush(stdout);
}

QVariant jsonReady(const QVariant &value)
{
    if (value.userType() == QMetaType::QVariantMap) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it) {
            it.value() = jsonReady(it.value());
        }
        return map;
    }
    if (value.userType() == QMetaType::QVariantList) {
        QVariantList list = value.toList();
        std::transform(list.begin(), list.end(), list.begin(), jsonReady);
        return list;
    }
    switch (value.userType()) {
    case QMetaType::QByteArray:
        return QString::fromLatin1(value.toByteArray().toHex());
    // D-Bus's small integers ("n", "q", "y") would otherwise be written as text.
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
        return value.toLongLong();
    default:
        return value;
    }
}

} // namespace

namespace norvictl {

QVariant plainValue(const QVariant &value)
{
    if (const std::optional<QVariantMap> map = norvi::toVariantMap(value)) {
        QVariantMap plain;
        for (auto it = map->cbegin(); it != map->cend(); ++it) {
            plain.insert(it.key(), plainValue(it.value()));
        }
        return plain;
    }
    if (value.userType() == qMetaTypeId<QDBusVariant>()) {
        return plainValue(value.value<QDBusVariant>().variant());
    }
    return value;
}

QVariant withoutKeys(const QVariant &value)
{
    if (value.userType() != QMetaType::QVariantMap) {
        return value;
    }
    QVariantMap map = value.toMap();
    for (auto it = map.begin(); it != map.end(); ++it) {
        it.value() = KeyEntries.contains(it.key()) ? QVariant(HiddenKey) : withoutKeys(it.value());
    }
    return map;
}

void Printer::printJson(const QVariant &value) const
{
    const QJsonValue json = QJsonValue::fromVariant(jsonReady(value));
    if (json.isObject()) {
        write(QString::fromUtf8(QJsonDocument(json.toObject()).toJson(QJsonDocument::Compact)));
    } else if (json.isArray()) {
        write(QString::fromUtf8(QJsonDocument(json.toArray()).toJson(QJsonDocument::Compact)));
    } else {
        // A bare value: wrapped in an array, then unwrapped again, as QJsonDocument takes
        // only objects and arrays.
        const QByteArray wrapped = QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact);
        write(QString::fromUtf8(wrapped.mid(1, wrapped.size() - 2)));
    }
}

void Printer::line(const QString &text) const
{
    write(text);
}

void Printer::table(const QStringList &header, const QList<QStringList> &rows) const
{
    QList<QStringList> all{header};
    all += rows;
    QVector<int> widths(header.size(), 0);
    for (const QStringList &row : all) {
        for (int column = 0; column < row.size() && column < widths.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    for (const QStringList &row : all) {
        QStringList cells;
        for (int column = 0; column < row.size(); ++column) {
            const bool last = column == row.size() - 1;
            cells << (last ? row[column] : row[column].leftJustified(widths.value(column)));
        }
        write(cells.join(QLatin1String(ColumnGap)));
    }
}

void Printer::keyValues(const QVariantMap &map, int indent) const
{
    const QString margin(indent, QLatin1Char(' '));
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (it.value().userType() == QMetaType::QVariantMap && !it.value().toMap().isEmpty()) {
            write(margin + it.key() + QLatin1Char(':'));
            keyValues(it.value().toMap(), indent + IndentStep);
        } else {
            write(margin + it.key() + QStringLiteral(": ") + text(it.value()));
        }
    }
}

QString Printer::text(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    case QMetaType::QByteArray:
        return QString::fromLatin1(value.toByteArray().toHex());
    case QMetaType::QVariantMap:
        return value.toMap().isEmpty() ? QStringLiteral("-") : QString();
    case QMetaType::QStringList:
        return value.toStringList().join(QLatin1Char(','));
    default:
        return norvi::toText(value).value_or(QString::fromLatin1(value.typeName()));
    }
}

} // namespace norvictl
