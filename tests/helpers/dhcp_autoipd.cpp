// Drives one AutoIpD through its life on an interface: created and started at once, destroyed
// when a line (or end of file) arrives on standard input. Prints "started" and "stopped" on
// standard output at those points; log lines go to standard error.
// Usage: dhcp_autoipd INTERFACE

#include "AutoIpD.h"

#include <QCoreApplication>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: dhcp_autoipd INTERFACE\n");
        return 2;
    }
    auto autoIpD =
        std::make_unique<AutoIpD>(nullptr, InterfaceName(QString::fromLocal8Bit(argv[1])));
    autoIpD->start();
    std::printf("started\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    autoIpD.reset();
    std::printf("stopped\n");
    return 0;
}
