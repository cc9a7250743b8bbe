#include "pseudoterminal.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    PseudoTerminal line;
    if (!line.open()) {
        std::fprintf(stderr, "devicesim: cannot open a pseudo-terminal: %s\n",
                     qPrintable(line.errorString()));
        return 1;
    }
    std::printf("port: %s\n", qPrintable(line.slavePath()));
    std::fflush(stdout);
    return app.exec();
}
