// Runs one operation of the link driver, the address setter or the gateway readers, named on
// the command line, so that a system test can check its effect on real links:
//
//   netconfig_driver up|down IFACE
//   netconfig_driver flush ipv4|ipv6|both IFACE all|global
//   netconfig_driver set-mac MAC IFACE
//   netconfig_driver set-ip|add-ip ADDRESS PREFIX IFACE
//   netconfig_driver route-flush ipv4|ipv6|both
//   netconfig_driver add-default-route GATEWAY IFACE
//   netconfig_driver set-ip-and-netmask IFACE ADDRESS NETMASK
//   netconfig_driver set-gateway IFACE GATEWAY
//   netconfig_driver gateway|gateway6|dns-servers      (prints the result)

#include "NetworkDriver.h"
#include "NetworkUtilities.h"
#include "NorviCommon.h"
#include "WirelessNetwork.h"

#include <QCoreApplication>
#include <QMap>

#include <cstdio>
#include <functional>

namespace {

constexpr int UsageError = 2;

using Arguments = QStringList;

struct Operation
{
    int argumentCount;
    std::function<void(const Arguments &)> run;
};

NetworkDriver::Proto proto(const QString &name)
{
    static const QMap<QString, NetworkDriver::Proto> protos{{"ipv4", NetworkDriver::Ipv4},
                                                            {"ipv6", NetworkDriver::Ipv6},
                                                            {"both", NetworkDriver::Both}};
    return protos.value(name, NetworkDriver::Both);
}

void print(const QString &text)
{
    std::printf("%s\n", qPrintable(text));
}

QMap<QString, Operation> operations(NetworkDriver &driver, IpAddressSetter &setter)
{
    const auto name = [](const QString &text) { return InterfaceName(text); };
    return {
        {"up", {1, [&](const Arguments &a) { driver.up(name(a[0])); }}},
        {"down", {1, [&](const Arguments &a) { driver.down(name(a[0])); }}},
        {"flush",
         {3, [&](const Arguments &a) { driver.flush(proto(a[0]), name(a[1]), a[2] == "global"); }}},
        {"set-mac",
         {2,
          [&](const Arguments &a) { driver.setMacAddress(Bssid::fromString(a[0]), name(a[1])); }}},
        {"set-ip",
         {3, [&](const Arguments &a) { driver.setIpAddress(a[0], a[1].toInt(), name(a[2])); }}},
        {"add-ip",
         {3, [&](const Arguments &a) { driver.addIpAddress(a[0], a[1].toInt(), name(a[2])); }}},
        {"route-flush", {1, [&](const Arguments &a) { driver.routeFlush(proto(a[0])); }}},
        {"add-default-route",
         {2, [&](const Arguments &a) { driver.addDefaultRoute(a[0], name(a[1])); }}},
        {"set-ip-and-netmask",
         {3,
          [&](const Arguments &a) {
              setter.setIpAndNetmask(InterfaceConfiguration(name(a[0]), a[1], a[2], "", {}, {}));
          }}},
        {"set-gateway",
         {2,
          [&](const Arguments &a) {
              setter.setGateway(InterfaceConfiguration(name(a[0]), "", "", a[1], {}, {}));
          }}},
        {"gateway", {0, [](const Arguments &) { print(NetworkUtilities::getGateway()); }}},
        {"gateway6", {0, [](const Arguments &) { print(NetworkUtilities::getGateway6()); }}},
        {"dns-servers",
         {0, [](const Arguments &) { print(NetworkUtilities::getDnsServers().join(' ')); }}},
    };
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(norvidMessageOutput);
    norvi::setLogLevel(1);

    NetworkDriverIp driver;
    IpAddressSetter setter(&driver);
    const QMap<QString, Operation> known = operations(driver, setter);
    QStringList arguments = application.arguments().mid(1);
    const QString operation = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (!known.contains(operation) || known[operation].argumentCount != arguments.size()) {
        std::fprintf(stderr, "usage: netconfig_driver OPERATION ARGUMENTS... (see the source)\n");
        return UsageError;
    }
    known[operation].run(arguments);
    return 0;
}
