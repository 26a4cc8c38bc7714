#pragma once

#include "BssMonitor.h"
#include "Supplicant.h"

#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QHash>
#include <QMutex>
#include <QSharedPointer>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <QWaitCondition>

#include <atomic>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class WpaSupplicant;
class fi_w1_wpa_supplicant1;
class fi_w1_wpa_supplicant1_Interface;
class fi_w1_wpa_supplicant1_WPS;

// Runs the worker's blocking message loop.
class WpaSupplicantThread : public QThread
{
    Q_OBJECT

public:
    explicit WpaSupplicantThread(WpaSupplicant *supplicant) : m_supplicant(supplicant) {}

protected:
    void run() override;

private:
    WpaSupplicant *const m_supplicant;
};

// How long the worker waits for things. Tests pass shorter values; the daemon keeps these.
struct WpaSupplicantTimings
{
    // State reports still on their way when a procedure starts belong to the one before.
    static constexpr int SettleMs = 250;
    static constexpr int DisconnectWaitMs = 10000;
    static constexpr int ScanWatchdogMs = 15000;
    // Our own bound on a WPS session, whatever wpa_supplicant's walk time is.
    static constexpr int WpsLimitMs = 200000;
    static constexpr int ShutdownLimitMs = 30000;

    int settleMs = SettleMs;
    int disconnectWaitMs = DisconnectWaitMs;
    int scanWatchdogMs = ScanWatchdogMs;
    int wpsLimitMs = WpsLimitMs;
    int shutdownLimitMs = ShutdownLimitMs;
};

// Drives wpa_supplicant over the system bus. The main thread owns the proxies, receives
// wpa_supplicant's signals and keeps the access point list; the long sequential procedures
// (connecting, waiting for disconnection, WPS) run on a logic thread of their own that takes
// messages from a queue. The logic thread holds m_mutex except while it waits for a message,
// so main-thread calls that take it wait for the logic thread to be idle.
class WpaSupplicant : public Supplicant
{
    Q_OBJECT

public:
    // Commands from the daemon.
    struct Enable
    {
        QSet<WirelessNetwork> networks;
    };
    struct Disable
    {
    };
    struct Quit
    {
    };
    struct StartWpsPbc
    {
    };
    struct StartWpsPin
    {
        QString pin;
    };
    struct InterfaceAdded
    {
    };
    struct InterfaceRemoved
    {
    };
    // wpa_supplicant left the bus while we were attached to it: it crashed or was restarted.
    struct SupplicantVanished
    {
    };
    // Reports from wpa_supplicant.
    struct Connected
    {
    };
    struct Inactive
    {
    };
    struct Disconnected
    {
    };
    struct NetworkTempDisabled
    {
        QDBusObjectPath network;
        QString reason;
    };
    struct WpsCredentials
    {
        WirelessNetwork network;
    };
    struct WpsFinished
    {
    };
    struct WpsErrored
    {
        QString error;
    };
    struct SupplicantStarted
    {
    };

    WpaSupplicant(QObject *parent, const InterfaceName &name,
                  const WpaSupplicantTimings &timings = WpaSupplicantTimings());
    ~WpaSupplicant() override;

    static bool isSupplicantMessage(const QVariant &message);
    // The channel of the frequency the station is on. Scan entries number channels their own
    // way (ApDescription::freq_to_channel).
    static int stationChannel(int frequency);
    // The network wpa_supplicant's WPS credentials describe; none (logged) for credentials of
    // the wrong types, without a usable SSID or with a key that is no text.
    static std::optional<WirelessNetwork> networkFromCredentials(const QVariantMap &credentials);

public slots:
    bool enable(QSet<WirelessNetwork> networks) override;
    bool disable() override;
    bool wpsPbc() override;
    bool wpsPin(QString pin) override;
    void scan() override;
    QVariantMap getNetworkDetails() override;
    int getCurrentChannel() override;
    void interfaceAdded() override;
    void interfaceRemoved() override;

signals:
    void tryStartSupplicant();

private slots:
    void on_propertiesChanged(const QVariantMap &properties);
    void on_networkTempDisabled(const QVariantMap &properties);
    void on_scanDone(bool success);
    void on_bssAdded(const QDBusObjectPath &path, const QVariantMap &properties);
    void on_bssRemoved(const QDBusObjectPath &path);
    void on_bssSignalUpdated(const QDBusObjectPath &path);
    void on_bssReread(const QDBusObjectPath &path);
    void on_scanTimer_timeout();
    void on_wpsEvent(const QString &name, const QVariantMap &arguments);
    void on_wpsCredentials(const QVariantMap &credentials);
    void on_logicThread_finished();
    void on_serviceWatcher_serviceRegistered();
    void on_serviceWatcher_serviceUnregistered();
    void startSupplicant();
    // The main thread's half of shutting down: the access point list is only ever touched here.
    void forgetAccessPoints();

private:
    friend class WpaSupplicantThread;

    // Proxies live on the main thread but are dropped from the logic thread, so they are
    // deleted by the main thread's event loop.
    struct DeferredDelete
    {
        void operator()(QObject *object) const;
    };
    template <typename T> using ProxyPointer = std::unique_ptr<T, DeferredDelete>;

    template <typename T> void post(const T &message)
    {
        enqueueMessage(QVariant::fromValue(message));
    }
    void enqueueMessage(const QVariant &message);
    QVariant dequeueMessage();
    QVariant tryDequeueMessageUntil(qint64 deadlineMs);
    QVariant takeFrontMessage();
    void clearPendingSupplicantMessages();
    void parkMessage(const QVariant &message);
    void enqueueParkedMessages();

    std::optional<QDBusObjectPath> interfacePath();
    void attachInterface(const QDBusObjectPath &path);

    void runLogicThread();
    // False once the loop is to end.
    bool handleMainLoopMessage(const QVariant &message, QSet<WirelessNetwork> &configured);
    void shutdownSupplicant();
    // Lets go of wpa_supplicant's objects and of the access points seen through them.
    void dropSupplicant();

    void doNormalConnect(const QSet<WirelessNetwork> &configuredNetworks);
    bool addNetworks(const QSet<WirelessNetwork> &networks, QHash<QString, Ssid> &added);
    // Each returns false when a command ended the phase (it is parked).
    bool waitForConnection(const QHash<QString, Ssid> &added);
    bool stayConnected();
    void reportAuthError(const NetworkTempDisabled &report, const QHash<QString, Ssid> &added);
    void waitForDisconnected();
    void waitForQuietState(qint64 deadlineMs);
    QString disconnectAndReadState();

    void doWpsSession(const QString &pin);
    bool startWps(const QVariantMap &arguments);
    void followWpsSession(qint64 deadlineMs);
    void finishWps(const std::optional<WirelessNetwork> &credentials);

    QString currentBssPath() const;
    QVariantMap signalPoll() const;
    void assertMainThread() const;
    void assertLogicThread() const;

    const WpaSupplicantTimings m_timings;

    QHash<QString, QSharedPointer<BssMonitor>> m_bssMonitors;
    QList<ApDescription> m_aps;
    std::deque<QVariant> m_queue;
    QMutex m_mutex;
    QWaitCondition m_queueCondition;
    WpaSupplicantThread m_logicThread;
    std::vector<QVariant> m_parkedMessages;
    ProxyPointer<fi_w1_wpa_supplicant1> m_supplicant;
    ProxyPointer<fi_w1_wpa_supplicant1_Interface> m_supplicantInterface;
    ProxyPointer<fi_w1_wpa_supplicant1_WPS> m_supplicantWPS;
    bool m_disconnectWaitInProgress = false;
    bool m_scanRequested = false;
    QTimer m_scanTimer;
    QDBusServiceWatcher m_serviceWatcher;
    // The logic thread decides whether to queue a scan by this, never by the timer itself,
    // which belongs to the main thread.
    std::atomic<bool> m_scanRunning{false};
};

Q_DECLARE_METATYPE(WpaSupplicant::Enable)
Q_DECLARE_METATYPE(WpaSupplicant::Disable)
Q_DECLARE_METATYPE(WpaSupplicant::Quit)
Q_DECLARE_METATYPE(WpaSupplicant::StartWpsPbc)
Q_DECLARE_METATYPE(WpaSupplicant::StartWpsPin)
Q_DECLARE_METATYPE(WpaSupplicant::InterfaceAdded)
Q_DECLARE_METATYPE(WpaSupplicant::InterfaceRemoved)
Q_DECLARE_METATYPE(WpaSupplicant::SupplicantVanished)
Q_DECLARE_METATYPE(WpaSupplicant::Connected)
Q_DECLARE_METATYPE(WpaSupplicant::Inactive)
Q_DECLARE_METATYPE(WpaSupplicant::Disconnected)
Q_DECLARE_METATYPE(WpaSupplicant::NetworkTempDisabled)
Q_DECLARE_METATYPE(WpaSupplicant::WpsCredentials)
Q_DECLARE_METATYPE(WpaSupplicant::WpsFinished)
Q_DECLARE_METATYPE(WpaSupplicant::WpsErrored)
Q_DECLARE_METATYPE(WpaSupplicant::SupplicantStarted)
