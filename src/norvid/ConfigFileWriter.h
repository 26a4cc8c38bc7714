#pragma once

#include <QByteArray>
#include <QString>
#include <QTextStream>

#include <sys/types.h>

// Writes one text configuration file so that readers only ever see the old or the complete
// new content: everything is collected and goes into "<target>.new", which replaces the target
// when the writer is destroyed. Create it in a local scope, insert the content, leave the scope.
//
// The target is the path itself or, when the path is a symbolic link of our own (an
// /etc/resolv.conf pointing into /run on a read-only root), what the link points to: the link
// stays and its target is replaced in the target's directory. A link of another user could point
// anywhere and is replaced like a file. A target that cannot be replaced (a file bind-mounted
// over the path, or a read-only directory) is rewritten in place instead, the best left to do.
//
// The daemon runs as root and writes some of these files into world-writable directories
// (/tmp), so the ".new" file is only used if it is a regular file of our own that nothing else
// links to; a symbolic link, hard link, FIFO or foreign file planted there is refused, and the
// writer then writes nothing and leaves the target as it was. So does a write that fails
// half-way (full disk): a cut-off file never takes the place of a complete one.
class ConfigFileWriter
{
public:
    // Readable by everyone: resolver clients of every user read /etc/resolv.conf, and the
    // daemons reading the soft-AP files may drop privileges.
    static constexpr mode_t PublicFileMode = 0644;
    // For files holding secrets (a passphrase) that only root's daemons read.
    static constexpr mode_t PrivateFileMode = 0600;
    // More links in a row than this are taken for a loop.
    static constexpr int MaximumLinks = 8;

    explicit ConfigFileWriter(const QString &path, mode_t mode = PublicFileMode);
    ~ConfigFileWriter();

    ConfigFileWriter(const ConfigFileWriter &) = delete;
    ConfigFileWriter &operator=(const ConfigFileWriter &) = delete;

    template <typename T> ConfigFileWriter &operator<<(const T &value)
    {
        m_stream << value;
        return *this;
    }

private:
    enum class Replacement
    {
        Done,
        Refused,
        Impossible
    };

    static QString resolveTarget(const QString &path);
    QString temporaryPath() const { return m_target + m_suffix; }
    void commit();
    Replacement replaceTarget();
    void rewriteInPlace();
    void reportFailure(const QString &reason) const;

    static const QString m_suffix;

    const QString m_target;
    const mode_t m_mode;
    QByteArray m_content;
    QTextStream m_stream;
};
