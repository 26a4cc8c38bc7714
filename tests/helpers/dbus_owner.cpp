// Serves the control interface on the system bus through the daemon's registration routine,
// with a stand-in parent that has only some of the interface's properties, slots and signals.
// Scan() answers with two access points, WpsPbc() with credentials; both also emit signals
// whose names are on the interface but whose arguments are not, which must stay off the bus.
#include "NorviCommon.h"
#include "NorviDBus.h"

#include <QCoreApplication>
#include <QVariantMap>

namespace {

QVariantMap accessPoint(const QString &ssid, const QString &bssid, int signal)
{
    return QVariantMap{{"ssid", ssid},
                       {"type", "wpa_psk"},
                       {"bssid", bssid},
                       {"signal", signal},
                       {"frequency", 2437},
                       {"channel", 6},
                       {"ies", QByteArray("\x00\x04test", 6)}};
}

} // namespace

class DBusOwner : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString Mode READ getMode)
    Q_PROPERTY(int LogLevel READ getLogLevel WRITE setLogLevel)
    Q_PROPERTY(QVariantMap WirelessNetworks READ getWirelessNetworks WRITE setWirelessNetworks)
    Q_PROPERTY(QVariantMap WiredIpSettings READ getWiredIpSettings WRITE setWiredIpSettings)
    Q_PROPERTY(
        QVariantMap WirelessIpSettings READ getWirelessIpSettings WRITE setWirelessIpSettings)

public:
    DBusOwner()
    {
        norvi::registerControlInterface(this);
        emit Started();
    }

    QString getMode() const { return m_mode; }
    int getLogLevel() const { return norvi::logLevel(); }
    void setLogLevel(int level) { norvi::setLogLevel(level); }
    QVariantMap getWirelessNetworks() const { return m_networks; }
    void setWirelessNetworks(const QVariantMap &networks)
    {
        nvInfo() << "Received wireless networks: " << networks.keys();
        m_networks = networks;
    }
    QVariantMap getWiredIpSettings() const { return m_wiredSettings; }
    void setWiredIpSettings(const QVariantMap &settings) { m_wiredSettings = settings; }
    QVariantMap getWirelessIpSettings() const { return m_wirelessSettings; }
    void setWirelessIpSettings(const QVariantMap &settings) { m_wirelessSettings = settings; }

public slots:
    void SetNormalMode(const QString &mode)
    {
        nvInfo() << "Setting normal mode: " << mode;
        m_mode = mode;
    }

    QVariantMap InterfaceDetails(const QString &name) { return QVariantMap{{"Interface", name}}; }

    void Scan()
    {
        emit AuthError("not relayed");
        emit ScanResults(
            QVariantMap{{"Home", accessPoint("Home", "02:00:00:00:00:01", -50)},
                        {QString::fromUtf8("Caf\xc3\xa9"),
                         accessPoint(QString::fromUtf8("Caf\xc3\xa9"), "02:00:00:00:00:02", -70)}});
    }

    void WpsPbc()
    {
        emit Connected(42);
        emit WpsCredentials(QVariantMap{
            {"ssid", "Home"}, {"type", "wpa-psk"}, {"wpa_psk", "secret-key"}, {"priority", 0}});
    }

signals:
    void Started();
    void ScanResults(const QVariantMap &results);
    void WpsCredentials(const QVariantMap &credentials);
    void AuthError(const QString &description);
    void Connected(int wrongType);

private:
    QString m_mode = "OffMode";
    QVariantMap m_networks;
    QVariantMap m_wiredSettings;
    QVariantMap m_wirelessSettings;
};

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(norvidMessageOutput);
    norvi::setLogLevel(1);
    DBusOwner owner;
    nvInfo() << "Serving the control interface";
    return application.exec();
}

#include "dbus_owner.moc"
