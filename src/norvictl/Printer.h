#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

namespace norvictl {

// A D-Bus value with every nested map and variant decoded, so that it can be looked into and
// printed: maps become QVariantMap, variants their content. Byte arrays stay byte arrays.
QVariant plainValue(const QVariant &value);

// The value with every Wi-Fi key in it (a map entry "wpa_psk" or "wep_key") blanked out.
QVariant withoutKeys(const QVariant &value);

// Output of one command: JSON when asked for, otherwise text for a person.
class Printer
{
public:
    explicit Printer(bool json) : m_json(json) {}

    bool json() const { return m_json; }

    // One JSON document on a line of its own; byte arrays as hexadecimal text.
    void printJson(const QVariant &value) const;
    void line(const QString &text) const;
    // Columns padded to their widest cell; the last column is not padded.
    void table(const QStringList &header, const QList<QStringList> &rows) const;
    // A map as "key: value" lines, nested maps indented under their key.
    void keyValues(const QVariantMap &map, int indent = 0) const;

    // A single value as a person reads it: yes/no, numbers, text, lists joined with commas.
    static QString text(const QVariant &value);

private:
    bool m_json;
};

} // namespace norvictl
