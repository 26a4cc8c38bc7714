#include "NorviCommon.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler(norvidMessageOutput);
    nvInfo() << "norvid version: " << NORVID_VERSION;
    nvInfo() << "Finished setting up, starting main loop...";
    application.exec();
    return 0;
}
