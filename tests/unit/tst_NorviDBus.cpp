#include "NorviDBus.h"

#include <QtTest>

namespace {

class StatusSource : public QObject
{
    Q_OBJECT

signals:
    void statusChanged(InterfaceStatus status);
};

class StatusSink : public QObject
{
    Q_OBJECT

public:
    QList<InterfaceStatus> received;

public slots:
    void on_statusChanged(InterfaceStatus status) { received.append(status); }
};

} // namespace

class tst_NorviDBus : public QObject
{
    Q_OBJECT

private slots:
    // Controllers whose reports come from another thread reach the manager queued.
    void interfaceStatusPassesQueuedConnections()
    {
        norvi::registerMetaTypes();
        StatusSource source;
        StatusSink sink;
        QVERIFY(QObject::connect(&source, SIGNAL(statusChanged(InterfaceStatus)), &sink,
                                 SLOT(on_statusChanged(InterfaceStatus)), Qt::QueuedConnection));
        emit source.statusChanged(StatusUp);
        emit source.statusChanged(StatusRemoved);
        QTRY_COMPARE(sink.received, (QList<InterfaceStatus>{StatusUp, StatusRemoved}));
        QCOMPARE(int(sink.received.first()), 2);
    }
};

QTEST_GUILESS_MAIN(tst_NorviDBus)
#include "tst_NorviDBus.moc"
