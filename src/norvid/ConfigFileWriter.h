#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

#include <sys/types.h>

// Writes one text configuration file so that readers only ever see the old or the complete
// new content: everything goes into "<path>.new", which replaces the file at <path> when the
// writer is destroyed. Create it in a local scope, insert the content, leave the scope.
//
// The daemon runs as root and writes some of these files into world-writable directories
// (/tmp), so the ".new" file is only used if it is a regular file of our own that nothing else
// links to; a symbolic link, hard link, FIFO or foreign file planted there is refused, and the
// writer then writes nothing and leaves <path> as it was. So does a write that fails half-way
// (full disk): a cut-off file never takes the place of a complete one.
class ConfigFileWriter
{
public:
    // Readable by everyone: resolver clients of every user read /etc/resolv.conf, and the
    // daemons reading the soft-AP files may drop privileges.
    static constexpr mode_t PublicFileMode = 0644;
    // For files holding secrets (a passphrase) that only root's daemons read.
    static constexpr mode_t PrivateFileMode = 0600;

    explicit ConfigFileWriter(const QString &path, mode_t mode = PublicFileMode);
    ~ConfigFileWriter();

    ConfigFileWriter(const ConfigFileWriter &) = delete;
    ConfigFileWriter &operator=(const ConfigFileWriter &) = delete;

    template <typename T> ConfigFileWriter &operator<<(const T &value)
    {
        // A writer whose file could not be opened has said so once and writes nothing.
        if (m_file.isOpen()) {
            m_stream << value;
        }
        return *this;
    }

private:
    QString temporaryPath() const { return m_path + m_suffix; }
    bool openTemporaryFile(mode_t mode);
    void reportFailure(const QString &reason) const;
    void commit();

    static const QString m_suffix;

    QString m_path;
    QFile m_file;
    QTextStream m_stream;
};
