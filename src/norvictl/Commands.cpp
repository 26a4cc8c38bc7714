#include "Commands.h"

#include "ControlClient.h"
#include "DaemonSignals.h"
#include "Failure.h"
#include "InterfaceConfiguration.h"
#include "NetworkConfiguration.h"
#include "NorviDBus.h"
#include "WirelessNetwork.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QNetworkAddressEntry>
#include <QRegularExpression>

#include <algorithm>

namespace {

using namespace norvictl;

constexpr int MsPerSecond = 1000;
constexpr int MaximumTimeoutS = 24 * 60 * 60;
constexpr int DefaultScanTimeoutS = 30;
// The daemon gives a WPS session 200 s; a little longer lets its own verdict arrive.
constexpr int DefaultWpsTimeoutS = 210;
constexpr int DefaultWaitOnlineTimeoutS = 30;
// The Connected property can turn true a moment after the Connected signal: checked again
// this often while waiting.
constexpr int WaitOnlinePollMs = 500;
constexpr int MaximumLogLevel = 2;
constexpr int MaximumPriority = INT_MAX;
constexpr int MaximumChannel = 196;
constexpr int MaximumPrefixV4 = 32;
constexpr int MaximumPassphraseLength = 63;
const int WpsPinLengths[] = {4, 8};

const QString PropConnected = QStringLiteral("Connected");
const QString PropMode = QStringLiteral("Mode");
const QString PropDetails = QStringLiteral("Details");
const QString PropLogLevel = QStringLiteral("LogLevel");
const QString PropSoftAp = QStringLiteral("SoftApModeSettings");
const QString PropNetworks = QStringLiteral("WirelessNetworks");

const QString KeyInterface = QStringLiteral("Interface");
const QString KeyPresent = QStringLiteral("Present");
const QString KeyConnected = QStringLiteral("Connected");
const QString KeyCable = QStringLiteral("CableStatus");
const QString KeyIps = QStringLiteral("Ips");
const QString KeyIp = QStringLiteral("Ip");
const QString KeyNetmask = QStringLiteral("Netmask");
const QString KeySoftApUp = QStringLiteral("SoftApUp");

const QString TypeUnsecured = QStringLiteral("unsecured");
const QString TypeWep = QStringLiteral("wep");
const QString TypeWpaPsk = QStringLiteral("wpa-psk");

// The user's mode words and the mode states the daemon reports.
const QList<QPair<QString, QString>> Modes = {
    {QStringLiteral("off"), QStringLiteral("OffMode")},
    {QStringLiteral("wired"), QStringLiteral("WiredMode")},
    {QStringLiteral("wireless"), QStringLiteral("WirelessMode")},
    {QStringLiteral("automatic"), QStringLiteral("AutomaticMode")},
    {QStringLiteral("hybrid"), QStringLiteral("HybridMode")}};

QString modeWord(const QString &state)
{
    for (const auto &mode : Modes) {
        if (mode.second == state) {
            return mode.first;
        }
    }
    return state.toLower();
}

QVariantMap mapOf(const QVariant &value)
{
    return norvi::toVariantMap(value).value_or(QVariantMap());
}

int intOf(const QVariant &value, int fallback = 0)
{
    return norvi::toInt(value).value_or(fallback);
}

QString textOf(const QVariant &value)
{
    return norvi::toText(value).value_or(QString());
}

int timeoutMs(const Invocation &invocation, int defaultSeconds)
{
    return invocation.number(QStringLiteral("timeout"), defaultSeconds, 0, MaximumTimeoutS) *
           MsPerSecond;
}

// Waits for the first of the named signals until the time is up; a daemon restart in
// between does not end the wait.
std::optional<DaemonSignal> awaitSignal(SignalWaiter &waiter, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    do {
        if (std::optional<DaemonSignal> received =
                waiter.wait(static_cast<int>(deadline.remainingTime()))) {
            return received;
        }
    } while (!deadline.hasExpired());
    return std::nullopt;
}

// --- status and details ----------------------------------------------------------------------

QString addressesOf(const QVariantMap &details)
{
    if (details.contains(KeyIps)) {
        // The daemon marks link-local addresses with an "l" after the prefix length; their
        // fe80:: and 169.254. say as much to a person.
        static const QRegularExpression linkLocalMark(QStringLiteral("(/\\d+)l\\b"));
        return textOf(details.value(KeyIps)).replace(linkLocalMark, QStringLiteral("\\1"));
    }
    const QString ip = textOf(details.value(KeyIp));
    if (ip.isEmpty()) {
        return QString();
    }
    QNetworkAddressEntry entry;
    entry.setIp(norvi::parseHostAddress(ip));
    entry.setNetmask(norvi::parseHostAddress(textOf(details.value(KeyNetmask))));
    return QStringLiteral("%1/%2").arg(ip).arg(entry.prefixLength());
}

QString stateOf(const QVariantMap &details)
{
    if (details.isEmpty() || intOf(details.value(KeyPresent), StatusUp) == StatusRemoved) {
        return QStringLiteral("absent");
    }
    if (details.contains(KeySoftApUp)) {
        return details.value(KeySoftApUp).toBool() ? QStringLiteral("running")
                                                   : QStringLiteral("stopped");
    }
    if (intOf(details.value(KeyPresent), StatusUp) == StatusDown) {
        return QStringLiteral("down");
    }
    if (details.value(KeyConnected).toBool()) {
        return QStringLiteral("connected");
    }
    if (details.contains(KeyCable) && !details.value(KeyCable).toBool()) {
        return QStringLiteral("no cable");
    }
    return QStringLiteral("disconnected");
}

struct InterfaceRow
{
    QString name;
    QString type;
    QVariantMap details;
};

void status(Session &session, const Invocation &)
{
    ControlClient &client = session.client();
    const QVariantMap details = client.readMap(PropDetails);
    QList<InterfaceRow> interfaces;
    for (const QString &type : {QStringLiteral("wired"), QStringLiteral("wireless")}) {
        const QVariantMap interface = mapOf(details.value(type));
        interfaces.append({textOf(interface.value(KeyInterface)), type, interface});
    }
    for (const QString &name : mapOf(details.value(QStringLiteral("SoftApSetup"))).keys()) {
        interfaces.append({name, QStringLiteral("soft AP"),
                           client.checkMap(client.proxy().InterfaceDetails(name))});
    }

    if (session.out().json()) {
        QVariantList list;
        for (const InterfaceRow &interface : interfaces) {
            list << session.printable(interface.details);
        }
        session.out().printJson(QVariantMap{{PropMode, details.value(PropMode)},
                                            {PropConnected, details.value(PropConnected)},
                                            {QStringLiteral("Interfaces"), list}});
        return;
    }
    session.out().line(
        QStringLiteral("Mode: %1, %2")
            .arg(modeWord(textOf(details.value(PropMode))), details.value(PropConnected).toBool()
                                                                ? QStringLiteral("connected")
                                                                : QStringLiteral("not connected")));
    QList<QStringList> rows;
    for (const InterfaceRow &interface : interfaces) {
        rows << QStringList{interface.name, interface.type, stateOf(interface.details),
                            addressesOf(interface.details)};
    }
    session.out().table({QStringLiteral("INTERFACE"), QStringLiteral("TYPE"),
                         QStringLiteral("STATE"), QStringLiteral("ADDRESSES")},
                        rows);
}

void details(Session &session, const Invocation &invocation)
{
    QVariantMap details;
    if (invocation.operands().isEmpty()) {
        details = session.client().readMap(PropDetails);
    } else {
        details = session.client().checkMap(
            session.client().proxy().InterfaceDetails(invocation.operand(0)));
    }
    if (session.out().json()) {
        session.out().printJson(session.printable(details));
    } else {
        session.out().keyValues(session.printable(details).toMap());
    }
    if (!invocation.operands().isEmpty() && stateOf(details) == QLatin1String("absent")) {
        throw Failure(ExitFailed, QStringLiteral("no interface %1").arg(invocation.operand(0)));
    }
}

// --- mode and log level ----------------------------------------------------------------------

// A single property: {"Name": value} in JSON, the text alone for a person.
void printProperty(Session &session, const QString &name, const QVariant &value,
                   const QString &text)
{
    if (session.out().json()) {
        session.out().printJson(QVariantMap{{name, value}});
    } else {
        session.out().line(text);
    }
}

void mode(Session &session, const Invocation &invocation)
{
    if (invocation.operands().isEmpty()) {
        const QString state = textOf(session.client().read(PropMode));
        printProperty(session, PropMode, state, modeWord(state));
        return;
    }
    const QString word = invocation.operand(0);
    const auto known = std::find_if(Modes.cbegin(), Modes.cend(),
                                    [&](const auto &mode) { return mode.first == word; });
    if (known == Modes.cend()) {
        throw badArguments(QStringLiteral("unknown mode \"%1\"").arg(word));
    }
    ControlClient &client = session.client();
    client.check(word == Modes.first().first ? client.proxy().SetOffMode()
                                             : client.proxy().SetNormalMode(word));
}

void logLevel(Session &session, const Invocation &invocation)
{
    if (invocation.operands().isEmpty()) {
        const int level = intOf(session.client().read(PropLogLevel));
        printProperty(session, PropLogLevel, level, QString::number(level));
        return;
    }
    const int level =
        parseNumber(QStringLiteral("the log level"), invocation.operand(0), 0, MaximumLogLevel);
    session.client().write(PropLogLevel, level);
}

// --- wireless networks -----------------------------------------------------------------------

// A configured network as the daemon reports it; none for an entry the daemon itself holds
// as unusable (it reports those empty).
std::optional<WirelessNetwork> reportedNetwork(const QString &ssid, const QVariantMap &entry)
{
    const QString type = textOf(entry.value(QStringLiteral("type")));
    const int priority = intOf(entry.value(QStringLiteral("priority")));
    if (type == TypeUnsecured) {
        return WirelessNetwork(Ssid::fromString(ssid), WirelessNetworkType::Unsecured, QString(),
                               priority);
    }
    if (type == TypeWep) {
        return WirelessNetwork(Ssid::fromString(ssid), WirelessNetworkType::Wep,
                               textOf(entry.value(QStringLiteral("wep_key"))), priority);
    }
    if (type == TypeWpaPsk) {
        return WirelessNetwork(Ssid::fromString(ssid), WirelessNetworkType::WpaPsk,
                               textOf(entry.value(QStringLiteral("wpa_psk"))), priority);
    }
    return std::nullopt;
}

// The form the daemon takes when the networks are written, which differs from what it reports.
QVariantMap credentialsOf(const WirelessNetwork &network)
{
    QVariantMap credentials{{QStringLiteral("priority"), network.priority()}};
    switch (network.type()) {
    case WirelessNetworkType::Unsecured:
        credentials.insert(QStringLiteral("unsecured"), true);
        break;
    case WirelessNetworkType::Wep:
        credentials.insert(QStringLiteral("wep_key"), network.key());
        break;
    case WirelessNetworkType::WpaPsk:
        credentials.insert(QStringLiteral("wpa_psk"), network.key());
        break;
    }
    return credentials;
}

QVariantMap configuredCredentials(ControlClient &client)
{
    const QVariantMap reported = client.readMap(PropNetworks);
    QVariantMap credentials;
    for (auto it = reported.cbegin(); it != reported.cend(); ++it) {
        if (const auto network = reportedNetwork(it.key(), mapOf(it.value()))) {
            credentials.insert(it.key(), credentialsOf(*network));
        } else {
            std::fprintf(stderr,
                         "norvictl: the daemon holds network \"%s\" as unusable; "
                         "it is left out\n",
                         it.key().toUtf8().constData());
        }
    }
    return credentials;
}

Ssid checkedSsid(const QString &text)
{
    if (text.isEmpty() || text.toUtf8().size() > Ssid::MaximumBytes) {
        throw badArguments(QStringLiteral("an SSID has 1 to %1 bytes, \"%2\" does not")
                               .arg(Ssid::MaximumBytes)
                               .arg(text));
    }
    return Ssid::fromString(text);
}

QString keyOf(const Invocation &invocation, const QString &option, const QString &ssid)
{
    if (const std::optional<QString> given = invocation.value(option)) {
        return *given;
    }
    const QString key = readSecret(QStringLiteral("Key for %1: ").arg(ssid));
    if (key.isEmpty()) {
        throw badArguments(QStringLiteral("no key given for %1").arg(ssid));
    }
    return key;
}

WirelessNetwork networkOf(const Invocation &invocation)
{
    const Ssid ssid = checkedSsid(invocation.operand(0));
    const int priority = invocation.number(QStringLiteral("priority"), 0, 0, MaximumPriority);
    const int kinds = int(invocation.has(QStringLiteral("psk"))) +
                      int(invocation.has(QStringLiteral("wep"))) +
                      int(invocation.has(QStringLiteral("open")));
    if (kinds != 1) {
        throw badArguments(QStringLiteral("give exactly one of --psk, --wep and --open"));
    }
    if (invocation.has(QStringLiteral("open"))) {
        return WirelessNetwork(ssid, WirelessNetworkType::Unsecured, QString(), priority);
    }
    const bool wep = invocation.has(QStringLiteral("wep"));
    const QString key =
        keyOf(invocation, wep ? QStringLiteral("wep") : QStringLiteral("psk"), ssid.toString());
    const WirelessNetwork network(
        ssid, wep ? WirelessNetworkType::Wep : WirelessNetworkType::WpaPsk, key, priority);
    // wpa_supplicant takes no passphrase over 63 characters; 64 are a hexadecimal key.
    const bool tooLong =
        !wep && key.size() > MaximumPassphraseLength && key.size() != MaximumPassphraseLength + 1;
    if (tooLong || network.getWpaSupplicantParams().isEmpty()) {
        throw badArguments(wep ? QStringLiteral("a WEP key has 5 or 13 characters, or 10 or 26 "
                                                "hexadecimal digits")
                               : QStringLiteral("a WPA key has 8 to 63 characters, or 64 "
                                                "hexadecimal digits"));
    }
    return network;
}

void wifiAdd(Session &session, const Invocation &invocation)
{
    const WirelessNetwork network = networkOf(invocation);
    QVariantMap credentials = configuredCredentials(session.client());
    credentials.insert(network.ssid().toString(), credentialsOf(network));
    session.client().write(PropNetworks, credentials);
}

void wifiRemove(Session &session, const Invocation &invocation)
{
    QVariantMap credentials = configuredCredentials(session.client());
    if (credentials.remove(invocation.operand(0)) == 0) {
        throw Failure(ExitFailed,
                      QStringLiteral("no network \"%1\" is configured").arg(invocation.operand(0)));
    }
    session.client().write(PropNetworks, credentials);
}

void wifiList(Session &session, const Invocation &)
{
    const QVariantMap networks = session.client().readMap(PropNetworks);
    if (session.out().json()) {
        session.out().printJson(session.printable(networks));
        return;
    }
    const QVariantMap shown = session.printable(networks).toMap();
    QList<QStringList> rows;
    for (auto it = shown.cbegin(); it != shown.cend(); ++it) {
        const QVariantMap entry = mapOf(it.value());
        const QString key =
            textOf(entry.value(QStringLiteral("wpa_psk"), entry.value(QStringLiteral("wep_key"))));
        rows << QStringList{it.key(), textOf(entry.value(QStringLiteral("type"))),
                            textOf(entry.value(QStringLiteral("priority"))), key};
    }
    session.out().table({QStringLiteral("SSID"), QStringLiteral("SECURITY"),
                         QStringLiteral("PRIORITY"), QStringLiteral("KEY")},
                        rows);
}

void wifiReconnect(Session &session, const Invocation &)
{
    session.client().check(session.client().proxy().ForceWifiReconnect());
}

// --- IP settings -----------------------------------------------------------------------------

QString ipProperty(const QString &role)
{
    if (role == QLatin1String("wired")) {
        return QStringLiteral("WiredIpSettings");
    }
    if (role == QLatin1String("wireless")) {
        return QStringLiteral("WirelessIpSettings");
    }
    throw badArguments(QStringLiteral("ip: wired or wireless, not \"%1\"").arg(role));
}

QString checkedAddress(const QString &what, const QString &text)
{
    if (norvi::parseHostAddress(text).isNull()) {
        throw badArguments(QStringLiteral("%1 \"%2\" is not an IP address").arg(what, text));
    }
    return text;
}

QStringList listOption(const Invocation &invocation, const QString &option)
{
    return invocation.value(option).value_or(QString()).split(QLatin1Char(','), Qt::SkipEmptyParts);
}

QVariantMap ipSettingsOf(const Invocation &invocation)
{
    const QString method = invocation.operand(1);
    const QStringList dns = listOption(invocation, QStringLiteral("dns"));
    for (const QString &server : dns) {
        checkedAddress(QStringLiteral("name server"), server);
    }
    const QStringList search = listOption(invocation, QStringLiteral("search"));
    QString ip;
    QString netmask;
    QString gateway;
    if (method == QLatin1String("static")) {
        const QStringList parts = invocation.operand(2).split(QLatin1Char('/'));
        if (parts.size() != 2 ||
            norvi::parseHostAddress(parts[0]).protocol() != QAbstractSocket::IPv4Protocol) {
            throw badArguments(QStringLiteral("a static address is an IPv4 ADDRESS/PREFIX, such "
                                              "as 192.168.1.10/24"));
        }
        QNetworkAddressEntry entry;
        entry.setIp(norvi::parseHostAddress(parts[0]));
        entry.setPrefixLength(
            parseNumber(QStringLiteral("the prefix length"), parts[1], 1, MaximumPrefixV4));
        ip = parts[0];
        netmask = entry.netmask().toString();
        if (const auto given = invocation.value(QStringLiteral("gateway"))) {
            gateway = checkedAddress(QStringLiteral("gateway"), *given);
        }
    } else if (method != QLatin1String("dhcp") || invocation.operands().size() != 2 ||
               invocation.has(QStringLiteral("gateway"))) {
        throw badArguments(QStringLiteral("usage: norvictl ip wired|wireless dhcp | static "
                                          "ADDRESS/PREFIX [--gateway G]"));
    }
    return InterfaceConfiguration(InterfaceName(), ip, netmask, gateway, dns, search)
        .getVariantMap();
}

void ipSettings(Session &session, const Invocation &invocation)
{
    const QString property = ipProperty(invocation.operand(0));
    if (invocation.operands().size() > 1) {
        const QVariantMap settings = ipSettingsOf(invocation);
        session.client().write(property, settings);
        return;
    }
    const QVariantMap settings = session.client().readMap(property);
    if (session.out().json()) {
        session.out().printJson(settings);
        return;
    }
    const InterfaceConfiguration configuration =
        InterfaceConfiguration::fromVariantMap(InterfaceName(), settings);
    QStringList words;
    if (configuration.hasAddress()) {
        const QNetworkAddressEntry entry = configuration.getNetworkAddressEntry();
        words
            << QStringLiteral("static %1/%2").arg(entry.ip().toString()).arg(entry.prefixLength());
    } else {
        words << QStringLiteral("dhcp");
    }
    if (configuration.hasGateway()) {
        words << QStringLiteral("gateway ") + configuration.getGateway().toString();
    }
    QStringList servers;
    for (const QHostAddress &server : configuration.getDnsList()) {
        servers << server.toString();
    }
    if (!servers.isEmpty()) {
        words << QStringLiteral("dns ") + servers.join(QLatin1Char(','));
    }
    if (!configuration.getSearchDomains().isEmpty()) {
        words << QStringLiteral("search ") +
                     configuration.getSearchDomains().join(QLatin1Char(','));
    }
    session.out().line(words.join(QLatin1Char(' ')));
}

// --- scan and WPS ----------------------------------------------------------------------------

void scan(Session &session, const Invocation &invocation)
{
    const int timeout = timeoutMs(invocation, DefaultScanTimeoutS);
    ControlClient &client = session.client();
    if (textOf(client.read(PropMode)) == Modes.first().second) {
        throw Failure(ExitFailed, QStringLiteral("norvid does not scan in off mode; choose "
                                                 "another mode first (norvictl mode ...)"));
    }
    Spinner spinner(QStringLiteral("Scanning"));
    SignalWaiter waiter(session.daemonSignals(), {QStringLiteral("ScanResults")}, &spinner);
    client.check(client.proxy().Scan());
    const std::optional<DaemonSignal> results = awaitSignal(waiter, timeout);
    if (!results) {
        throw Failure(ExitTimeout, QStringLiteral("no scan results came in time"));
    }
    QVariantList entries = mapOf(results->arguments.value(0)).values();
    std::stable_sort(entries.begin(), entries.end(), [](const QVariant &a, const QVariant &b) {
        return intOf(mapOf(a).value(QStringLiteral("signal"))) >
               intOf(mapOf(b).value(QStringLiteral("signal")));
    });
    if (session.out().json()) {
        session.out().printJson(entries);
        return;
    }
    QList<QStringList> rows;
    for (const QVariant &entry : entries) {
        const QVariantMap ap = mapOf(entry);
        rows << QStringList{
            textOf(ap.value(QStringLiteral("ssid"))), textOf(ap.value(QStringLiteral("signal"))),
            textOf(ap.value(QStringLiteral("channel"))), textOf(ap.value(QStringLiteral("type"))),
            textOf(ap.value(QStringLiteral("bssid")))};
    }
    session.out().table({QStringLiteral("SSID"), QStringLiteral("SIGNAL"),
                         QStringLiteral("CHANNEL"), QStringLiteral("SECURITY"),
                         QStringLiteral("BSSID")},
                        rows);
}

// The call is made by the caller once the waiter listens, or a fast answer could be missed.
void wps(Session &session, int timeout, const QDBusPendingCall &start)
{
    Spinner spinner(QStringLiteral("Waiting for WPS"));
    SignalWaiter waiter(session.daemonSignals(),
                        {QStringLiteral("WpsCredentials"), QStringLiteral("WpsError")}, &spinner);
    session.client().check(start);
    const std::optional<DaemonSignal> result = awaitSignal(waiter, timeout);
    if (!result) {
        throw Failure(ExitTimeout, QStringLiteral("WPS gave no result in time"));
    }
    if (result->name == QLatin1String("WpsError")) {
        const QString reason = textOf(result->arguments.value(0));
        throw Failure(ExitFailed, reason.isEmpty() ? QStringLiteral("WPS failed")
                                                   : QStringLiteral("WPS failed: ") + reason);
    }
    const QVariantMap credentials = session.printable(result->arguments.value(0)).toMap();
    if (session.out().json()) {
        session.out().printJson(credentials);
    } else {
        session.out().keyValues(credentials);
    }
}

void wpsPbc(Session &session, const Invocation &invocation)
{
    const int timeout = timeoutMs(invocation, DefaultWpsTimeoutS);
    session.daemonSignals();
    wps(session, timeout, session.client().proxy().WpsPbc());
}

void wpsPin(Session &session, const Invocation &invocation)
{
    const QString pin = invocation.operand(0);
    const bool digits = std::all_of(pin.cbegin(), pin.cend(), [](QChar c) { return c.isDigit(); });
    if (!digits || std::find(std::begin(WpsPinLengths), std::end(WpsPinLengths), pin.size()) ==
                       std::end(WpsPinLengths)) {
        throw badArguments(QStringLiteral("a WPS PIN has 4 or 8 digits"));
    }
    const int timeout = timeoutMs(invocation, DefaultWpsTimeoutS);
    session.daemonSignals();
    wps(session, timeout, session.client().proxy().WpsPin(pin));
}

// --- soft access points ----------------------------------------------------------------------

// Command-line options and the settings keys they fill.
const QList<QPair<QString, QString>> SoftApTextOptions = {
    {QStringLiteral("ssid"), QStringLiteral("ssid")},
    {QStringLiteral("bssid"), QStringLiteral("bssid")},
    {QStringLiteral("address"), QStringLiteral("apAddress")},
    {QStringLiteral("netmask"), QStringLiteral("apNetmask")},
    {QStringLiteral("country"), QStringLiteral("countryCode")},
    {QStringLiteral("vendor-data"), QStringLiteral("vendorSpecificData")},
    {QStringLiteral("domain"), QStringLiteral("domainName")}};

QVariantMap softApSettingsOf(const Invocation &invocation)
{
    QVariantMap settings;
    for (const auto &option : SoftApTextOptions) {
        if (const std::optional<QString> value = invocation.value(option.first)) {
            settings.insert(option.second, *value);
        }
    }
    if (invocation.has(QStringLiteral("channel"))) {
        settings.insert(QStringLiteral("channel"),
                        invocation.number(QStringLiteral("channel"), 0, 1, MaximumChannel));
    }
    if (const std::optional<QString> range = invocation.value(QStringLiteral("range"))) {
        const QStringList ends = range->split(QLatin1Char('-'));
        if (ends.size() != 2) {
            throw badArguments(QStringLiteral("--range is FIRST-LAST, such as "
                                              "192.168.200.10-192.168.200.210"));
        }
        settings.insert(QStringLiteral("dhcpRangeFrom"),
                        checkedAddress(QStringLiteral("--range"), ends[0]));
        settings.insert(QStringLiteral("dhcpRangeTo"),
                        checkedAddress(QStringLiteral("--range"), ends[1]));
    }
    for (const char *option : {"address", "netmask"}) {
        if (const auto value = invocation.value(QLatin1String(option))) {
            checkedAddress(QStringLiteral("--") + QLatin1String(option), *value);
        }
    }
    if (const auto ssid = invocation.value(QStringLiteral("ssid"))) {
        checkedSsid(*ssid);
    }
    if (const auto bssid = invocation.value(QStringLiteral("bssid"));
        bssid && Bssid::fromString(*bssid).isEmpty()) {
        throw badArguments(QStringLiteral("a BSSID is six hexadecimal pairs such as "
                                          "02:00:00:00:01:00"));
    }
    SoftApSetup setup(settings);
    setup.setApInterface(invocation.operand(0));
    if (!setup.unsafeTextSettings().isEmpty()) {
        throw badArguments(QStringLiteral("unusable characters in ") +
                           setup.unsafeTextSettings().join(QStringLiteral(", ")));
    }
    return settings;
}

void softApStart(Session &session, const Invocation &invocation)
{
    const QVariantMap settings = softApSettingsOf(invocation);
    session.client().check(session.client().proxy().StartSoftAp(invocation.operand(0), settings));
}

void softApStop(Session &session, const Invocation &invocation)
{
    session.client().check(session.client().proxy().StopSoftAp(invocation.operand(0)));
}

void softApList(Session &session, const Invocation &)
{
    ControlClient &client = session.client();
    const QVariantMap settings = client.readMap(PropSoftAp);
    QVariantMap shown;
    QList<QStringList> rows;
    for (auto it = settings.cbegin(); it != settings.cend(); ++it) {
        const QVariantMap setup = mapOf(it.value());
        const QString state = stateOf(client.checkMap(client.proxy().InterfaceDetails(it.key())));
        QVariantMap withState = setup;
        withState.insert(QStringLiteral("State"), state);
        shown.insert(it.key(), withState);
        const QString range =
            QStringLiteral("%1-%2").arg(textOf(setup.value(QStringLiteral("dhcpRangeFrom"))),
                                        textOf(setup.value(QStringLiteral("dhcpRangeTo"))));
        rows << QStringList{it.key(),
                            state,
                            textOf(setup.value(QStringLiteral("ssid"))),
                            textOf(setup.value(QStringLiteral("channel"))),
                            textOf(setup.value(QStringLiteral("apAddress"))),
                            range};
    }
    if (session.out().json()) {
        session.out().printJson(shown);
        return;
    }
    session.out().table({QStringLiteral("INTERFACE"), QStringLiteral("STATE"),
                         QStringLiteral("SSID"), QStringLiteral("CHANNEL"),
                         QStringLiteral("ADDRESS"), QStringLiteral("DHCP RANGE")},
                        rows);
}

// --- monitoring and waiting ------------------------------------------------------------------

void monitor(Session &session, const Invocation &)
{
    SignalPrinter printer(session.daemonSignals(), session.out(),
                          [&session](const QVariant &value) { return session.printable(value); });
    printer.printPresence(session.client().isDaemonRunning());
    // Runs until interrupted.
    QCoreApplication::exec();
}

bool isOnline(Session &session, const std::optional<QString> &interface)
{
    ControlClient &client = session.client();
    try {
        if (interface) {
            // A soft access point is online once it runs.
            const QVariantMap details =
                client.checkMap(client.proxy().InterfaceDetails(*interface));
            return details.value(KeyConnected).toBool() || details.value(KeySoftApUp).toBool();
        }
        return client.read(PropConnected).toBool();
    } catch (const Failure &failure) {
        if (failure.status() == ExitNotRunning) {
            return false;
        }
        throw;
    }
}

void waitOnline(Session &session, const Invocation &invocation)
{
    const std::optional<QString> interface = invocation.value(QStringLiteral("interface"));
    const int timeout = timeoutMs(invocation, DefaultWaitOnlineTimeoutS);
    SignalWaiter waiter(session.daemonSignals(),
                        {QStringLiteral("Connected"), QStringLiteral("Disconnected")});
    // Boot scripts run this while the clock may still be set: a deadline of the monotonic
    // clock does not jump with it.
    const QDeadlineTimer deadline(timeout);
    while (!isOnline(session, interface)) {
        if (deadline.hasExpired()) {
            if (!session.client().isDaemonRunning()) {
                throw Failure(ExitNotRunning, QStringLiteral("norvid is not running"));
            }
            throw Failure(ExitTimeout,
                          interface ? QStringLiteral("%1 is not connected").arg(*interface)
                                    : QStringLiteral("norvid is not connected"));
        }
        waiter.wait(static_cast<int>(std::min<qint64>(deadline.remainingTime(), WaitOnlinePollMs)));
    }
}

OptionSpec timeoutOption(int seconds)
{
    return {QStringLiteral("timeout"), QStringLiteral("SECONDS"),
            QStringLiteral("give up after this long (default %1)").arg(seconds)};
}

} // namespace

namespace norvictl {

Session::Session(bool json, bool showKeys) : m_printer(json), m_showKeys(showKeys) {}

Session::~Session() = default;

ControlClient &Session::client()
{
    if (!m_client) {
        m_client = std::make_unique<ControlClient>();
    }
    return *m_client;
}

DaemonSignals &Session::daemonSignals()
{
    if (!m_signals) {
        m_signals = std::make_unique<DaemonSignals>(client());
    }
    return *m_signals;
}

QVariant Session::printable(const QVariant &value) const
{
    return m_showKeys ? value : withoutKeys(value);
}

const QList<CommandSpec> &commandTable()
{
    static const QList<CommandSpec> table = {
        {{QStringLiteral("status")},
         QString(),
         QStringLiteral("Shows the mode, whether norvid is connected, and each interface."),
         {},
         0,
         0,
         status},
        {{QStringLiteral("details")},
         QStringLiteral("[INTERFACE]"),
         QStringLiteral("Shows everything norvid reports, or all it knows of one interface."),
         {},
         0,
         1,
         details},
        {{QStringLiteral("mode")},
         QStringLiteral("[off|wired|wireless|automatic|hybrid]"),
         QStringLiteral("Shows or sets the connection mode. automatic prefers the wired "
                        "connection; hybrid keeps both."),
         {},
         0,
         1,
         mode},
        {{QStringLiteral("wifi"), QStringLiteral("add")},
         QStringLiteral("SSID --psk [KEY] | --wep [KEY] | --open"),
         QStringLiteral("Adds a wireless network, or replaces the one of the same SSID. A key "
                        "left out is read from standard input, or asked for without echo."),
         {{QStringLiteral("psk"), QStringLiteral("KEY"),
           QStringLiteral("WPA passphrase (8-63 characters) or 64 hex digits"), true},
          {QStringLiteral("wep"), QStringLiteral("KEY"),
           QStringLiteral("WEP key (5 or 13 characters, 10 or 26 hex digits)"), true},
          {QStringLiteral("open"), QString(), QStringLiteral("an open network without key")},
          {QStringLiteral("priority"), QStringLiteral("N"),
           QStringLiteral("higher is joined first (default 0)")}},
         1,
         1,
         wifiAdd},
        {{QStringLiteral("wifi"), QStringLiteral("list")},
         QString(),
         QStringLiteral("Lists the configured wireless networks."),
         {},
         0,
         0,
         wifiList},
        {{QStringLiteral("wifi"), QStringLiteral("remove")},
         QStringLiteral("SSID"),
         QStringLiteral("Removes a configured wireless network."),
         {},
         1,
         1,
         wifiRemove},
        {{QStringLiteral("wifi"), QStringLiteral("reconnect")},
         QString(),
         QStringLiteral("Makes the wireless interface join its networks anew."),
         {},
         0,
         0,
         wifiReconnect},
        {{QStringLiteral("ip")},
         QStringLiteral("wired|wireless [dhcp | static ADDRESS/PREFIX]"),
         QStringLiteral("Shows or sets how an interface gets its IPv4 address."),
         {{QStringLiteral("gateway"), QStringLiteral("ADDRESS"),
           QStringLiteral("default gateway (static only)")},
          {QStringLiteral("dns"), QStringLiteral("A,B,..."), QStringLiteral("name servers")},
          {QStringLiteral("search"), QStringLiteral("D,E,..."),
           QStringLiteral("DNS search domains")}},
         1,
         3,
         ipSettings},
        {{QStringLiteral("scan")},
         QString(),
         QStringLiteral("Scans for wireless networks and lists them, strongest first."),
         {timeoutOption(DefaultScanTimeoutS)},
         0,
         0,
         scan},
        {{QStringLiteral("wps"), QStringLiteral("pbc")},
         QString(),
         QStringLiteral("Starts WPS by push button and waits for the network it delivers."),
         {timeoutOption(DefaultWpsTimeoutS)},
         0,
         0,
         wpsPbc},
        {{QStringLiteral("wps"), QStringLiteral("pin")},
         QStringLiteral("PIN"),
         QStringLiteral("Starts WPS with a PIN and waits for the network it delivers."),
         {timeoutOption(DefaultWpsTimeoutS)},
         1,
         1,
         wpsPin},
        {{QStringLiteral("softap"), QStringLiteral("start")},
         QStringLiteral("INTERFACE"),
         QStringLiteral("Starts a soft access point; settings left out take their defaults."),
         {{QStringLiteral("ssid"), QStringLiteral("SSID"), QStringLiteral("network name")},
          {QStringLiteral("channel"), QStringLiteral("N"), QStringLiteral("radio channel")},
          {QStringLiteral("address"), QStringLiteral("ADDRESS"),
           QStringLiteral("the access point's own address")},
          {QStringLiteral("netmask"), QStringLiteral("MASK"), QStringLiteral("its netmask")},
          {QStringLiteral("range"), QStringLiteral("FIRST-LAST"),
           QStringLiteral("addresses handed out by DHCP")},
          {QStringLiteral("country"), QStringLiteral("CC"),
           QStringLiteral("regulatory country code")},
          {QStringLiteral("bssid"), QStringLiteral("MAC"), QStringLiteral("hardware address")},
          {QStringLiteral("domain"), QStringLiteral("NAME"),
           QStringLiteral("DNS domain served to clients")},
          {QStringLiteral("vendor-data"), QStringLiteral("HEX"),
           QStringLiteral("vendor-specific information element")}},
         1,
         1,
         softApStart},
        {{QStringLiteral("softap"), QStringLiteral("stop")},
         QStringLiteral("INTERFACE"),
         QStringLiteral("Stops a soft access point."),
         {},
         1,
         1,
         softApStop},
        {{QStringLiteral("softap"), QStringLiteral("list")},
         QString(),
         QStringLiteral("Lists the soft access points and their settings."),
         {},
         0,
         0,
         softApList},
        {{QStringLiteral("monitor")},
         QString(),
         QStringLiteral("Prints norvid's signals as they arrive, one line each, until "
                        "interrupted."),
         {},
         0,
         0,
         monitor},
        {{QStringLiteral("wait-online")},
         QString(),
         QStringLiteral("Waits until norvid is connected; the exit status tells whether it "
                        "was in time."),
         {timeoutOption(DefaultWaitOnlineTimeoutS),
          {QStringLiteral("interface"), QStringLiteral("IFACE"),
           QStringLiteral("wait for this interface instead")}},
         0,
         0,
         waitOnline},
        {{QStringLiteral("log-level")},
         QStringLiteral("[0|1|2]"),
         QStringLiteral("Shows or sets norvid's log level; above 0 it logs debug lines."),
         {},
         0,
         1,
         logLevel},
    };
    return table;
}

} // namespace norvictl
