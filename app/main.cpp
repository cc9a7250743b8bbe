#include "vantuupdate.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
#ifndef Q_OS_WIN
    // On Windows the executable's own icon resource (vantuupdate.rc) is used.
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/vantuupdate.png")));
#endif
    vantuUpdate dialog;
    dialog.show();
    return app.exec();
}
