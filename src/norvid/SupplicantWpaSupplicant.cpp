#include "SupplicantWpaSupplicant.h"

#include "NorviDBus.h"
#include "NorviProcess.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"
#include "fi_w1_wpa_supplicant1_Network.h"
#include "fi_w1_wpa_supplicant1_WPS.h"

#include <QDBusConnection>
#include <QMutexLocker>

#include <algorithm>
#include <chrono>
#include <climits>
#include <optional>

namespace {

const char *const SupplicantService = "fi.w1.wpa_supplicant1";
const char *const SupplicantPath = "/fi/w1/wpa_supplicant1";
const char *const InterfaceExistsError = "fi.w1.wpa_supplicant1.InterfaceExists";
const char *const DriverName = "nl80211";
const char *const NotAssociatedPath = "/";
const char *const StopProgram = "killall";
const char *const SupplicantProgram = "wpa_supplicant";

const char *const StateCompleted = "completed";
const char *const StateInactive = "inactive";
const char *const StateDisconnected = "disconnected";

const char *const NoInterfaceError = "Wireless interface not present!";
const char *const WpsStartError = "Could not start WPS: %1";
const char *const WpsTimedOutError = "WPS session timed out";
const char *const WpsNoCredentialsError = "WPS session ended without receiving network credentials";
const char *const WpsEndedError = "WPS session ended";

// WPS configuration error codes as access points send them, by number.
const QStringList WpsConfigurationErrors = {
    "No Error",
    "OOB Interface Read Error",
    "Decryption CRC Failure",
    "2.4 channel not supported",
    "5.0 channel not supported",
    "Signal too weak",
    "Network auth failure",
    "Network association failure",
    "No DHCP response",
    "Failed DHCP config",
    "IP address conflict",
    QString::fromUtf8("Couldn\u2019t connect to Registrar"),
    "Multiple PBC sessions detected",
    "Rogue activity suspected",
    "Device busy",
    "Setup locked",
    "Message Timeout",
    "Registration Session Timeout",
    "Device Password Auth Failure",
};

// Authentication types that only WEP access points announce.
const QStringList WepAuthTypes = {"open", "shared"};
const QStringList UnencryptedTypes = {"none"};

qint64 monotonicNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

template <typename T> bool is(const QVariant &message)
{
    return message.userType() == qMetaTypeId<T>();
}

bool isQuiet(const QString &state)
{
    return state.isEmpty() || state == StateDisconnected || state == StateInactive;
}

QString wpsErrorText(const QString &error)
{
    bool isNumber = false;
    const int code = error.toInt(&isNumber, 10);
    if (isNumber && code >= 0 && code < WpsConfigurationErrors.size()) {
        return WpsConfigurationErrors.at(code);
    }
    return error;
}

// A list-valued credential; an absent one is an empty list, one of another type is none.
std::optional<QStringList> credentialList(const QVariantMap &credentials, const QString &key)
{
    if (!credentials.contains(key)) {
        return QStringList();
    }
    return norvi::toTextList(credentials.value(key));
}

std::optional<WirelessNetwork> refuseCredentials(const char *why)
{
    nvCritical() << "Dropping WPS credentials: " << why;
    return std::nullopt;
}

void registerMessageTypes()
{
    norvi::registerWirelessMetaTypes();
    qRegisterMetaType<WpaSupplicant::Enable>();
    qRegisterMetaType<WpaSupplicant::Disable>();
    qRegisterMetaType<WpaSupplicant::Quit>();
    qRegisterMetaType<WpaSupplicant::StartWpsPbc>();
    qRegisterMetaType<WpaSupplicant::StartWpsPin>();
    qRegisterMetaType<WpaSupplicant::InterfaceAdded>();
    qRegisterMetaType<WpaSupplicant::InterfaceRemoved>();
    qRegisterMetaType<WpaSupplicant::SupplicantVanished>();
    qRegisterMetaType<WpaSupplicant::Connected>();
    qRegisterMetaType<WpaSupplicant::Inactive>();
    qRegisterMetaType<WpaSupplicant::Disconnected>();
    qRegisterMetaType<WpaSupplicant::NetworkTempDisabled>();
    qRegisterMetaType<WpaSupplicant::WpsCredentials>();
    qRegisterMetaType<WpaSupplicant::WpsFinished>();
    qRegisterMetaType<WpaSupplicant::WpsErrored>();
    qRegisterMetaType<WpaSupplicant::SupplicantStarted>();
}

// Drops every connection from a proxy or monitor to the worker, so that nothing it still
// reports before its deferred deletion reaches us.
void detach(const QObject *sender, const QObject *receiver)
{
    QObject::disconnect(sender, nullptr, receiver, nullptr);
}

} // namespace

void WpaSupplicantThread::run()
{
    m_supplicant->runLogicThread();
}

void WpaSupplicant::DeferredDelete::operator()(QObject *object) const
{
    object->deleteLater();
}

WpaSupplicant::WpaSupplicant(QObject *parent, const InterfaceName &name,
                             const WpaSupplicantTimings &timings)
    : Supplicant(parent, name), m_timings(timings), m_logicThread(this),
      m_serviceWatcher(SupplicantService, QDBusConnection::systemBus(),
                       QDBusServiceWatcher::WatchForOwnerChange)
{
    registerMessageTypes();
    norvi::connect(&m_serviceWatcher, SIGNAL(serviceRegistered(QString)), this,
                   SLOT(on_serviceWatcher_serviceRegistered()));
    norvi::connect(&m_serviceWatcher, SIGNAL(serviceUnregistered(QString)), this,
                   SLOT(on_serviceWatcher_serviceUnregistered()));
    m_scanTimer.setInterval(m_timings.scanWatchdogMs);
    m_scanTimer.setSingleShot(true);
    norvi::connect(&m_scanTimer, SIGNAL(timeout()), this, SLOT(on_scanTimer_timeout()));
    norvi::connect(this, SIGNAL(tryStartSupplicant()), this, SLOT(startSupplicant()));
    norvi::connect(&m_logicThread, SIGNAL(finished()), this, SLOT(on_logicThread_finished()));
    m_logicThread.start(QThread::InheritPriority);
}

WpaSupplicant::~WpaSupplicant()
{
    norvi::disconnect(&m_logicThread, SIGNAL(finished()), this, SLOT(on_logicThread_finished()));
    post(Quit());
    if (!m_logicThread.wait(static_cast<unsigned long>(m_timings.shutdownLimitMs))) {
        nvCritical() << "Supplicant logic worker thread did not finish when requested!";
        nvFatal();
    }
}

bool WpaSupplicant::isSupplicantMessage(const QVariant &message)
{
    return is<Connected>(message) || is<Inactive>(message) || is<Disconnected>(message) ||
           is<NetworkTempDisabled>(message) || is<WpsCredentials>(message) ||
           is<WpsFinished>(message) || is<WpsErrored>(message) || is<SupplicantStarted>(message);
}

int WpaSupplicant::stationChannel(int frequency)
{
    if (frequency == 2484) {
        return 14;
    }
    if (frequency < 2484) {
        return (frequency - 2407) / 5;
    }
    if (frequency >= 4910 && frequency <= 4980) {
        return (frequency - 4000) / 5;
    }
    if (frequency <= 45000) {
        return (frequency - 5000) / 5;
    }
    if (frequency >= 58320 && frequency <= 64800) {
        return (frequency - 56160) / 2160;
    }
    nvWarning() << "No such frequency: " << frequency;
    return 0;
}

// --- Commands (main thread) ---

bool WpaSupplicant::enable(QSet<WirelessNetwork> networks)
{
    assertMainThread();
    if (networks.isEmpty()) {
        nvDebug() << "Disabling supplicant as the list of networks to use is empty";
        post(Disable());
        return true;
    }
    nvDebug() << "Adding list of " << networks.size() << " network(s)";
    post(Enable{networks});
    return true;
}

bool WpaSupplicant::disable()
{
    assertMainThread();
    nvInfo() << "Disabling supplicant";
    post(Disable());
    return true;
}

bool WpaSupplicant::wpsPbc()
{
    assertMainThread();
    nvInfo() << "Starting WPS PBC request";
    post(StartWpsPbc());
    return true;
}

bool WpaSupplicant::wpsPin(QString pin)
{
    assertMainThread();
    nvInfo() << "Starting WPS PIN request with PIN " << pin;
    post(StartWpsPin{pin});
    return true;
}

void WpaSupplicant::interfaceAdded()
{
    assertMainThread();
    nvInfo() << "Interface added...";
    post(InterfaceAdded());
}

void WpaSupplicant::interfaceRemoved()
{
    assertMainThread();
    nvInfo() << "Interface removed...";
    post(InterfaceRemoved());
}

// --- wpa_supplicant's reports (main thread) ---

void WpaSupplicant::on_propertiesChanged(const QVariantMap &properties)
{
    assertMainThread();
    nvDebug() << "Got " << properties.size() << " properties from supplicant";
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        nvDebug() << "Received property update: " << it.key() << "=" << it.value().toString();
    }
    const QVariant state = properties.value("State");
    if (state.userType() != QMetaType::QString) {
        return;
    }
    const QString text = state.toString();
    if (text == StateCompleted) {
        post(Connected());
    } else if (text == StateInactive) {
        post(Inactive());
    } else if (text == StateDisconnected) {
        post(Disconnected());
    }
}

void WpaSupplicant::on_networkTempDisabled(const QVariantMap &properties)
{
    assertMainThread();
    nvInfo() << "Got network temporarily disabled: " << properties;
    const std::optional<QDBusObjectPath> network = norvi::toObjectPath(properties.value("network"));
    const std::optional<QString> reason = norvi::toText(properties.value("reason"));
    if (!network || network->path().isEmpty() || !reason || reason->isEmpty()) {
        nvCritical() << "Couldn't extract network data from NetworkTempDisabled signal!";
        return;
    }
    post(NetworkTempDisabled{*network, *reason});
}

void WpaSupplicant::on_wpsEvent(const QString &name, const QVariantMap &arguments)
{
    assertMainThread();
    nvInfo() << "Wps event received: " << name << arguments;
    if (name == "success") {
        post(WpsFinished());
    } else if (name == "fail") {
        post(WpsErrored{norvi::toText(arguments.value("msg")).value_or(QString())});
    }
}

std::optional<WirelessNetwork> WpaSupplicant::networkFromCredentials(const QVariantMap &credentials)
{
    const std::optional<QString> ssidText = norvi::toUtf8Text(credentials.value("SSID"));
    const std::optional<QStringList> encryption = credentialList(credentials, "EncrType");
    const std::optional<QStringList> authentication = credentialList(credentials, "AuthType");
    if (!ssidText || !encryption || !authentication) {
        return refuseCredentials("SSID, EncrType or AuthType is not of the expected type");
    }
    const Ssid ssid = Ssid::fromString(*ssidText);
    if (!ssid.isValid()) {
        return refuseCredentials("no usable SSID");
    }
    if (*encryption == UnencryptedTypes) {
        return WirelessNetwork(ssid, WirelessNetworkType::Unsecured, QString(), 0);
    }
    const std::optional<QString> key = norvi::toUtf8Text(credentials.value("Key"));
    if (!key) {
        return refuseCredentials("the key is not UTF-8 text");
    }
    const bool wep = !authentication->isEmpty() &&
                     std::all_of(authentication->cbegin(), authentication->cend(),
                                 [](const QString &type) { return WepAuthTypes.contains(type); });
    return WirelessNetwork(ssid, wep ? WirelessNetworkType::Wep : WirelessNetworkType::WpaPsk, *key,
                           0);
}

void WpaSupplicant::on_wpsCredentials(const QVariantMap &credentials)
{
    assertMainThread();
    nvInfo() << "Wps credentials received: " << credentials;
    nvInfo() << "Saving credentials until the \"success\" message is received.";
    const std::optional<WirelessNetwork> network = networkFromCredentials(credentials);
    if (network) {
        post(WpsCredentials{*network});
    }
}

// wpa_supplicant started by someone else (its service manager restarting it) is taken up the way
// an interface coming back is.
void WpaSupplicant::on_serviceWatcher_serviceRegistered()
{
    assertMainThread();
    nvInfo() << "wpa_supplicant appeared on the bus";
    post(InterfaceAdded());
}

void WpaSupplicant::on_serviceWatcher_serviceUnregistered()
{
    assertMainThread();
    nvInfo() << "wpa_supplicant left the bus";
    post(SupplicantVanished());
}

void WpaSupplicant::on_logicThread_finished()
{
    nvCritical() << "Logic thread finished unexpectedly!";
    nvFatal();
}

// --- Attaching to wpa_supplicant (main thread) ---

void WpaSupplicant::startSupplicant()
{
    assertMainThread();
    {
        QMutexLocker locker(&m_mutex);
        if (m_supplicant || m_supplicantInterface || m_supplicantWPS) {
            nvDebug() << "wpa_supplicant is already in use";
            return;
        }
        nvInfo() << "Initialising wpa_supplicant";
        m_supplicant.reset(new fi_w1_wpa_supplicant1(SupplicantService, SupplicantPath,
                                                     QDBusConnection::systemBus()));
        const std::optional<QDBusObjectPath> path = interfacePath();
        if (!path) {
            m_supplicant.reset();
            return;
        }
        attachInterface(*path);
    }
    post(SupplicantStarted());
}

std::optional<QDBusObjectPath> WpaSupplicant::interfacePath()
{
    nvDebug() << "Adding interface to wpa_supplicant";
    const QString name = getName().toString();
    QDBusPendingReply<QDBusObjectPath> created =
        m_supplicant->CreateInterface({{"Ifname", name}, {"Driver", DriverName}});
    created.waitForFinished();
    if (!created.isError()) {
        return created.value();
    }
    if (created.error().name() != InterfaceExistsError) {
        nvCritical() << "Couldn't create interface " << getName()
                     << " due to error: " << created.error().name();
        return std::nullopt;
    }
    QDBusPendingReply<QDBusObjectPath> existing = m_supplicant->GetInterface(name);
    existing.waitForFinished();
    if (existing.isError()) {
        nvCritical() << "Couldn't get interface " << getName()
                     << " due to error: " << existing.error().name();
        return std::nullopt;
    }
    return existing.value();
}

void WpaSupplicant::attachInterface(const QDBusObjectPath &path)
{
    const QDBusConnection bus = QDBusConnection::systemBus();
    m_supplicantInterface.reset(
        new fi_w1_wpa_supplicant1_Interface(SupplicantService, path.path(), bus));
    fi_w1_wpa_supplicant1_Interface *const interface = m_supplicantInterface.get();
    norvi::connect(interface, SIGNAL(PropertiesChanged(QVariantMap)), this,
                   SLOT(on_propertiesChanged(QVariantMap)));
    norvi::connect(interface, SIGNAL(BSSAdded(QDBusObjectPath, QVariantMap)), this,
                   SLOT(on_bssAdded(QDBusObjectPath, QVariantMap)));
    norvi::connect(interface, SIGNAL(BSSRemoved(QDBusObjectPath)), this,
                   SLOT(on_bssRemoved(QDBusObjectPath)));
    norvi::connect(interface, SIGNAL(ScanDone(bool)), this, SLOT(on_scanDone(bool)));
    norvi::connect(interface, SIGNAL(NetworkTempDisabled(QVariantMap)), this,
                   SLOT(on_networkTempDisabled(QVariantMap)));
    nvDebug() << "Opened wpa_supplicant interface to " << interface->ifname();

    m_supplicantWPS.reset(new fi_w1_wpa_supplicant1_WPS(SupplicantService, path.path(), bus));
    norvi::connect(m_supplicantWPS.get(), SIGNAL(Event(QString, QVariantMap)), this,
                   SLOT(on_wpsEvent(QString, QVariantMap)));
    norvi::connect(m_supplicantWPS.get(), SIGNAL(Credentials(QVariantMap)), this,
                   SLOT(on_wpsCredentials(QVariantMap)));
}

// --- The message queue ---

void WpaSupplicant::enqueueMessage(const QVariant &message)
{
    assertMainThread();
    nvDebug() << "Enqueuing a message...";
    {
        QMutexLocker locker(&m_mutex);
        m_queue.push_back(message);
        m_queueCondition.wakeOne();
    }
    nvDebug() << "Message enqueued";
}

QVariant WpaSupplicant::dequeueMessage()
{
    assertLogicThread();
    nvDebug() << "Waiting to dequeue a message...";
    while (m_queue.empty()) {
        m_queueCondition.wait(&m_mutex);
    }
    return takeFrontMessage();
}

QVariant WpaSupplicant::tryDequeueMessageUntil(qint64 deadlineMs)
{
    assertLogicThread();
    nvDebug() << "Waiting to dequeue a message...";
    while (m_queue.empty()) {
        const qint64 remainingMs = deadlineMs - monotonicNowMs();
        if (remainingMs < 1) {
            nvDebug() << "Timed out waiting to dequeue a message";
            return QVariant();
        }
        m_queueCondition.wait(
            &m_mutex, static_cast<unsigned long>(std::min<qint64>(remainingMs, INT_MAX - 1)));
    }
    return takeFrontMessage();
}

QVariant WpaSupplicant::takeFrontMessage()
{
    const QVariant message = m_queue.front();
    m_queue.pop_front();
    nvDebug() << "Message dequeued";
    return message;
}

void WpaSupplicant::clearPendingSupplicantMessages()
{
    assertLogicThread();
    m_mutex.unlock();
    QThread::msleep(static_cast<unsigned long>(m_timings.settleMs));
    m_mutex.lock();
    m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(), isSupplicantMessage),
                  m_queue.end());
}

void WpaSupplicant::parkMessage(const QVariant &message)
{
    m_parkedMessages.push_back(message);
}

void WpaSupplicant::enqueueParkedMessages()
{
    m_queue.insert(m_queue.begin(), m_parkedMessages.cbegin(), m_parkedMessages.cend());
    m_parkedMessages.clear();
}

// --- The logic thread's main loop ---

void WpaSupplicant::runLogicThread()
{
    assertLogicThread();
    QMutexLocker locker(&m_mutex);
    QSet<WirelessNetwork> configured;
    emit tryStartSupplicant();
    for (;;) {
        if (m_supplicant && !configured.isEmpty() && m_queue.empty()) {
            nvInfo() << "Have supplicant & configured networks, trying to connect";
            doNormalConnect(configured);
        }
        const QVariant message = dequeueMessage();
        nvDebug() << "Got message in main loop";
        if (!handleMainLoopMessage(message, configured)) {
            return;
        }
    }
}

bool WpaSupplicant::handleMainLoopMessage(const QVariant &message,
                                          QSet<WirelessNetwork> &configured)
{
    if (is<InterfaceAdded>(message)) {
        if (!m_supplicant) {
            nvInfo() << "Got interface added message, starting supplicant";
            emit tryStartSupplicant();
        }
    } else if (is<InterfaceRemoved>(message)) {
        nvInfo() << "Got interface removed message, stopping supplicant";
        shutdownSupplicant();
    } else if (is<SupplicantVanished>(message) && m_supplicant) {
        // Our next call has the bus start it again; the configured networks are applied once
        // it is back, as after the interface came back.
        nvWarning() << "wpa_supplicant went away while in use, attaching to it again";
        dropSupplicant();
        emit tryStartSupplicant();
    } else if (is<Enable>(message)) {
        nvInfo() << "Got new networks";
        configured = message.value<Enable>().networks;
        if (m_supplicant && !configured.isEmpty()) {
            doNormalConnect(configured);
        }
    } else if (is<Disable>(message)) {
        nvInfo() << "Got disable command";
        configured.clear();
        emit disabled();
    } else if (is<Quit>(message)) {
        nvInfo() << "Got quit command";
        shutdownSupplicant();
        return false;
    } else if (is<StartWpsPbc>(message)) {
        doWpsSession(QString());
    } else if (is<StartWpsPin>(message)) {
        doWpsSession(message.value<StartWpsPin>().pin);
    } else if (is<SupplicantStarted>(message) && m_supplicant) {
        waitForDisconnected();
        clearPendingSupplicantMessages();
    }
    return true;
}

void WpaSupplicant::shutdownSupplicant()
{
    assertLogicThread();
    nvInfo() << "Shutdown wpa_supplicant";
    dropSupplicant();
    NorviProcess::execute(StopProgram, {SupplicantProgram});
}

void WpaSupplicant::dropSupplicant()
{
    for (QObject *proxy : std::initializer_list<QObject *>{
             m_supplicant.get(), m_supplicantInterface.get(), m_supplicantWPS.get()}) {
        if (proxy != nullptr) {
            detach(proxy, this);
        }
    }
    m_supplicant.reset();
    m_supplicantInterface.reset();
    m_supplicantWPS.reset();
    // The access point list belongs to the main thread, which also answers scans from it: it
    // is emptied there, after whatever the main thread is doing with it now.
    QMetaObject::invokeMethod(this, "forgetAccessPoints", Qt::QueuedConnection);
}

void WpaSupplicant::forgetAccessPoints()
{
    assertMainThread();
    for (const QSharedPointer<BssMonitor> &monitor : qAsConst(m_bssMonitors)) {
        detach(monitor.data(), this);
    }
    m_bssMonitors.clear();
    m_aps.clear();
    // The empty list answers any scan still outstanding.
    m_scanTimer.stop();
    m_scanRunning = false;
    emit scanResults(QList<ApDescription>());
}

// --- Connecting (logic thread) ---

void WpaSupplicant::doNormalConnect(const QSet<WirelessNetwork> &configuredNetworks)
{
    Q_ASSERT_X(configuredNetworks.size() > 0, "doNormalConnect", "configuredNetworks.size() > 0");
    assertLogicThread();
    clearPendingSupplicantMessages();
    nvInfo() << "Configuring supplicant with " << configuredNetworks.size() << " network(s)";
    QDBusPendingReply<> removed = m_supplicantInterface->RemoveAllNetworks();
    removed.waitForFinished();
    if (removed.isError()) {
        nvCritical() << "Remove networks request failed: " << removed.error().message();
        return;
    }
    QHash<QString, Ssid> added;
    if (addNetworks(configuredNetworks, added)) {
        // Its reply says nothing the state reports won't.
        m_supplicantInterface->Reassociate();
        while (waitForConnection(added) && stayConnected()) {
        }
    }
    waitForDisconnected();
}

bool WpaSupplicant::addNetworks(const QSet<WirelessNetwork> &networks, QHash<QString, Ssid> &added)
{
    for (const WirelessNetwork &network : networks) {
        QDBusPendingReply<QDBusObjectPath> reply =
            m_supplicantInterface->AddNetwork(network.getWpaSupplicantParams());
        reply.waitForFinished();
        if (reply.isError()) {
            nvCritical() << "Add networks request failed: " << reply.error().message();
            return false;
        }
        const QString path = reply.value().path();
        added.insert(path, network.ssid());
        fi_w1_wpa_supplicant1_Network proxy(SupplicantService, path, QDBusConnection::systemBus());
        proxy.setEnabled(true);
        if (proxy.lastError().isValid()) {
            nvWarning() << "Couldn't enable network " << path << ": "
                        << proxy.lastError().message();
        }
        nvInfo() << "Added network: ssid: " << network.ssid() << " dbus path: " << path;
    }
    return true;
}

bool WpaSupplicant::waitForConnection(const QHash<QString, Ssid> &added)
{
    emit configured();
    for (;;) {
        const QVariant message = dequeueMessage();
        nvDebug() << "Got message in waiting for connection loop";
        if (is<Connected>(message)) {
            nvInfo() << "Got connected from supplicant";
            emit connected();
            return true;
        }
        if (is<NetworkTempDisabled>(message)) {
            reportAuthError(message.value<NetworkTempDisabled>(), added);
        } else if (!isSupplicantMessage(message)) {
            parkMessage(message);
            return false;
        }
    }
}

void WpaSupplicant::reportAuthError(const NetworkTempDisabled &report,
                                    const QHash<QString, Ssid> &added)
{
    nvInfo() << "Got NetworkTempDisabled message";
    const auto network = added.find(report.network.path());
    if (network == added.cend()) {
        nvCritical() << "Object path in NetworkTempDisabled isn't a configured network, ignoring!";
        return;
    }
    emit authError(network.value(), report.reason);
}

bool WpaSupplicant::stayConnected()
{
    for (;;) {
        const QVariant message = dequeueMessage();
        nvDebug() << "Got message in connected loop";
        if (is<Disconnected>(message)) {
            nvInfo() << "Got disconnected from supplicant";
            return true;
        }
        if (!isSupplicantMessage(message)) {
            nvInfo() << "Got command, disconnecting and returning to main supplicant loop";
            parkMessage(message);
            return false;
        }
    }
}

void WpaSupplicant::waitForDisconnected()
{
    assertLogicThread();
    m_disconnectWaitInProgress = true;
    const qint64 deadlineMs = monotonicNowMs() + m_timings.disconnectWaitMs;
    nvInfo() << "Waiting for supplicant to become inactive/disconnected";
    if (m_supplicantInterface) {
        QDBusPendingReply<> removed = m_supplicantInterface->RemoveAllNetworks();
        removed.waitForFinished();
        if (removed.isError()) {
            nvWarning() << "Couldn't remove networks while waiting for disconnection: "
                        << " " << removed.error().message();
        }
        waitForQuietState(deadlineMs);
    }
    m_disconnectWaitInProgress = false;
    if (m_scanRequested) {
        m_scanRequested = false;
        // A scan already running answers the request as well.
        if (!m_scanRunning) {
            nvInfo() << "Queuing scan after it was inhibited during disconnect wait";
            QMetaObject::invokeMethod(this, "scan", Qt::QueuedConnection);
        }
    }
    enqueueParkedMessages();
}

void WpaSupplicant::waitForQuietState(qint64 deadlineMs)
{
    QString state = disconnectAndReadState();
    while (!isQuiet(state)) {
        nvInfo() << "Supplicant is not disconnected or inactive, waiting for a state update";
        const QVariant message = tryDequeueMessageUntil(deadlineMs);
        if (!message.isValid()) {
            nvWarning() << "Gave up waiting for supplicant to disconnect/become inactive, "
                           "continuing anyway...";
            return;
        }
        nvDebug() << "Got message while waiting for disconnected/inactive loop";
        if (is<Disconnected>(message) || is<Inactive>(message)) {
            nvInfo() << "Supplicant has reached disconnected/inactive state";
            return;
        }
        if (!isSupplicantMessage(message)) {
            parkMessage(message);
        }
        state = disconnectAndReadState();
    }
}

QString WpaSupplicant::disconnectAndReadState()
{
    QDBusPendingReply<> disconnected = m_supplicantInterface->Disconnect();
    disconnected.waitForFinished();
    if (disconnected.isError()) {
        nvWarning() << "Couldn't disconnect while waiting for disconnection: "
                    << " " << disconnected.error().message();
    }
    const QVariant state = m_supplicantInterface->property("State");
    return state.userType() == QMetaType::QString ? state.toString() : QString();
}

// --- WPS (logic thread) ---

void WpaSupplicant::doWpsSession(const QString &pin)
{
    assertLogicThread();
    if (!m_supplicantWPS) {
        nvWarning() << "Couldn't start WPS session, no interface available!";
        emit wpsError(NoInterfaceError);
        return;
    }
    QVariantMap arguments{{"Role", "enrollee"}, {"Type", "pbc"}};
    if (!pin.isEmpty()) {
        arguments["Type"] = "pin";
        arguments["Pin"] = pin;
    }
    nvInfo() << "Starting supplicant WPS: " << arguments;
    clearPendingSupplicantMessages();
    const qint64 deadlineMs = monotonicNowMs() + m_timings.wpsLimitMs;
    if (!startWps(arguments)) {
        return;
    }
    emit wps();
    followWpsSession(deadlineMs);
    waitForDisconnected();
}

bool WpaSupplicant::startWps(const QVariantMap &arguments)
{
    m_supplicantWPS->setProcessCredentials(true);
    if (m_supplicantWPS->lastError().isValid()) {
        nvWarning() << "Couldn't have wpa_supplicant pass WPS credentials on: "
                    << m_supplicantWPS->lastError().message();
    }
    QDBusPendingReply<QVariantMap> started = m_supplicantWPS->Start(arguments);
    started.waitForFinished();
    if (started.isError()) {
        const QString message = started.error().message();
        nvCritical() << "Error when trying to start supplicant WPS: " << message;
        emit wpsError(QString(WpsStartError).arg(message));
        return false;
    }
    return true;
}

void WpaSupplicant::followWpsSession(qint64 deadlineMs)
{
    std::optional<WirelessNetwork> credentials;
    for (;;) {
        const QVariant message = tryDequeueMessageUntil(deadlineMs);
        if (!message.isValid()) {
            nvWarning() << "WPS session timed out (from norvid internal timeout)";
            emit wpsError(WpsTimedOutError);
            return;
        }
        if (is<WpsErrored>(message)) {
            const QString error = wpsErrorText(message.value<WpsErrored>().error);
            nvInfo() << "Wps session ended with an error: " << error;
            emit wpsError(error);
            return;
        }
        if (is<WpsCredentials>(message)) {
            nvDebug() << "Got WPS credentials";
            credentials = message.value<WpsCredentials>().network;
        } else if (is<WpsFinished>(message)) {
            finishWps(credentials);
            return;
        } else if (is<Inactive>(message)) {
            nvInfo() << "Wps session timed out";
            emit wpsError(WpsTimedOutError);
            return;
        } else if (!isSupplicantMessage(message)) {
            nvInfo() << "Another command requested, exiting WPS session";
            emit wpsError(WpsEndedError);
            parkMessage(message);
            return;
        }
    }
}

void WpaSupplicant::finishWps(const std::optional<WirelessNetwork> &credentials)
{
    if (credentials && credentials->isValid()) {
        nvInfo() << "Wps session ended sucessfully, emitting ap details";
        emit wpsFinished(*credentials);
        return;
    }
    nvInfo() << "Wps session ended, but no credentials were received!";
    emit wpsError(WpsNoCredentialsError);
}

// --- Scanning and the access point list (main thread) ---

void WpaSupplicant::scan()
{
    assertMainThread();
    QMutexLocker locker(&m_mutex);
    if (!m_supplicantInterface) {
        nvWarning() << "Scan requested, but the supplicant is not available, emitting empty "
                       "results";
        emit scanResults(QList<ApDescription>());
        return;
    }
    if (m_disconnectWaitInProgress) {
        nvInfo() << "Scan is currently inhibited, setting scan requested flag";
        m_scanRequested = true;
        return;
    }
    if (m_scanTimer.isActive()) {
        return;
    }
    nvInfo() << "Starting scan";
    QDBusPendingReply<> reply =
        m_supplicantInterface->Scan({{"Type", "active"}, {"AllowRoam", true}});
    reply.waitForFinished();
    if (reply.isError()) {
        nvCritical() << "Scan request failed: " << reply.error().message();
        on_scanDone(false);
        return;
    }
    m_scanRunning = true;
    m_scanTimer.start();
}

void WpaSupplicant::on_scanDone(bool success)
{
    assertMainThread();
    if (!success) {
        nvWarning() << "on_scanDone: scan failed, emitting current scan results anyway: " << m_aps;
    }
    m_scanTimer.stop();
    m_scanRunning = false;
    QList<ApDescription> results;
    std::copy_if(m_aps.cbegin(), m_aps.cend(), std::back_inserter(results),
                 [](const ApDescription &ap) { return ap.ssid.isValid(); });
    nvInfo() << "Scan finished, emitting " << results.size() << " results";
    emit scanResults(results);
}

void WpaSupplicant::on_scanTimer_timeout()
{
    nvWarning() << "Scan timer timeout exceeded, emitting previous results";
    on_scanDone(false);
}

void WpaSupplicant::on_bssAdded(const QDBusObjectPath &path, const QVariantMap &)
{
    assertMainThread();
    // Reported again without having been removed: the new report describes it.
    if (m_bssMonitors.contains(path.path())) {
        on_bssRemoved(path);
    }
    // Deferred deletion: a monitor may be dropped while it is emitting.
    const QSharedPointer<BssMonitor> monitor(new BssMonitor(path), &QObject::deleteLater);
    if (!monitor->getApDescription().ssid.isValid()) {
        return;
    }
    nvDebug() << "Adding BSS path: " << path.path();
    norvi::connect(monitor.data(), SIGNAL(bssReread(QDBusObjectPath)), this,
                   SLOT(on_bssReread(QDBusObjectPath)));
    norvi::connect(monitor.data(), SIGNAL(bssSignalUpdated(QDBusObjectPath)), this,
                   SLOT(on_bssSignalUpdated(QDBusObjectPath)));
    m_bssMonitors.insert(path.path(), monitor);
    m_aps.append(monitor->getApDescription());
}

void WpaSupplicant::on_bssRemoved(const QDBusObjectPath &path)
{
    assertMainThread();
    nvDebug() << "Removing BSS path: " << path.path();
    const QSharedPointer<BssMonitor> monitor = m_bssMonitors.take(path.path());
    if (monitor) {
        detach(monitor.data(), this);
        m_aps.removeAll(monitor->getApDescription());
    }
}

void WpaSupplicant::on_bssReread(const QDBusObjectPath &path)
{
    assertMainThread();
    nvDebug() << "Rereading BSS path: " << path.path();
    on_bssRemoved(path);
    on_bssAdded(path, QVariantMap());
}

void WpaSupplicant::on_bssSignalUpdated(const QDBusObjectPath &path)
{
    assertMainThread();
    nvDebug() << "Updating signal for: " << path.path();
    const QSharedPointer<BssMonitor> monitor = m_bssMonitors.value(path.path());
    if (!monitor) {
        return;
    }
    const int index = m_aps.indexOf(monitor->getApDescription());
    if (index >= 0) {
        m_aps[index] = monitor->getApDescription();
    }
}

// --- The current connection (main thread) ---

QString WpaSupplicant::currentBssPath() const
{
    const QVariant path = m_supplicantInterface->property("CurrentBSS");
    return path.userType() == qMetaTypeId<QDBusObjectPath>() ? path.value<QDBusObjectPath>().path()
                                                             : QString();
}

QVariantMap WpaSupplicant::signalPoll() const
{
    QDBusPendingReply<QDBusVariant> poll = m_supplicantInterface->SignalPoll();
    poll.waitForFinished();
    if (poll.isError()) {
        nvCritical() << "SignalPoll method call to wpa_supplicant failed: "
                     << poll.error().message();
        return QVariantMap();
    }
    const std::optional<QVariantMap> polled = norvi::toVariantMap(poll.value().variant());
    if (!polled) {
        nvCritical() << "SignalPoll reply of wpa_supplicant is not a map, ignoring it";
    }
    return polled.value_or(QVariantMap());
}

QVariantMap WpaSupplicant::getNetworkDetails()
{
    assertMainThread();
    QMutexLocker locker(&m_mutex);
    if (!m_supplicantInterface) {
        return QVariantMap();
    }
    const QString current = currentBssPath();
    if (current == NotAssociatedPath) {
        nvDebug() << "Not connected, can't return any network details yet";
        return QVariantMap();
    }
    const QVariantMap polled = signalPoll();
    const QSharedPointer<BssMonitor> monitor = m_bssMonitors.value(current);
    if (!monitor) {
        nvCritical() << "Tried to retrive details from current network, but it's not an active "
                        "BSS!";
        return QVariantMap();
    }
    const QString authMode = m_supplicantInterface->property("CurrentAuthMode").toString();
    const bool wep = monitor->getPrivacy() && authMode == "NONE";
    const uint frequency =
        static_cast<uint>(std::max(0, norvi::toInt(polled.value("frequency")).value_or(0)));
    return {{"Ssid", QString::fromUtf8(monitor->ssid())},
            {"Bssid", monitor->bssid().toString()},
            {"Encryption", wep ? QString("wep") : authMode},
            {"Signal", norvi::toInt(polled.value("rssi")).value_or(0)},
            {"Frequency", frequency},
            {"Channel", stationChannel(static_cast<int>(frequency))}};
}

int WpaSupplicant::getCurrentChannel()
{
    assertMainThread();
    QSharedPointer<BssMonitor> monitor;
    {
        QMutexLocker locker(&m_mutex);
        if (!m_supplicantInterface) {
            return 0;
        }
        monitor = m_bssMonitors.value(currentBssPath());
    }
    return monitor ? stationChannel(monitor->frequency()) : 0;
}

void WpaSupplicant::assertMainThread() const
{
    Q_ASSERT_X(QThread::currentThread() == thread(), "WpaSupplicant",
               "QThread::currentThread() == thread()");
}

void WpaSupplicant::assertLogicThread() const
{
    Q_ASSERT_X(QThread::currentThread() == &m_logicThread, "WpaSupplicant",
               "QThread::currentThread() == m_logicThread");
}
