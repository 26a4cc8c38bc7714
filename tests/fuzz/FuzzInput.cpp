#include "FuzzInput.h"

#include <QDBusVariant>
#include <QStringList>

#include <optional>

namespace {

void discard(QtMsgType, const QMessageLogContext &, const QString &) {}

// An object of one "@" key is the value it stands for; anything else is left as it is.
QVariant typed(const QVariantMap &map)
{
    const QString tag = map.size() == 1 ? map.firstKey() : QString();
    const QVariant value = map.value(tag);
    if (tag == QLatin1String("@bytes")) {
        return QByteArray::fromHex(value.toString().toLatin1());
    }
    if (tag == QLatin1String("@short")) {
        return QVariant::fromValue(static_cast<qint16>(value.toInt()));
    }
    if (tag == QLatin1String("@ushort")) {
        return QVariant::fromValue(static_cast<quint16>(value.toUInt()));
    }
    if (tag == QLatin1String("@int")) {
        return QVariant::fromValue(static_cast<qint32>(value.toLongLong()));
    }
    if (tag == QLatin1String("@strings")) {
        return value.toStringList();
    }
    if (tag == QLatin1String("@variant")) {
        return QVariant::fromValue(QDBusVariant(value));
    }
    return map;
}

// A small JSON reader of our own: Qt's leaks on some malformed documents, which would drown
// what the targets are after. Strings take \" and \\ escapes only; a duplicate key keeps the
// last value.
class Reader
{
public:
    explicit Reader(const QByteArray &text) : m_text(text) {}

    std::optional<QVariant> document()
    {
        std::optional<QVariant> value = this->value(0);
        skipSpace();
        return m_at == m_text.size() ? value : std::nullopt;
    }

private:
    static constexpr int MaximumDepth = 32;

    void skipSpace()
    {
        while (m_at < m_text.size() && QByteArray(" \t\r\n").contains(m_text.at(m_at))) {
            ++m_at;
        }
    }

    bool take(const char *word)
    {
        skipSpace();
        if (!m_text.mid(m_at).startsWith(word)) {
            return false;
        }
        m_at += static_cast<int>(qstrlen(word));
        return true;
    }

    std::optional<QString> string()
    {
        if (!take("\"")) {
            return std::nullopt;
        }
        QByteArray bytes;
        while (m_at < m_text.size() && m_text.at(m_at) != '"') {
            if (m_text.at(m_at) == '\\' && m_at + 1 < m_text.size()) {
                ++m_at;
            }
            bytes += m_text.at(m_at++);
        }
        if (m_at == m_text.size()) {
            return std::nullopt;
        }
        ++m_at;
        return QString::fromUtf8(bytes);
    }

    std::optional<QVariant> number()
    {
        skipSpace();
        const int start = m_at;
        while (m_at < m_text.size() && QByteArray("+-.eE0123456789").contains(m_text.at(m_at))) {
            ++m_at;
        }
        bool ok = false;
        const double number = m_text.mid(start, m_at - start).toDouble(&ok);
        return ok ? std::optional<QVariant>(number) : std::nullopt;
    }

    std::optional<QVariant> list(int depth)
    {
        QVariantList list;
        if (take("]")) {
            return list;
        }
        do {
            std::optional<QVariant> entry = value(depth + 1);
            if (!entry) {
                return std::nullopt;
            }
            list.append(*entry);
        } while (take(","));
        return take("]") ? std::optional<QVariant>(list) : std::nullopt;
    }

    std::optional<QVariant> map(int depth)
    {
        QVariantMap map;
        if (take("}")) {
            return map;
        }
        do {
            const std::optional<QString> key = string();
            if (!key || !take(":")) {
                return std::nullopt;
            }
            std::optional<QVariant> entry = value(depth + 1);
            if (!entry) {
                return std::nullopt;
            }
            map.insert(*key, *entry);
        } while (take(","));
        return take("}") ? std::optional<QVariant>(typed(map)) : std::nullopt;
    }

    std::optional<QVariant> value(int depth)
    {
        if (depth > MaximumDepth) {
            return std::nullopt;
        }
        if (take("[")) {
            return list(depth);
        }
        if (take("{")) {
            return map(depth);
        }
        if (take("true")) {
            return QVariant(true);
        }
        if (take("false")) {
            return QVariant(false);
        }
        skipSpace();
        if (m_at < m_text.size() && m_text.at(m_at) == '"') {
            const std::optional<QString> text = string();
            return text ? std::optional<QVariant>(*text) : std::nullopt;
        }
        return number();
    }

    const QByteArray m_text;
    int m_at = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(discard);
    return 0;
}

namespace fuzz {

QVariantMap toMap(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));
    const std::optional<QVariant> document = Reader(input).document();
    const QVariant value = document ? *document : QVariant(QString::fromUtf8(input));
    if (value.userType() == QMetaType::QVariantMap) {
        return value.toMap();
    }
    return QVariantMap{{QStringLiteral("value"), value}};
}

} // namespace fuzz
